#pragma once
// The process's last resort: an access violation, an exception that nobody catches, a call
// of a pure virtual function or an invalid argument to a runtime function writes a minidump
// beside the executable and reports where it is. The report goes to a sink that the program
// chooses (the worker's is its fatal report); without one it is shown in a message box.
#include <windows.h>

// Receives the report text of a crash. It must not throw.
using CrashSink = void (*)(const wchar_t* text);

// The sink of the crash reports; null shows them in a message box.
extern CrashSink crashSink;

// The stack that the calling thread keeps for what runs after its stack overflowed.
inline constexpr unsigned long kCrashStackGuarantee = 64 * 1024;

// Stores `sink` and makes crashFilter the unhandled-exception filter and raiseCrash the
// runtime's handler of invalid parameters, of pure virtual calls and of std::terminate
// (where an exception that nobody catches ends with this compiler). A stack overflow is
// reported too: the calling thread keeps kCrashStackGuarantee bytes of stack for what runs
// after it, and a vectored handler has the dump and the report written by a thread of their
// own, then ends the process with the overflow's code.
void installCrashHandlers(CrashSink sink);

// Raises a non-continuable access violation (0xC0000005, no arguments), which reaches
// crashFilter like any other.
void __cdecl raiseCrash();

// Writes the dump of the crash that `exception` describes to the executable's path with
// the extension ".dmp" (or "tarvenor.dmp" in the working directory when that path is
// unknown), with MiniDumpWriteDump of dbghelp.dll loaded now, and hands the report to the
// sink. EXCEPTION_EXECUTE_HANDLER (the process ends) when the dump was written, else
// EXCEPTION_CONTINUE_SEARCH (the system's own handling goes on). A fault inside the filter
// (in the sink, say) ends the process at once with the first exception's code, leaving the
// first dump as it is. Throws nothing.
LONG WINAPI crashFilter(EXCEPTION_POINTERS* exception);
