// pipe-probe: the raw ceiling of the pipe between a parent and its worker under this system.
// The parent creates the two named pipes, its own ends blocking (restore-host's are
// overlapped, with calls that wait, and serve as fast), the child's overlapped, and starts
// itself as the child. The child asks with a small request
// and reads each 1 MiB reply with ReadFileEx into a 128 KiB buffer, waiting alertably, as
// the worker's pipe stream does; the parent answers every request with WriteFile, in pieces
// of 256 KiB as restore-host writes. Nothing is decoded, nothing is written to disk.
//
//   pipe-probe --mib N        prints "pipe-probe: bytes=B seconds=S" (parent, from the first
//                              request to the last reply read)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kReply = 1 << 20;
constexpr DWORD kReadBuffer = 128 * 1024;
constexpr DWORD kPipeBuffer = 1 << 20;
constexpr DWORD kWritePiece = 256 * 1024;
constexpr char kRequest[16] = "next";
constexpr char kDone[16] = "done";

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "pipe-probe: %s (error %lu)\n", what, GetLastError());
    std::exit(1);
}

// ---- the child: overlapped I/O completed in alertable waits

struct Operation {
    OVERLAPPED overlapped{};
    DWORD error = 0;
    DWORD moved = 0;
    bool done = false;
};

void CALLBACK completed(DWORD error, DWORD moved, OVERLAPPED* overlapped)
{
    auto* operation = reinterpret_cast<Operation*>(overlapped);
    operation->error = error;
    operation->moved = moved;
    operation->done = true;
}

// The error code the completion reported.
DWORD waitFor(Operation& operation)
{
    while (!operation.done)
        SleepEx(INFINITE, TRUE);
    return operation.error;
}

void writeAll(HANDLE out, const char* data, DWORD count)
{
    Operation operation;
    if (!WriteFileEx(out, data, count, &operation.overlapped, completed) || waitFor(operation) != 0 ||
        operation.moved != count)
        fail("writing the request failed");
}

int child()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<char> buffer(kReadBuffer);
    for (;;) {
        writeAll(out, kRequest, sizeof kRequest);
        DWORD received = 0;
        while (received < kReply) {
            Operation operation;
            if (!ReadFileEx(in, buffer.data(), kReadBuffer, &operation.overlapped, completed)) {
                if (GetLastError() == ERROR_BROKEN_PIPE)
                    return 0;
                fail("ReadFileEx failed");
            }
            const DWORD error = waitFor(operation);
            if (error == ERROR_BROKEN_PIPE || (error == 0 && operation.moved == 0))
                return 0; // the parent is done
            if (error != 0)
                fail("a read completed with an error");
            received += operation.moved;
        }
    }
}

// ---- the parent: plain blocking handles, as restore-host's

struct Pipe {
    HANDLE parent = INVALID_HANDLE_VALUE;
    HANDLE child = INVALID_HANDLE_VALUE;
};

Pipe makePipe(bool toChild, int number)
{
    const std::string name =
        "\\\\.\\pipe\\pipe-probe-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(number);
    Pipe pipe;
    pipe.parent =
        CreateNamedPipeA(name.c_str(), toChild ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (pipe.parent == INVALID_HANDLE_VALUE)
        fail("CreateNamedPipe failed");
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    pipe.child = CreateFileA(name.c_str(), toChild ? GENERIC_READ : GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe.child == INVALID_HANDLE_VALUE)
        fail("opening the child's end failed");
    return pipe;
}

bool readRequest(HANDLE from)
{
    char request[sizeof kRequest];
    DWORD got = 0;
    while (got < sizeof request) {
        DWORD moved = 0;
        if (!ReadFile(from, request + got, sizeof request - got, &moved, nullptr) || moved == 0)
            return false;
        got += moved;
    }
    return std::memcmp(request, kRequest, sizeof kRequest) == 0;
}

int parent(unsigned long mib)
{
    Pipe toChild = makePipe(true, 0);
    Pipe fromChild = makePipe(false, 1);
    char self[MAX_PATH];
    if (GetModuleFileNameA(nullptr, self, MAX_PATH) == 0)
        fail("GetModuleFileName failed");
    std::string commandLine = std::string("\"") + self + "\" --child";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = toChild.child;
    startup.hStdOutput = fromChild.child;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        fail("CreateProcess failed");
    CloseHandle(toChild.child);
    CloseHandle(fromChild.child);

    std::vector<char> reply(kReply, 'r');
    std::chrono::steady_clock::time_point start;
    for (unsigned long i = 0; i <= mib; ++i) {
        if (!readRequest(fromChild.parent))
            fail("the child's request did not come");
        if (i == 0)
            start = std::chrono::steady_clock::now();
        if (i == mib)
            break; // the last request shows the last reply was read
        for (DWORD done = 0; done < kReply;) {
            const DWORD count = std::min(kWritePiece, kReply - done);
            DWORD moved = 0;
            if (!WriteFile(toChild.parent, reply.data() + done, count, &moved, nullptr) || moved == 0)
                fail("WriteFile to the child failed");
            done += moved;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CloseHandle(toChild.parent);
    WaitForSingleObject(info.hProcess, INFINITE);
    CloseHandle(fromChild.parent);
    std::printf("pipe-probe: bytes=%llu seconds=%.3f\n", static_cast<unsigned long long>(mib) * kReply, seconds);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0)
        return child();
    if (argc == 3 && std::strcmp(argv[1], "--mib") == 0) {
        char* end = nullptr;
        const unsigned long mib = std::strtoul(argv[2], &end, 10);
        if (*end == '\0' && mib > 0)
            return parent(mib);
    }
    std::fputs("usage: pipe-probe --mib N\n", stderr);
    return 2;
}
