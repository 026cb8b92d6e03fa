// Throughput of the BER writer and reader on chunk replies carrying 1 MiB of data, over
// memory streams and (on Windows) over a real overlapped named pipe, writer and reader in
// one thread as the worker and a parent test peer would be.
#include "io/byte_stream.h"
#include "io/memory_stream.h"
#include "io/selector.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_reader.h"
#include "protocol/ber_writer.h"

#include <benchmark/benchmark.h>

#ifdef _WIN32
#include "io/pipe_stream.h"
#include "sys/handle.h"
#endif

#include <cstdint>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kChunkData = 1048576;

proto::MessageExchangeResponse chunkReply()
{
    auto chunk = std::make_unique<proto::ChunkResponse>();
    chunk->name = "C:\\data\\big.bin";
    chunk->chunkIndex = 3;
    chunk->remainingChunks = 9;
    chunk->data.assign(kChunkData, 'x');
    for (std::size_t i = 0; i < chunk->data.size(); i += 4096)
        chunk->data[i] = static_cast<char>(i >> 12);
    proto::MessageExchangeResponse reply;
    reply.response.reset(chunk.release());
    return reply;
}

void BM_WriterToMemory(benchmark::State& state)
{
    const proto::MessageExchangeResponse reply = chunkReply();
    io::MemoryOStream out(false);
    protocol::BerWriter writer(out);
    for (auto _ : state) {
        writer.write(reply);
        writer.sendFiller();
        io::waitReady(writer);
        writer.checkFailed();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(out.count));
}

void BM_ReaderFromMemory(benchmark::State& state)
{
    std::string encoded;
    protocol::StringIo io(encoded);
    chunkReply().write(io, false);
    proto::Protocol factory;
    for (auto _ : state) {
        io::MemoryIStream in(encoded);
        protocol::BerReader reader(factory, in);
        io::waitReady(reader);
        std::unique_ptr<protocol::BerConstructed> message = reader.read();
        benchmark::DoNotOptimize(message.get());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}

BENCHMARK(BM_WriterToMemory)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReaderFromMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef _WIN32
// Writer on one end of an overlapped named pipe, reader on the other, one thread.
void BM_WriterAndReaderOverNamedPipe(benchmark::State& state)
{
    static int serial = 0;
    std::wstring name =
        L"\\\\.\\pipe\\rw-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(serial++);
    sys::UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0,
                                              nullptr));
    sys::UniqueHandle client(
        CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!server || !client) {
        state.SkipWithError("cannot make a named pipe");
        return;
    }
    io::PipeOStream out("stdout", server.get(), false);
    io::PipeIStream in("stdin", client.get(), false);
    proto::Protocol factory;
    protocol::BerWriter writer(out);
    protocol::BerReader reader(factory, in);
    const proto::MessageExchangeResponse reply = chunkReply();
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        writer.write(reply);
        io::Selector<int> selector;
        selector.add(writer, 1);
        selector.add(reader, 2);
        for (;;) {
            if (selector.poll().second == 1) {
                writer.checkFailed();
                selector.remove(writer); // done sending; a ready member is handed out at every poll
                continue;
            }
            std::unique_ptr<protocol::BerConstructed> message = reader.read();
            bytes += reader.lastMessageSize();
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriterAndReaderOverNamedPipe)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace

BENCHMARK_MAIN();
