#pragma once
// A program started as a child whose standard input and output are overlapped named pipes,
// as the backup client starts the worker; its standard error is the parent's. The parent
// writes and reads its ends with calls that wait (io/pipe_pair.h): one thread may read while
// another writes.
#include "io/pipe_pair.h"
#include "sys/handle.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace io {

// The path of `program` in the directory of this process's executable.
std::wstring besideThisProgram(const std::wstring& program);

class ChildProcess {
public:
    // Starts `program` with `arguments` (none when empty) in `directory` (the parent's own
    // when empty) over pipes of `pipeBuffer` bytes each way. Throws error::ESystemError with
    // the system's text when it cannot be started.
    ChildProcess(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory,
                 DWORD pipeBuffer = 65536);
    // Closes the child's input and ends the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes all of `bytes` to the child's input; false, with the thread's last error, when
    // the child no longer reads it.
    bool send(std::string_view bytes);
    // The parent closes the child's standard input.
    void closeInput() { toChild_.server.reset(); }
    bool inputClosed() const { return !toChild_.server; }

    // Reads what the child wrote, at most `size` bytes; 0 once its output has ended.
    std::size_t read(char* buffer, std::size_t size) { return reader_.read(buffer, size); }
    // Reads until `count` bytes arrived or the child's output ended.
    std::string receive(std::size_t count) { return reader_.readUpTo(count); }

    // True once the child has exited, waiting at most `milliseconds` for it.
    bool waitForExit(DWORD milliseconds);
    // Waits at most `milliseconds` for the child to exit and gives its exit code; throws
    // error::ESystemError when it has not exited by then.
    DWORD exitCode(DWORD milliseconds = INFINITE);
    // Ends the child at once with `code`.
    void terminate(UINT code) { sys::calls.TerminateProcess(process_.get(), code); }
    HANDLE process() const { return process_.get(); }

private:
    std::string name_;   // the program, in messages
    PipePair toChild_;   // the child's standard input; the parent holds the server end
    PipePair fromChild_; // the child's standard output
    sys::UniqueHandle process_;
    WaitingPipeIo writer_;
    WaitingPipeIo reader_;
};

} // namespace io
