#include "common/crash_handler.h"

#include "common/crash_report.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <dbghelp.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <utility>

CrashSink crashSink = nullptr;

namespace {

// A library loaded for the length of the filter, freed on every path.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const wchar_t* name) : module_(sys::calls.LoadLibraryW(name)) {}

    explicit operator bool() const { return module_.valid(); }
    // The named function of the library, or null.
    template <class F>
    F function(const char* name) const
    {
        // Through the generic function pointer type: FARPROC's own signature is a placeholder.
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(sys::calls.GetProcAddress(module_.get(), name)));
    }

private:
    sys::UniqueLibrary module_;
};

using MiniDumpWriteDumpFunction = decltype(&::MiniDumpWriteDump);

// The report works in these rather than on the stack, which may be all but used up by
// the crash, or on the heap, which may be what crashed; one report at a time, so one of
// each is enough.
wchar_t executable[kDumpPathRoom];
wchar_t dumpPath[kDumpPathRoom];
wchar_t reportText[kCrashReportRoom];

// Set while a crash is reported, with the code of its exception and its thread.
volatile LONG reporting = 0;
DWORD firstCrashCode = 0;
DWORD crashedThread = 0;

// The stack overflow that a thread of its own reports, and the thread that overflowed.
EXCEPTION_POINTERS* overflow = nullptr;
DWORD overflowedThread = 0;

void __cdecl invalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, std::uintptr_t)
{
    raiseCrash();
}

[[noreturn]] void terminateAsCrash()
{
    raiseCrash();
    std::abort(); // a crash that someone continued anyway
}

// The executable's path with ".dmp" for its extension; "tarvenor.dmp" when the path is
// unknown or did not fit (a cut path names some other file).
void findDumpPath()
{
    const DWORD length = sys::calls.GetModuleFileNameW(nullptr, executable, kDumpPathRoom);
    if (length == 0 || length >= kDumpPathRoom) {
        static_assert(sizeof kFallbackDumpPath <= sizeof dumpPath);
        std::wcscpy(dumpPath, kFallbackDumpPath);
        return;
    }
    executable[length] = L'\0';
    dumpPathOf(executable, dumpPath, kDumpPathRoom);
}

void report(const wchar_t* pattern, int error = 0)
{
    formatCrashReport(pattern, dumpPath, error, reportText, kCrashReportRoom);
}

int lastError()
{
    // "%d" of the code, as the system's own reports show it.
    return static_cast<int>(GetLastError());
}

// Writes the dump and fills the report. True when the dump was written.
bool writeDump(const LoadedLibrary& dbghelp, EXCEPTION_POINTERS* exception)
{
    const auto miniDumpWriteDump = dbghelp.function<MiniDumpWriteDumpFunction>("MiniDumpWriteDump");
    if (miniDumpWriteDump == nullptr) {
        report(kOldDbgHelpReport);
        return false;
    }
    sys::UniqueHandle file(sys::calls.CreateFileW(dumpPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        report(kDumpNotCreatedReport, lastError());
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION information{};
    information.ThreadId = crashedThread;
    information.ExceptionPointers = exception;
    information.ClientPointers = TRUE;
    if (!miniDumpWriteDump(sys::calls.GetCurrentProcess(), sys::calls.GetCurrentProcessId(), file.get(), MiniDumpNormal,
                           &information, nullptr, nullptr)) {
        report(kDumpNotSavedReport, lastError());
        return false;
    }
    report(kDumpSavedReport);
    return true;
}

// Writes the dump, fills the report and hands it on; the filter's result.
LONG dumpAndReport(EXCEPTION_POINTERS* exception)
{
    findDumpPath();
    bool written = false;
    LoadedLibrary dbghelp(L"dbghelp.dll");
    if (dbghelp)
        written = writeDump(dbghelp, exception);
    else
        report(kNoDbgHelpReport);

    if (crashSink != nullptr)
        crashSink(reportText);
    else
        sys::calls.MessageBoxW(nullptr, reportText, kDumpReportCaption, MB_OK);
    return written ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

// Reports the crash of `thread` once: a fault while it is being reported would write its
// own dump over the first, and one that recurs would never end, so the process then ends
// at once with the first exception's code.
LONG reportOnce(EXCEPTION_POINTERS* exception, DWORD thread)
{
    if (InterlockedExchange(&reporting, 1) != 0) {
        sys::calls.TerminateProcess(sys::calls.GetCurrentProcess(), firstCrashCode);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    firstCrashCode = exception != nullptr && exception->ExceptionRecord != nullptr
                         ? exception->ExceptionRecord->ExceptionCode
                         : static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION);
    crashedThread = thread;
    const LONG result = dumpAndReport(exception);
    InterlockedExchange(&reporting, 0);
    return result;
}

DWORD WINAPI reportOverflow(void*)
{
    reportOnce(overflow, overflowedThread);
    return 0;
}

// A stack overflow leaves its thread too little stack to report it (under Wine, not even
// enough to reach the filter): this handler, which runs before any other, has a thread of
// its own write the dump and the report, then ends the process.
LONG WINAPI stackOverflowHandler(EXCEPTION_POINTERS* exception)
{
    if (exception == nullptr || exception->ExceptionRecord == nullptr ||
        exception->ExceptionRecord->ExceptionCode != static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW))
        return EXCEPTION_CONTINUE_SEARCH;
    overflow = exception;
    overflowedThread = sys::calls.GetCurrentThreadId();
    HANDLE reporter = sys::calls.CreateThread(nullptr, 0, reportOverflow, nullptr, 0, nullptr);
    if (reporter != nullptr)
        sys::calls.WaitForSingleObject(reporter, INFINITE);
    sys::calls.TerminateProcess(sys::calls.GetCurrentProcess(), static_cast<UINT>(EXCEPTION_STACK_OVERFLOW));
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void installCrashHandlers(CrashSink sink)
{
    crashSink = sink;
    // What runs on the overflowed stack needs room; the report itself runs elsewhere.
    ULONG guarantee = kCrashStackGuarantee;
    sys::calls.SetThreadStackGuarantee(&guarantee);
    static const bool overflowHandled = sys::calls.AddVectoredExceptionHandler(1, stackOverflowHandler) != nullptr;
    (void)overflowHandled;
    sys::calls.SetUnhandledExceptionFilter(crashFilter);
    _set_invalid_parameter_handler(invalidParameter);
    _set_purecall_handler(raiseCrash);
    std::set_terminate(terminateAsCrash);
}

void __cdecl raiseCrash()
{
    sys::calls.RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

LONG WINAPI crashFilter(EXCEPTION_POINTERS* exception)
{
    return reportOnce(exception, sys::calls.GetCurrentThreadId());
}
