// The crash filter inside the test's own process: it is called directly with a made-up
// exception, and Windows is made to fail through the system-call table at each step.
#include "common/crash_handler.h"

#include "common/minidump.h"
#include "io/temp_dir.h"
#include "sys/syscalls.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// What the fakes saw and what they answer; reset for every test.
struct Seen {
    std::wstring executable; // what GetModuleFileNameW answers
    std::vector<std::wstring> reports;
    int loads = 0;
    int frees = 0;
    HANDLE dumpFile = INVALID_HANDLE_VALUE;
    bool dumpFileClosed = false;
    // The message box.
    HWND owner = reinterpret_cast<HWND>(1);
    std::wstring boxText;
    std::wstring caption;
    UINT boxType = 99;
};
Seen seen;

void takeReport(const wchar_t* text)
{
    seen.reports.emplace_back(text);
}

DWORD WINAPI executablePath(HMODULE module, LPWSTR buffer, DWORD size)
{
    EXPECT_EQ(module, nullptr) << "the executable's path is asked for";
    const std::size_t length = seen.executable.size();
    if (length >= size) {
        // Windows cuts the path and says so.
        std::wmemcpy(buffer, seen.executable.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, seen.executable.c_str(), length + 1);
    return static_cast<DWORD>(length);
}

HMODULE WINAPI countedLoad(LPCWSTR name)
{
    HMODULE module = ::LoadLibraryW(name);
    if (module != nullptr)
        ++seen.loads;
    return module;
}

BOOL WINAPI countedFree(HMODULE module)
{
    ++seen.frees;
    return ::FreeLibrary(module);
}

HANDLE WINAPI watchedCreate(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD attributes, HANDLE templateFile)
{
    HANDLE file = ::CreateFileW(name, access, share, security, disposition, attributes, templateFile);
    seen.dumpFile = file;
    return file;
}

BOOL WINAPI watchedClose(HANDLE handle)
{
    if (handle == seen.dumpFile)
        seen.dumpFileClosed = true;
    return ::CloseHandle(handle);
}

BOOL WINAPI failingMiniDumpWriteDump(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                     PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION)
{
    SetLastError(static_cast<DWORD>(0x8007000E)); // E_OUTOFMEMORY, as dbghelp reports it
    return FALSE;
}

FARPROC WINAPI failingDumpWriter(HMODULE, LPCSTR name)
{
    EXPECT_STREQ(name, "MiniDumpWriteDump");
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(failingMiniDumpWriteDump));
}

class CrashFilterTest : public ::testing::Test {
protected:
    CrashFilterTest()
        : savedSink_(crashSink),
          previousDirectory_(fs::current_path()),
          path_(sys::calls.GetModuleFileNameW, executablePath),
          load_(sys::calls.LoadLibraryW, countedLoad),
          free_(sys::calls.FreeLibrary, countedFree),
          create_(sys::calls.CreateFileW, watchedCreate),
          close_(sys::calls.CloseHandle, watchedClose)
    {
        seen = Seen();
        crashSink = takeReport;
        fs::current_path(testing_fs::toPath(dir_.path()));
        seen.executable = executable();
        record_.ExceptionCode = 0xE0001234; // no code of the system's: the dump must keep this one
        record_.ExceptionAddress = reinterpret_cast<void*>(&crashFilter);
        RtlCaptureContext(&context_);
        pointers_.ExceptionRecord = &record_;
        pointers_.ContextRecord = &context_;
    }
    ~CrashFilterTest() override
    {
        crashSink = savedSink_;
        std::error_code ignored;
        fs::current_path(previousDirectory_, ignored);
    }

    LONG crash() { return crashFilter(&pointers_); }

    std::wstring executable() const { return testing_fs::toPath(dir_ / "worker.exe").wstring(); }
    std::wstring dumpBesideExecutable() const { return testing_fs::toPath(dir_ / "worker.dmp").wstring(); }
    std::vector<fs::path> filesInDirectory() const
    {
        std::vector<fs::path> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(testing_fs::toPath(dir_.path())))
            names.push_back(entry.path().filename());
        return names;
    }

    testing_fs::TempDir dir_;
    EXCEPTION_RECORD record_{};
    CONTEXT context_{};
    EXCEPTION_POINTERS pointers_{};

private:
    CrashSink savedSink_;
    fs::path previousDirectory_;
    sys::Override<decltype(sys::calls.GetModuleFileNameW)> path_;
    sys::Override<decltype(sys::calls.LoadLibraryW)> load_;
    sys::Override<decltype(sys::calls.FreeLibrary)> free_;
    sys::Override<decltype(sys::calls.CreateFileW)> create_;
    sys::Override<decltype(sys::calls.CloseHandle)> close_;
};

TEST_F(CrashFilterTest, WritesTheDumpBesideTheExecutableAndSaysWhere)
{
    EXPECT_EQ(crash(), EXCEPTION_EXECUTE_HANDLER);

    const fs::path dump = dumpBesideExecutable();
    ASSERT_EQ(filesInDirectory(), std::vector<fs::path>{"worker.dmp"});
    const auto recorded = minidump_test::exceptionOf(minidump_test::fileBytes(dump));
    ASSERT_TRUE(recorded) << "not a minidump with an exception stream";
    EXPECT_EQ(recorded->code, 0xE0001234u);
    EXPECT_EQ(recorded->threadId, GetCurrentThreadId());

    EXPECT_EQ(seen.reports, std::vector<std::wstring>{L"An application error has been detected. Please report this "
                                                      L"error and submit the dump file in '" +
                                                      dump.wstring() + L"' along with your error report"});
    EXPECT_TRUE(seen.dumpFileClosed);
    EXPECT_EQ(seen.loads, 1);
    EXPECT_EQ(seen.frees, 1);
}

TEST_F(CrashFilterTest, UnknownExecutablePathPutsTheDumpIntoTheWorkingDirectory)
{
    // The dump itself fails here, after its file was made: the report names the path.
    sys::Override failing(sys::calls.GetProcAddress, failingDumpWriter);
    const std::wstring report = L"Failed to save dump file to 'tarvenor.dmp' (error -2147024882)";
    {
        sys::Override unknown(
            sys::calls.GetModuleFileNameW, +[](HMODULE, LPWSTR, DWORD) -> DWORD {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            });
        EXPECT_EQ(crash(), EXCEPTION_CONTINUE_SEARCH);
    }
    EXPECT_EQ(filesInDirectory(), std::vector<fs::path>{"tarvenor.dmp"});
    EXPECT_EQ(seen.reports, std::vector<std::wstring>{report});

    // A path that Windows had to cut names some other file: the working directory again.
    fs::remove("tarvenor.dmp");
    seen.reports.clear();
    seen.executable = L"C:\\" + std::wstring(300, L'x') + L".exe";
    EXPECT_EQ(crash(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(filesInDirectory(), std::vector<fs::path>{"tarvenor.dmp"});
    EXPECT_EQ(seen.reports, std::vector<std::wstring>{report});
}

TEST_F(CrashFilterTest, EachFailureIsReportedAndLeavesTheSystemToHandleTheCrash)
{
    const std::wstring dump = dumpBesideExecutable();
    struct Case {
        const char* name;
        std::function<LONG()> crashWithFault;
        std::wstring report;
        int frees;
    };
    const std::vector<Case> cases = {
        {"dbghelp.dll not loadable",
         [&] {
             sys::Override missing(
                 sys::calls.LoadLibraryW, +[](LPCWSTR name) -> HMODULE {
                     EXPECT_STREQ(name, L"dbghelp.dll");
                     SetLastError(ERROR_MOD_NOT_FOUND);
                     return nullptr;
                 });
             return crash();
         },
         L"dbghelp.dll not found", 0},
        {"no MiniDumpWriteDump in it",
         [&] {
             sys::Override old(
                 sys::calls.GetProcAddress, +[](HMODULE, LPCSTR) -> FARPROC {
                     SetLastError(ERROR_PROC_NOT_FOUND);
                     return nullptr;
                 });
             return crash();
         },
         L"dbghelp.dll too old", 1},
        {"dump file not creatable",
         [&] {
             sys::Override refused(
                 sys::calls.CreateFileW,
                 +[](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
                     SetLastError(ERROR_ACCESS_DENIED);
                     return INVALID_HANDLE_VALUE;
                 });
             return crash();
         },
         L"Failed to create dump file '" + dump + L"' (error 5)", 1},
        {"dump not written",
         [&] {
             sys::Override failing(sys::calls.GetProcAddress, failingDumpWriter);
             return crash();
         },
         L"Failed to save dump file to '" + dump + L"' (error -2147024882)", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen.reports.clear();
        seen.loads = seen.frees = 0;
        seen.dumpFile = INVALID_HANDLE_VALUE;
        seen.dumpFileClosed = false;
        EXPECT_EQ(c.crashWithFault(), EXCEPTION_CONTINUE_SEARCH);
        EXPECT_EQ(seen.reports, std::vector<std::wstring>{c.report});
        EXPECT_EQ(seen.frees, c.frees);
        EXPECT_EQ(seen.loads, seen.frees);
        if (seen.dumpFile != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(seen.dumpFileClosed) << "the dump file stays open";
        }
        std::error_code ignored;
        fs::remove(dump, ignored);
    }
}

TEST_F(CrashFilterTest, WithoutSinkTheReportIsShownInAMessageBox)
{
    crashSink = nullptr;
    sys::Override box(
        sys::calls.MessageBoxW, +[](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) -> int {
            seen.owner = owner;
            seen.boxText = text;
            seen.caption = caption;
            seen.boxType = type;
            return IDOK;
        });
    sys::Override missing(
        sys::calls.LoadLibraryW, +[](LPCWSTR) -> HMODULE { return nullptr; });
    EXPECT_EQ(crash(), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_EQ(seen.boxText, L"dbghelp.dll not found");
    EXPECT_EQ(seen.caption, L"Dump generated");
    EXPECT_EQ(seen.boxType, static_cast<UINT>(MB_OK));
}

} // namespace
