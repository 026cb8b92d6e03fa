#pragma once
// A parent at the other end of a ParentLink, in the test's own process: two real overlapped
// named pipes, one the worker reads as its standard input and one it writes as its standard
// output. The parent's side uses the blocking pipe helpers, which never run the worker's
// completion routines; everything the worker writes has reached the pipe when its call
// returns, so the parent can take it without waiting.
#include "io/pipe_pair.h"
#include "io/pipe_stream.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "protocol/ber_value.h"
#include "support.h"
#include "worker/parent_link.h"
#include "worker/worker_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace link_test {

using Message = std::unique_ptr<protocol::BerConstructed>;

// The bytes `message` has on the wire.
inline std::string encode(const protocol::BerValue& message)
{
    std::string bytes;
    protocol::StringIo io(bytes);
    message.write(io, false);
    return bytes;
}

// Every whole message in `bytes`; a message cut short at the end fails the test.
inline std::vector<Message> decodeAll(const std::string& bytes)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    std::vector<Message> messages;
    for (std::size_t used = 0; used < bytes.size();) {
        used += decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()) + used, bytes.size() - used);
        if (!decoder.hasMessage()) {
            ADD_FAILURE() << "bytes of an unfinished message at the end";
            break;
        }
        messages.push_back(decoder.take());
    }
    return messages;
}

// The worker's standard streams as pipe ends, and the parent's ends of the same pipes.
class Peer {
public:
    // A link over the worker's ends; the pipes must outlive it.
    std::unique_ptr<ParentLink> makeLink()
    {
        HANDLE in = toWorker_.client.get();
        HANDLE out = fromWorker_.client.get();
        return std::make_unique<ParentLink>([in] { return std::make_unique<io::PipeIStream>("stdin", in, false); },
                                            [out] { return std::make_unique<io::PipeOStream>("stdout", out, false); });
    }

    void send(const std::string& bytes) { io::writeAll(toWorker_.server.get(), bytes); }
    void send(const protocol::BerValue& message) { send(encode(message)); }
    // The parent closes the worker's standard input.
    void closeWorkerInput() { toWorker_.server.reset(); }

    // Everything the worker has written and the parent not yet taken.
    std::string takeBytes()
    {
        DWORD available = 0;
        if (!PeekNamedPipe(fromWorker_.server.get(), nullptr, 0, nullptr, &available, nullptr))
            throw std::runtime_error("PeekNamedPipe failed: " + std::to_string(GetLastError()));
        return io::readUpTo(fromWorker_.server.get(), available);
    }
    std::vector<Message> takeMessages() { return decodeAll(takeBytes()); }

private:
    io::PipePair toWorker_ = io::makePipePair(PIPE_ACCESS_OUTBOUND);
    io::PipePair fromWorker_ = io::makePipePair(PIPE_ACCESS_INBOUND);
};

// A peer and a link over its pipes, installed for the log's lines while it lives.
class LinkedToPeer {
public:
    Peer peer;
    std::unique_ptr<ParentLink> link = peer.makeLink();

private:
    LogToParent logToParent_{*link};
};

// Broken standard output, through the system-call table.
namespace faults {

// WriteFileEx refuses at once with "the pipe is being closed" (232).
inline BOOL WINAPI writeRefused(HANDLE, LPCVOID, DWORD, LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE)
{
    SetLastError(ERROR_NO_DATA);
    return FALSE;
}

// WriteFileEx accepts the write, but its completion reports error 232 and no byte moved.
inline LPOVERLAPPED pendingOverlapped;
inline LPOVERLAPPED_COMPLETION_ROUTINE pendingRoutine;
inline BOOL WINAPI writeCompletesWithError(HANDLE, LPCVOID, DWORD, LPOVERLAPPED overlapped,
                                           LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    pendingOverlapped = overlapped;
    pendingRoutine = routine;
    return QueueUserAPC([](ULONG_PTR) { pendingRoutine(ERROR_NO_DATA, 0, pendingOverlapped); }, GetCurrentThread(), 0);
}

// The first `writesLeft` writes go through; every later one is refused.
inline int writesLeft = 0;
inline BOOL WINAPI writeThenRefuse(HANDLE h, LPCVOID data, DWORD n, LPOVERLAPPED overlapped,
                                   LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (writesLeft-- > 0)
        return ::WriteFileEx(h, data, n, overlapped, routine);
    return writeRefused(h, data, n, overlapped, routine);
}

} // namespace faults

// A scratch directory that is the working directory while it lives.
class InTemporaryDirectory : public support::ScratchDir {
public:
    InTemporaryDirectory() { std::filesystem::current_path(support::toPath(path())); }
    ~InTemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }

private:
    std::filesystem::path previous_ = std::filesystem::current_path();
};

} // namespace link_test
