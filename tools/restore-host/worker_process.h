#pragma once
// The worker as a child process on overlapped named pipes, as the backup client starts it,
// with the account the host keeps of it: its run time, peak working set and processor time.
#include "io/child_process.h"

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

class WorkerProcess {
public:
    // Starts `program` in `workDirectory`; its standard error is the host's. Throws
    // error::ESystemError with the system's text when it cannot be started.
    WorkerProcess(const std::wstring& program, const std::wstring& workDirectory);
    // Closes the worker's input and, if it is still running after a grace period, ends it.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // Writes all of `bytes` to the worker's input; false when the worker no longer reads it.
    bool send(const std::string& bytes) { return child_.send(bytes); }
    // The parent closes the worker's standard input.
    void closeInput() { child_.closeInput(); }
    bool inputClosed() const { return child_.inputClosed(); }

    // Reads what the worker wrote into `buffer`; 0 once its output has ended.
    std::size_t read(char* buffer, std::size_t size) { return child_.read(buffer, size); }

    // Waits for the worker to exit and gives its exit code.
    DWORD wait();
    // Ends the worker at once (the host gave up on it).
    void terminate();
    // Takes the worker's peak working set while it runs (the system may not tell it once the
    // process has ended). Unless `now`, at most once in 20 ms: asking costs the system a look
    // at the process.
    void samplePeakWorkingSet(bool now = false);
    // The largest peak working set sampled, in bytes; 0 when the system never said.
    std::uint64_t peakWorkingSet() const { return peakWorkingSet_; }
    // Wall time from the start to the exit seen by wait().
    double seconds() const;

private:
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    io::ChildProcess child_;
    std::chrono::steady_clock::time_point ended_;
    std::chrono::steady_clock::time_point sampled_;
    bool exited_ = false;
    std::uint64_t peakWorkingSet_ = 0;
};

} // namespace host
