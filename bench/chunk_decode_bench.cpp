// Decoding speed of full 1 MiB chunks in each container form, in bytes of plain data.
#include "common/log.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

namespace {

// Text-like data (words from a small vocabulary), so that compression behaves as it does
// on documents; fixed seed, the same bytes in every run.
std::string textLikeChunk()
{
    static const char* words[] = {"restore",  "backup ", "chunk ",  "the ", "of ",   "data\n",  "file ",
                                  "Windows ", "key ",    "object ", "42 ",  "2026 ", "server ", "and "};
    std::string text;
    std::uint32_t state = 12345;
    while (text.size() < kChunkSize) {
        state = state * 1103515245u + 12345u;
        text += words[(state >> 16) % (sizeof words / sizeof *words)];
    }
    text.resize(kChunkSize);
    return text;
}

void decodeForm(benchmark::State& state, ChunkForm form)
{
    std::string keyBytes(32, '\0');
    for (int i = 0; i < 32; ++i)
        keyBytes[i] = static_cast<char>(i * 7 + 1);
    const DataKey key(keyBytes);
    // The detail lines are built as in a worker at level 3, and dropped.
    setLogSink([](const std::string&, int, bool) {});
    const std::string plain = textLikeChunk();
    const std::string container = encodeChunk(plain, form, key.key());
    ChunkObject object{"C:\\bench\\file.bin", 8 * std::uint64_t(kChunkSize), MetaKind::Ntfs, false};
    ChunkBuffers buffers;
    std::string_view out;
    for (auto _ : state) {
        out = decodeChunk(container, object, buffers, 0, key);
        benchmark::DoNotOptimize(out.data());
    }
    if (out != plain)
        state.SkipWithError("decoded chunk differs from its plain bytes");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunkSize);
    state.counters["container_bytes"] = static_cast<double>(container.size());
}

void BM_DecodeCTCN(benchmark::State& state)
{
    decodeForm(state, ChunkForm::Cleartext);
}
void BM_DecodeENCN(benchmark::State& state)
{
    decodeForm(state, ChunkForm::Encrypted);
}
void BM_DecodeENZ(benchmark::State& state)
{
    decodeForm(state, ChunkForm::EncryptedCompressed);
}

BENCHMARK(BM_DecodeCTCN)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeENCN)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecodeENZ)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
