#pragma once
// Both ends of a fresh overlapped named pipe, as a parent hands them to the worker, and
// blocking helpers for the test's own end. The helpers wait without being alertable, so
// they never run the completion routines of the streams under test.
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

namespace testing_pipe {

struct PipePair {
    sys::UniqueHandle server; // the CreateNamedPipeW end
    sys::UniqueHandle client; // the CreateFileW end
};

// A byte-mode pipe open for overlapped I/O at both ends; `serverAccess` is
// PIPE_ACCESS_DUPLEX, PIPE_ACCESS_INBOUND or PIPE_ACCESS_OUTBOUND.
inline PipePair makePipePair(DWORD serverAccess = PIPE_ACCESS_DUPLEX, DWORD bufferSize = 65536)
{
    static std::atomic<int> counter{0};
    std::wstring name =
        L"\\\\.\\pipe\\rw-io-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    PipePair pair;
    pair.server.reset(sys::calls.CreateNamedPipeW(name.c_str(), serverAccess | FILE_FLAG_OVERLAPPED,
                                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize,
                                                  bufferSize, 0, nullptr));
    if (!pair.server)
        throw std::runtime_error("CreateNamedPipeW failed: " + std::to_string(GetLastError()));
    DWORD clientAccess = 0;
    if (serverAccess != PIPE_ACCESS_OUTBOUND)
        clientAccess |= GENERIC_WRITE;
    if (serverAccess != PIPE_ACCESS_INBOUND)
        clientAccess |= GENERIC_READ;
    pair.client.reset(
        sys::calls.CreateFileW(name.c_str(), clientAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!pair.client)
        throw std::runtime_error("CreateFileW on the pipe failed: " + std::to_string(GetLastError()));
    return pair;
}

namespace detail {
// Runs one overlapped ReadFile or WriteFile to its end; returns the bytes moved, or
// nothing when the pipe is broken.
template <class Start>
bool finish(HANDLE h, Start start, DWORD& moved)
{
    sys::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (!start(&ov) && GetLastError() != ERROR_IO_PENDING) {
        if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_NO_DATA)
            return false;
        throw std::runtime_error("pipe I/O failed: " + std::to_string(GetLastError()));
    }
    if (!GetOverlappedResult(h, &ov, &moved, TRUE)) {
        if (GetLastError() == ERROR_BROKEN_PIPE)
            return false;
        throw std::runtime_error("pipe I/O did not complete: " + std::to_string(GetLastError()));
    }
    return true;
}
} // namespace detail

// Writes all of `bytes` (keep it within the pipe's buffer unless someone reads meanwhile).
inline void writeAll(HANDLE h, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD moved = 0;
        const char* from = bytes.data() + done;
        DWORD count = static_cast<DWORD>(bytes.size() - done);
        if (!detail::finish(
                h, [&](OVERLAPPED* ov) { return WriteFile(h, from, count, nullptr, ov); }, moved))
            throw std::runtime_error("pipe broken while writing");
        done += moved;
    }
}

// Reads until `count` bytes arrived or the pipe ends.
inline std::string readUpTo(HANDLE h, std::size_t count)
{
    std::string out;
    char chunk[65536];
    while (out.size() < count) {
        DWORD moved = 0;
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof chunk, count - out.size()));
        if (!detail::finish(
                h, [&](OVERLAPPED* ov) { return ReadFile(h, chunk, want, nullptr, ov); }, moved))
            break;
        out.append(chunk, moved);
    }
    return out;
}

} // namespace testing_pipe
