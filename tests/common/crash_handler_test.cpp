// The crash filter inside the test's own process: it is called directly with a made-up
// exception, and Windows is made to fail through the system-call table at each step. Real
// crashes and their dumps are in tests/worker.
#include "common/crash_handler.h"

#include "support.h"
#include "sys/syscalls.h"

#include <dbghelp.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::wstring executable; // what GetModuleFileNameW answers
std::vector<std::wstring> reports;

DWORD WINAPI executablePath(HMODULE, LPWSTR buffer, DWORD size)
{
    const std::size_t length = executable.size();
    if (length >= size) {
        // Windows cuts the path and says so.
        std::wmemcpy(buffer, executable.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, executable.c_str(), length + 1);
    return static_cast<DWORD>(length);
}

BOOL WINAPI failingMiniDumpWriteDump(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                     PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION)
{
    SetLastError(static_cast<DWORD>(0x8007000E)); // E_OUTOFMEMORY, as dbghelp reports it
    return FALSE;
}

FARPROC WINAPI failingDumpWriter(HMODULE, LPCSTR)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(failingMiniDumpWriteDump));
}

class CrashFilterTest : public ::testing::Test {
protected:
    CrashFilterTest() : savedSink_(crashSink), previousDirectory_(fs::current_path())
    {
        crashSink = [](const wchar_t* text) { reports.emplace_back(text); };
        fs::current_path(support::toPath(dir_.path()));
        record_.ExceptionCode = 0xE0001234;
        record_.ExceptionAddress = reinterpret_cast<void*>(&crashFilter);
        RtlCaptureContext(&context_);
        pointers_.ExceptionRecord = &record_;
        pointers_.ContextRecord = &context_;
        path_ = support::replaced(sys::calls.GetModuleFileNameW, executablePath);
    }
    ~CrashFilterTest() override
    {
        path_.reset();
        crashSink = savedSink_;
        std::error_code ignored;
        fs::current_path(previousDirectory_, ignored);
    }

    // The filter's answer for an executable at `path` (default: worker.exe in the scratch
    // directory).
    LONG crash(const std::wstring& path = L"")
    {
        reports.clear();
        executable = path.empty() ? support::toPath(dir_ / "worker.exe").wstring() : path;
        return crashFilter(&pointers_);
    }

    std::vector<fs::path> filesInDirectory() const
    {
        std::vector<fs::path> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(support::toPath(dir_.path())))
            names.push_back(entry.path().filename());
        return names;
    }

    support::ScratchDir dir_;

private:
    EXCEPTION_RECORD record_{};
    CONTEXT context_{};
    EXCEPTION_POINTERS pointers_{};
    CrashSink savedSink_;
    fs::path previousDirectory_;
    std::shared_ptr<void> path_;
};

using Faults = std::vector<std::shared_ptr<void>>;
Faults noDumpWriter()
{
    return {support::replaced(sys::calls.GetProcAddress, failingDumpWriter)};
}

// Each step that fails is reported and leaves the crash to the system.
TEST_F(CrashFilterTest, EachOutcomeIsReported)
{
    const std::wstring dump = support::toPath(dir_ / "worker.dmp").wstring();
    const std::wstring notSaved = L"' (error -2147024882)";
    const std::wstring cutPath = L"C:\\" + std::wstring(300, L'x') + L".exe"; // names some other file
    const struct {
        const char* what;
        Faults (*faults)();
        std::wstring report;
        std::vector<fs::path> files;
        std::wstring executable = L"";
        LONG result = EXCEPTION_CONTINUE_SEARCH;
    } cases[] = {
        {"dump written",
         [] { return Faults(); },
         L"An application error has been detected. Please report this error and submit the dump file in '" + dump +
             L"' along with your error report",
         {"worker.dmp"},
         L"",
         EXCEPTION_EXECUTE_HANDLER},
        {"dbghelp.dll not loadable",
         [] { return Faults{support::refuse(sys::calls.LoadLibraryW, ERROR_MOD_NOT_FOUND)}; },
         L"dbghelp.dll not found"},
        {"no MiniDumpWriteDump",
         [] { return Faults{support::refuse(sys::calls.GetProcAddress, ERROR_PROC_NOT_FOUND)}; },
         L"dbghelp.dll too old"},
        {"dump file not creatable",
         [] { return Faults{support::refuse(sys::calls.CreateFileW, ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE)}; },
         L"Failed to create dump file '" + dump + L"' (error 5)"},
        {"dump not written", noDumpWriter, L"Failed to save dump file to '" + dump + notSaved, {"worker.dmp"}},
        {"executable path unknown",
         [] {
             Faults faults = noDumpWriter();
             faults.push_back(support::refuse(sys::calls.GetModuleFileNameW, ERROR_NOT_ENOUGH_MEMORY, DWORD(0)));
             return faults;
         },
         L"Failed to save dump file to 'tarvenor.dmp" + notSaved,
         {"tarvenor.dmp"}},
        {"executable path cut",
         noDumpWriter,
         L"Failed to save dump file to 'tarvenor.dmp" + notSaved,
         {"tarvenor.dmp"},
         cutPath},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        {
            const Faults faults = c.faults();
            EXPECT_EQ(crash(c.executable), c.result);
        }
        EXPECT_EQ(reports, std::vector<std::wstring>{c.report});
        EXPECT_EQ(filesInDirectory(), c.files);
        for (const fs::path& file : c.files)
            fs::remove(file);
    }
}

TEST_F(CrashFilterTest, WithoutSinkTheReportIsShownInAMessageBox)
{
    crashSink = nullptr;
    static std::wstring shown;
    const auto box = support::replaced(
        sys::calls.MessageBoxW, +[](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) -> int {
            shown = (owner == nullptr ? L"" : L"owned ") + std::wstring(caption) + L": " + text +
                    (type == MB_OK ? L"" : L" (not MB_OK)");
            return IDOK;
        });
    const auto missing = support::refuse(sys::calls.LoadLibraryW, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(crash(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(shown, L"Dump generated: dbghelp.dll not found");
}

} // namespace
