// Crashes of a real process: crash_child.exe, copied into a scratch directory, installs the
// crash handlers with the worker's sink and crashes as its argument says. Its dump must lie
// beside it, its report in "wdiag.log" of its working directory. And the restore run
// installs those handlers before its first word to the parent.
#include "common/crash_handler.h"
#include "sys/handle.h"
#include "sys/syscalls.h"
#include "worker/driver.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using link_test::InTemporaryDirectory;

// crash_child.exe copied into `root`\bin, run in `root`\work with `mode`; its exit code.
DWORD crashChild(const std::string& root, const std::string& mode)
{
    wchar_t self[MAX_PATH];
    const fs::path program = support::toPath(root + "\\bin\\crash_child.exe");
    fs::create_directories(program.parent_path());
    fs::create_directories(support::toPath(root + "\\work"));
    fs::copy_file(fs::path(std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH))).parent_path() /
                      "crash_child.exe",
                  program);
    std::wstring commandLine = L"crash_child " + toWide(mode);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        toWide(root + "\\work").c_str(), &startup, &process))
        return 97;
    sys::UniqueHandle owned(process.hProcess);
    sys::UniqueHandle thread(process.hThread);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 98);
    DWORD code = 99;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

// Each crash ends the process with its code and leaves a dump beside the program, named in
// the report; a fault while reporting ends it with the first crash's code and dump; an
// assertion aborts without either.
TEST(WorkerCrash, EachCrashLeavesADumpBesideTheProgramAndItsReportInWdiagLog)
{
    const DWORD violation = EXCEPTION_ACCESS_VIOLATION;
    struct Case {
        const char* mode;
        DWORD code;
        bool dump, report;
    };
    const Case cases[] = {
        {"access-violation", violation, true, true},
        {"uncaught-exception", violation, true, true},
        {"invalid-parameter", violation, true, true},
        {"purecall-handler", violation, true, true},
        // The filter runs on the stack kept for it.
        {"stack-overflow", DWORD(EXCEPTION_STACK_OVERFLOW), true, true},
        {"sink-faults-once", violation, true, false},
        {"sink-always-faults", violation, true, false},
        {"assertion", 3, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        support::ScratchDir dir;
        EXPECT_EQ(crashChild(dir.path(), c.mode), c.code);
        const std::string dump = dir / "bin\\crash_child.dmp";
        EXPECT_EQ(support::exists(dump) ? support::readFile(dump).substr(0, 4) : "", c.dump ? "MDMP" : "");
        const std::string report =
            support::exists(dir / "work\\wdiag.log") ? support::readFile(dir / "work\\wdiag.log") : "";
        EXPECT_EQ(report, c.report ? "An application error has been detected. Please report this error and submit "
                                     "the dump file in '" +
                                         dump + "' along with your error report\r\n"
                                   : "");
    }
}

std::vector<std::wstring> eventCalls;
const HANDLE kSource = reinterpret_cast<HANDLE>(0x4242);

// The report replaces the local file, in UTF-8 written without the heap, and goes to the
// event log as an error of the source "Harbex".
TEST(WorkerCrashSink, ReportGoesToTheLocalFileAndTheEventLog)
{
    sys::Override registerSource(
        sys::calls.RegisterEventSourceW, +[](LPCWSTR server, LPCWSTR source) -> HANDLE {
            eventCalls.push_back(L"register " + std::wstring(server ? server : L"(local)") + L" " + source);
            return kSource;
        });
    sys::Override report(
        sys::calls.ReportEventW,
        +[](HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD size, LPCWSTR* strings,
            LPVOID data) -> BOOL {
            EXPECT_TRUE(source == kSource && user == nullptr && size == 0 && data == nullptr);
            eventCalls.push_back(L"report " + std::to_wstring(type) + L" " + std::to_wstring(category) + L" " +
                                 std::to_wstring(id) + L" " + std::to_wstring(count) + L" " + strings[0]);
            return TRUE;
        });
    sys::Override deregister(
        sys::calls.DeregisterEventSource, +[](HANDLE source) -> BOOL {
            eventCalls.push_back(source == kSource ? L"deregister" : L"deregister another");
            return TRUE;
        });
    InTemporaryDirectory dir;
    support::writeFile("wdiag.log", "2,false: an earlier line that is longer than the report\r\n");
    reportCrash(L"dump in 'C:\\J\u00f6rg\\w\u00e4rker.dmp'");
    EXPECT_EQ(support::readFile("wdiag.log"), "dump in 'C:\\J\xc3\xb6rg\\w\xc3\xa4rker.dmp'\r\n");
    EXPECT_EQ(eventCalls, (std::vector<std::wstring>{
                              L"register (local) Harbex",
                              L"report 1 0 3221225476 1 dump in 'C:\\J\u00f6rg\\w\u00e4rker.dmp'", L"deregister"}));
}

// What the run gave SetUnhandledExceptionFilter, and whether the parent had heard anything.
LPTOP_LEVEL_EXCEPTION_FILTER installed;
bool beforeAnyMessage;
link_test::Peer* watched;

class RestoreRunCrashHandlers : public ::testing::Test, protected link_test::LinkedToPeer {};

TEST_F(RestoreRunCrashHandlers, InstalledFirstWithTheFatalReportAsSink)
{
    InTemporaryDirectory dir;
    const CrashSink sink = crashSink;
    const _invalid_parameter_handler invalidParameter = _get_invalid_parameter_handler();
    const _purecall_handler purecall = _set_purecall_handler(nullptr); // the runtime cannot tell it otherwise
    const std::terminate_handler terminate = std::get_terminate();
    watched = &peer;
    sys::Override record(
        sys::calls.SetUnhandledExceptionFilter,
        +[](LPTOP_LEVEL_EXCEPTION_FILTER filter) -> LPTOP_LEVEL_EXCEPTION_FILTER {
            installed = filter;
            beforeAnyMessage = watched->takeBytes().empty();
            return nullptr;
        });
    // A run that ends at once: the parent has closed the worker's input.
    peer.closeWorkerInput();
    RestoreSteps steps;
    steps.hiveStep = [] { ADD_FAILURE() << "no hive step without a parent"; };
    steps.link = link.get();
    EXPECT_EQ(runRestore(steps), 1);
    EXPECT_EQ(installed, &crashFilter);
    EXPECT_TRUE(beforeAnyMessage) << "something reached the parent before the handlers";
    EXPECT_EQ(crashSink, &reportCrash);
    crashSink = sink;
    _set_invalid_parameter_handler(invalidParameter);
    _set_purecall_handler(purecall);
    std::set_terminate(terminate);
}

} // namespace
