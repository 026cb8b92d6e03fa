#pragma once
// A program of the test directory started as a child whose standard input and output are
// the test's overlapped pipes, as the parent starts the worker.
#include "io/pipe_pair.h"
#include "sys/handle.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace link_test {

class ChildOnPipes {
public:
    // `program` lies beside the test executable; `directory` empty keeps the test's own.
    ChildOnPipes(const std::wstring& program, const std::wstring& arguments, const std::wstring& directory)
    {
        toChild_ = testing_pipe::makePipePair(PIPE_ACCESS_OUTBOUND);
        fromChild_ = testing_pipe::makePipePair(PIPE_ACCESS_INBOUND);
        if (!SetHandleInformation(toChild_.client.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) ||
            !SetHandleInformation(fromChild_.client.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
            throw std::runtime_error("SetHandleInformation failed");
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = toChild_.client.get();
        startup.hStdOutput = fromChild_.client.get();
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process{};
        const std::wstring path = besideTest(program);
        std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            directory.empty() ? nullptr : directory.c_str(), &startup, &process))
            throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
        process_.reset(process.hProcess);
        sys::UniqueHandle thread(process.hThread);
        // Only the child holds its ends now, so its exit ends the parent's reads.
        toChild_.client.reset();
        fromChild_.client.reset();
    }
    ~ChildOnPipes()
    {
        toChild_.server.reset();
        if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0)
            TerminateProcess(process_.get(), 99);
    }
    ChildOnPipes(const ChildOnPipes&) = delete;
    ChildOnPipes& operator=(const ChildOnPipes&) = delete;

    void sendBytes(const std::string& bytes) { testing_pipe::writeAll(toChild_.server.get(), bytes); }
    void closeInput() { toChild_.server.reset(); }
    // Exactly `count` bytes from the child (fewer when it ends first).
    std::string receive(std::size_t count) { return testing_pipe::readUpTo(fromChild_.server.get(), count); }
    // Everything up to the end of the child's output.
    std::string receiveAll() { return receive(static_cast<std::size_t>(-1) / 2); }
    DWORD exitCode()
    {
        if (WaitForSingleObject(process_.get(), 60000) != WAIT_OBJECT_0)
            return 98;
        DWORD code = 97;
        GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    static std::wstring besideTest(const std::wstring& program)
    {
        wchar_t self[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self, n);
        return path.substr(0, path.find_last_of(L"\\/") + 1) + program;
    }

    testing_pipe::PipePair toChild_;
    testing_pipe::PipePair fromChild_;
    sys::UniqueHandle process_;
};

} // namespace link_test
