#pragma once
// Named pipes as a parent hands them to the worker: byte mode and open for overlapped I/O at
// both ends. The parent's reads and writes wait for their end without being alertable, so
// they never run the completion routines of pipe streams on the same thread.
#include "sys/handle.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace io {

struct PipePair {
    sys::UniqueHandle server; // the CreateNamedPipeW end
    sys::UniqueHandle client; // the CreateFileW end
};

// A fresh pipe; `serverAccess` is PIPE_ACCESS_DUPLEX, PIPE_ACCESS_INBOUND or
// PIPE_ACCESS_OUTBOUND. Throws error::ESystemError with the system's text.
PipePair makePipePair(DWORD serverAccess = PIPE_ACCESS_DUPLEX, DWORD bufferSize = 65536);

// Reads and writes on one pipe end that wait for their end. One event serves every call:
// one thread at a time. The end is borrowed and must outlive the object.
class WaitingPipeIo {
public:
    explicit WaitingPipeIo(HANDLE pipe);

    // Writes all of `bytes`; false, with the thread's last error, when the pipe refused.
    bool write(std::string_view bytes);
    // Reads what arrives, at most `size` bytes; 0 once the writer has closed its end.
    std::size_t read(char* buffer, std::size_t size);
    // Reads until `count` bytes arrived or the writer has closed its end.
    std::string readUpTo(std::size_t count);

private:
    // Waits for an operation issued with `started`; false when the pipe is broken.
    bool finish(BOOL started, DWORD& moved);

    HANDLE pipe_;
    sys::UniqueHandle event_;
    OVERLAPPED overlapped_{};
};

// Writes all of `bytes` to `pipe`; throws when the pipe is broken.
void writeAll(HANDLE pipe, std::string_view bytes);
// Reads from `pipe` until `count` bytes arrived or the writer has closed its end.
std::string readUpTo(HANDLE pipe, std::size_t count);

} // namespace io
