#pragma once
// A parent at the other end of a ParentLink, in the test's own process: two real overlapped
// named pipes, one the worker reads as its standard input and one it writes as its standard
// output. The parent's side uses the blocking pipe helpers, which never run the worker's
// completion routines; everything the worker writes has reached the pipe when its call
// returns, so the parent can take it without waiting.
#include "common/error.h"
#include "io/pipe_pair.h"
#include "io/pipe_stream.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "protocol/ber_value.h"
#include "sys/syscalls.h"
#include "worker/parent_link.h"
#include "worker/worker_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
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
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    std::size_t sinceLastMessage = 0;
    while (left != 0) {
        const std::size_t used = decoder.process(data, left);
        data += used;
        left -= used;
        sinceLastMessage += used;
        if (decoder.hasMessage()) {
            messages.push_back(decoder.take());
            sinceLastMessage = 0;
        }
    }
    EXPECT_EQ(sinceLastMessage, 0u) << "bytes of an unfinished message at the end";
    return messages;
}

// The worker's standard streams as pipe ends, and the parent's ends of the same pipes.
class Peer {
public:
    Peer() : toWorker_(io::makePipePair(PIPE_ACCESS_OUTBOUND)), fromWorker_(io::makePipePair(PIPE_ACCESS_INBOUND)) {}

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
    io::PipePair toWorker_;
    io::PipePair fromWorker_;
};

// A peer and a link over its pipes, installed for the free functions while it lives.
class LinkedToPeer {
public:
    LinkedToPeer() : link(peer.makeLink()), logToParent_(*link) {}
    LinkedToPeer(const LinkedToPeer&) = delete;
    LinkedToPeer& operator=(const LinkedToPeer&) = delete;

    Peer peer;
    std::unique_ptr<ParentLink> link;

private:
    LogToParent logToParent_; // the log's lines go to the peer
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
struct PendingCompletion {
    LPOVERLAPPED overlapped = nullptr;
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr;
};
inline PendingCompletion pendingCompletion;

inline void CALLBACK deliverFailedCompletion(ULONG_PTR)
{
    pendingCompletion.routine(ERROR_NO_DATA, 0, pendingCompletion.overlapped);
}

inline BOOL WINAPI writeCompletesWithError(HANDLE, LPCVOID, DWORD, LPOVERLAPPED overlapped,
                                           LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    pendingCompletion = {overlapped, routine};
    if (QueueUserAPC(deliverFailedCompletion, GetCurrentThread(), 0))
        return TRUE;
    ADD_FAILURE() << "QueueUserAPC failed: " << GetLastError();
    return FALSE;
}

// The first write goes through; every later one is refused.
inline int writesLeft = 0;
inline BOOL WINAPI writeOnceThenRefuse(HANDLE h, LPCVOID data, DWORD n, LPOVERLAPPED overlapped,
                                       LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (writesLeft-- > 0)
        return ::WriteFileEx(h, data, n, overlapped, routine);
    return writeRefused(h, data, n, overlapped, routine);
}

} // namespace faults

// Runs the test in a fresh temporary directory as the working directory, and goes back.
class InTemporaryDirectory {
public:
    InTemporaryDirectory()
    {
        path_ = std::filesystem::temp_directory_path() /
                ("rw-worker-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(path_);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~InTemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    InTemporaryDirectory(const InTemporaryDirectory&) = delete;
    InTemporaryDirectory& operator=(const InTemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    static int& counter()
    {
        static int n = 0;
        return n;
    }
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

} // namespace link_test
