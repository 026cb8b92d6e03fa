// Crashes of a real process: crash_child.exe, copied into a scratch directory, installs the
// crash handlers with the worker's sink and crashes as its argument says. Its dump must lie
// beside it, its report in "wdiag.log" of its working directory. And the restore run
// installs those handlers before its first word to the parent.
#include "common/crash_handler.h"
#include "common/minidump.h"
#include "sys/handle.h"
#include "sys/syscalls.h"
#include "worker/driver.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using link_test::InTemporaryDirectory;
using minidump_test::fileBytes;

fs::path besideTest(const std::wstring& name)
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, n)).parent_path() / name;
}

// Runs `program` with `argument` in `directory`; its exit code.
DWORD runChild(const fs::path& program, const std::string& argument, const fs::path& directory)
{
    std::wstring commandLine = L"\"" + program.wstring() + L"\" " + std::wstring(argument.begin(), argument.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                        &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return 97;
    }
    sys::UniqueHandle owned(process.hProcess);
    sys::UniqueHandle thread(process.hThread);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 98);
        ADD_FAILURE() << argument << ": still running after 60 s";
        return 98;
    }
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

std::vector<fs::path> namesIn(const fs::path& directory)
{
    std::vector<fs::path> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename());
    return names;
}

// crash_child.exe copied into `root`\bin, run in `root`\work with `mode`; its exit code.
DWORD crashChild(const fs::path& root, const char* mode)
{
    fs::create_directories(root / "bin");
    fs::create_directories(root / "work");
    fs::copy_file(besideTest(L"crash_child.exe"), root / "bin" / "crash_child.exe");
    return runChild(root / "bin" / "crash_child.exe", mode, root / "work");
}

const std::string kSavedBefore =
    "An application error has been detected. Please report this error and submit the dump file in '";
const std::string kSavedAfter = "' along with your error report\r\n";

TEST(WorkerCrash, EachCrashLeavesADumpBesideTheProgramAndItsReportInWdiagLog)
{
    struct Case {
        const char* mode;
        // The flags of the recorded exception when they are certain: the handlers raise a
        // non-continuable one, a fault of the processor a continuable one.
        std::optional<ULONG32> flags;
        DWORD code = EXCEPTION_ACCESS_VIOLATION;
    };
    const Case cases[] = {
        {"access-violation", 0},
        // With this compiler the call lands on a null entry of the table or in std::terminate:
        // either way it is a crash.
        {"pure-virtual-call", std::nullopt},
        {"uncaught-exception", EXCEPTION_NONCONTINUABLE},
        {"invalid-parameter", EXCEPTION_NONCONTINUABLE},
        {"purecall-handler", EXCEPTION_NONCONTINUABLE},
        // The filter runs on the stack kept for it.
        {"stack-overflow", std::nullopt, static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        InTemporaryDirectory dir;
        const fs::path work = dir.path() / "work";
        EXPECT_EQ(crashChild(dir.path(), c.mode), c.code);

        const fs::path dump = dir.path() / "bin" / "crash_child.dmp";
        ASSERT_TRUE(fs::exists(dump));
        const auto recorded = minidump_test::exceptionOf(fileBytes(dump));
        ASSERT_TRUE(recorded) << "not a minidump with an exception stream";
        EXPECT_EQ(recorded->code, c.code);
        if (c.flags) {
            EXPECT_EQ(recorded->flags, *c.flags);
        }

        EXPECT_EQ(namesIn(work), std::vector<fs::path>{"wdiag.log"});
        const std::string report = fileBytes(work / "wdiag.log");
        ASSERT_GT(report.size(), kSavedBefore.size() + kSavedAfter.size()) << report;
        EXPECT_EQ(report.substr(0, kSavedBefore.size()), kSavedBefore);
        EXPECT_EQ(report.substr(report.size() - kSavedAfter.size()), kSavedAfter);
        const std::string named =
            report.substr(kSavedBefore.size(), report.size() - kSavedBefore.size() - kSavedAfter.size());
        std::error_code error;
        EXPECT_TRUE(fs::equivalent(named, dump, error)) << "the report names " << named;
    }
}

TEST(WorkerCrash, FaultWhileReportingEndsTheProcessWithTheFirstDump)
{
    // A sink that faults at its first call (a second would report), and one that always does.
    for (const char* mode : {"sink-faults-once", "sink-always-faults"}) {
        SCOPED_TRACE(mode);
        InTemporaryDirectory dir;
        EXPECT_EQ(crashChild(dir.path(), mode), EXCEPTION_ACCESS_VIOLATION);
        const auto recorded = minidump_test::exceptionOf(fileBytes(dir.path() / "bin" / "crash_child.dmp"));
        ASSERT_TRUE(recorded) << "not a minidump with an exception stream";
        EXPECT_EQ(recorded->code, EXCEPTION_ACCESS_VIOLATION) << "the first dump was overwritten";
        EXPECT_TRUE(namesIn(dir.path() / "work").empty());
    }
}

TEST(WorkerCrash, AssertionAbortsWithoutDumpOrReport)
{
    InTemporaryDirectory dir;
    fs::copy_file(besideTest(L"crash_child.exe"), dir.path() / "crash_child.exe");
    const DWORD code = runChild(dir.path() / "crash_child.exe", "assertion", dir.path());
    EXPECT_NE(code, 2u) << "the assertion returned";
    EXPECT_NE(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(namesIn(dir.path()), std::vector<fs::path>{"crash_child.exe"});
}

TEST(WorkerCrashSink, ReportBecomesTheFatalReportInUtf8)
{
    InTemporaryDirectory dir;
    reportCrash(L"dump in 'C:\\Users\\J\u00f6rg\\w\u00e4rker.dmp'");
    EXPECT_EQ(fileBytes("wdiag.log"), "dump in 'C:\\Users\\J\xc3\xb6rg\\w\xc3\xa4rker.dmp'\r\n");

    // A text that cannot be converted is lost, and the crashing process goes on to its end.
    fs::remove("wdiag.log");
    sys::Override refuse(
        sys::calls.WideCharToMultiByte, +[](UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) -> int {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        });
    reportCrash(L"lost");
    EXPECT_FALSE(fs::exists("wdiag.log"));
}

// The runtime here can set the pure-call handler but not tell it: a swap tells.
_purecall_handler currentPurecallHandler()
{
    _purecall_handler handler = _set_purecall_handler(nullptr);
    _set_purecall_handler(handler);
    return handler;
}

// The process's handlers as they were, put back at the end of the test.
class SavedProcessHandlers {
public:
    SavedProcessHandlers()
        : sink_(crashSink),
          invalidParameter_(_get_invalid_parameter_handler()),
          purecall_(currentPurecallHandler()),
          terminate_(std::get_terminate())
    {
    }
    ~SavedProcessHandlers()
    {
        crashSink = sink_;
        _set_invalid_parameter_handler(invalidParameter_);
        _set_purecall_handler(purecall_);
        std::set_terminate(terminate_);
    }
    SavedProcessHandlers(const SavedProcessHandlers&) = delete;
    SavedProcessHandlers& operator=(const SavedProcessHandlers&) = delete;

    bool changed() const
    {
        return crashSink != sink_ || _get_invalid_parameter_handler() != invalidParameter_ ||
               currentPurecallHandler() != purecall_ || std::get_terminate() != terminate_;
    }

private:
    CrashSink sink_;
    _invalid_parameter_handler invalidParameter_;
    _purecall_handler purecall_;
    std::terminate_handler terminate_;
};

// What the run gave SetUnhandledExceptionFilter, and whether the parent had heard anything.
struct InstalledFilter {
    int count = 0;
    LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
    bool beforeAnyMessage = false;
};
InstalledFilter installed;
link_test::Peer* watched = nullptr;

class RestoreRunCrashHandlers : public ::testing::Test, protected link_test::LinkedToPeer {
protected:
    RestoreRunCrashHandlers() { watched = &peer; }
    ~RestoreRunCrashHandlers() override { watched = nullptr; }

    // A run that ends at once: the parent has closed the worker's input.
    int run(bool crashHandlers)
    {
        installed = InstalledFilter();
        peer.closeWorkerInput();
        sys::Override record(
            sys::calls.SetUnhandledExceptionFilter,
            +[](LPTOP_LEVEL_EXCEPTION_FILTER filter) -> LPTOP_LEVEL_EXCEPTION_FILTER {
                ++installed.count;
                installed.filter = filter;
                installed.beforeAnyMessage = watched->takeBytes().empty();
                return nullptr;
            });
        RestoreSteps steps;
        steps.hiveStep = [] { ADD_FAILURE() << "no hive step without a parent"; };
        steps.crashHandlers = crashHandlers;
        steps.link = link.get();
        return runRestore(steps);
    }

    InTemporaryDirectory dir_;
};

TEST_F(RestoreRunCrashHandlers, InstalledFirstWithTheFatalReportAsSink)
{
    SavedProcessHandlers saved;
    EXPECT_EQ(run(true), 1);
    EXPECT_EQ(installed.count, 1);
    EXPECT_EQ(installed.filter, &crashFilter);
    EXPECT_TRUE(installed.beforeAnyMessage) << "something reached the parent before the handlers";
    EXPECT_EQ(crashSink, &reportCrash);
    EXPECT_NE(_get_invalid_parameter_handler(), nullptr);
    EXPECT_EQ(currentPurecallHandler(), &raiseCrash);
    // The run went on to ask for the log level.
    EXPECT_EQ(peer.takeMessages().size(), 1u);
}

TEST_F(RestoreRunCrashHandlers, LeftAloneWhenTheRunSaysSo)
{
    SavedProcessHandlers saved;
    EXPECT_EQ(run(false), 1);
    EXPECT_EQ(installed.count, 0);
    EXPECT_FALSE(saved.changed());
}

} // namespace
