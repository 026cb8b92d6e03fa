#include "io/pipe_pair.h"

#include "common/error.h"

#include <algorithm>
#include <atomic>

namespace io {
namespace {

// Wine's server copies every write into a buffer of its own: one of a whole chunk's size is
// mapped, faulted in and unmapped again for each write, smaller ones are reused.
constexpr std::size_t kWritePiece = 256 * 1024;

} // namespace

PipePair makePipePair(DWORD serverAccess, DWORD bufferSize)
{
    static std::atomic<unsigned> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\rw-pipe-" + std::to_wstring(sys::calls.GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter++);
    PipePair pair;
    pair.server.reset(sys::calls.CreateNamedPipeW(name.c_str(), serverAccess | FILE_FLAG_OVERLAPPED,
                                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize,
                                                  bufferSize, 0, nullptr));
    if (!pair.server)
        error::throwSystemError(GetLastError(), "cannot create a pipe");
    DWORD clientAccess = 0;
    if (serverAccess != PIPE_ACCESS_OUTBOUND)
        clientAccess |= GENERIC_WRITE;
    if (serverAccess != PIPE_ACCESS_INBOUND)
        clientAccess |= GENERIC_READ;
    pair.client.reset(
        sys::calls.CreateFileW(name.c_str(), clientAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!pair.client)
        error::throwSystemError(GetLastError(), "cannot open the other end of a pipe");
    return pair;
}

WaitingPipeIo::WaitingPipeIo(HANDLE pipe) : pipe_(pipe)
{
    event_.reset(sys::calls.CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_)
        error::throwSystemError(GetLastError(), "cannot create an event");
    overlapped_.hEvent = event_.get();
}

bool WaitingPipeIo::finish(BOOL started, DWORD& moved)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    return sys::calls.GetOverlappedResult(pipe_, &overlapped_, &moved, TRUE) != FALSE;
}

bool WaitingPipeIo::write(std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD count = static_cast<DWORD>(std::min(bytes.size() - done, kWritePiece));
        DWORD moved = 0;
        if (!finish(sys::calls.WriteFile(pipe_, bytes.data() + done, count, nullptr, &overlapped_), moved))
            return false;
        done += moved;
    }
    return true;
}

std::size_t WaitingPipeIo::read(char* buffer, std::size_t size)
{
    const DWORD count = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
    DWORD moved = 0;
    if (finish(sys::calls.ReadFile(pipe_, buffer, count, nullptr, &overlapped_), moved))
        return moved;
    if (GetLastError() == ERROR_BROKEN_PIPE)
        return 0;
    error::throwSystemError(GetLastError(), "cannot read from a pipe");
}

std::string WaitingPipeIo::readUpTo(std::size_t count)
{
    std::string out;
    char piece[65536];
    while (out.size() < count) {
        const std::size_t n = read(piece, std::min(sizeof piece, count - out.size()));
        if (n == 0)
            break;
        out.append(piece, n);
    }
    return out;
}

void writeAll(HANDLE pipe, std::string_view bytes)
{
    if (!WaitingPipeIo(pipe).write(bytes))
        error::throwSystemError(GetLastError(), "cannot write to a pipe");
}

std::string readUpTo(HANDLE pipe, std::size_t count)
{
    return WaitingPipeIo(pipe).readUpTo(count);
}

} // namespace io
