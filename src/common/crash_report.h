#pragma once
// The texts of a crash report: where the dump goes and what the report says. Built into
// fixed buffers, without the heap, because they are made while the process is crashing.
#include <cstddef>

// Room of the dump path and of the report text, in UTF-16 units with the terminating null.
inline constexpr std::size_t kDumpPathRoom = 260;
inline constexpr std::size_t kCrashReportRoom = 520;

// The dump's path when the executable's own path is unknown: in the working directory.
inline constexpr wchar_t kFallbackDumpPath[] = L"tarvenor.dmp";

// The reports. "%s" stands for the dump path, "%d" for the system error code.
inline constexpr wchar_t kNoDbgHelpReport[] = L"dbghelp.dll not found";
inline constexpr wchar_t kOldDbgHelpReport[] = L"dbghelp.dll too old";
inline constexpr wchar_t kDumpNotCreatedReport[] = L"Failed to create dump file '%s' (error %d)";
inline constexpr wchar_t kDumpNotSavedReport[] = L"Failed to save dump file to '%s' (error %d)";
inline constexpr wchar_t kDumpSavedReport[] =
    L"An application error has been detected. Please report this error and submit the dump file in '%s' "
    L"along with your error report";
// The caption of the message box that shows a report when nobody else takes it.
inline constexpr wchar_t kDumpReportCaption[] = L"Dump generated";

// Writes into `out` the dump path of `executable`: everything from its last '.' (even one
// in a directory name) replaced by ".dmp", or ".dmp" appended when it has no '.'. What does
// not fit into `room` units with the null is cut off.
void dumpPathOf(const wchar_t* executable, wchar_t* out, std::size_t room);

// Writes into `out` the report `pattern` with each "%s" replaced by `path` and each "%d" by
// `error` in signed decimal; every other character stands as it is. Cut to `room` units
// with the null; nothing is written when `room` is 0.
void formatCrashReport(const wchar_t* pattern, const wchar_t* path, int error, wchar_t* out, std::size_t room);
