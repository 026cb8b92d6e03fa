#pragma once
// One restore from start to end, as the worker's main runs it: the log level from the
// parent, the job file, the data key, the inquiry until the server is ready, the restore
// privileges, every chunk through the dispatcher, the directories' times once more, the
// hive step and the deletion of the job file. Progress goes to the parent at every stage.
#include "common/usec_time.h"

#include <functional>
#include <memory>

class ParentLink;
class Placement;

// The job file and the configuration's base name, relative to the working directory.
inline constexpr char kJobFile[] = "restore.job";
inline constexpr char kConfigBaseName[] = "harbex";

// What a run needs from outside the restore itself. The worker's main passes the live hive
// list and the hive step; tests pass their own steps to watch what the run hands them.
struct RestoreSteps {
    // Where restored files are put in place, asked for once just before the first chunk
    // (it may read which files back the live registry). Required; it outlives the run.
    std::function<Placement&()> placement;
    // The end-of-restore hive step, after the last object. Required.
    std::function<void()> hiveStep;
    // How long to wait before asking again while the server is not ready.
    UsecTime notReadyPause{9, 0};
    // The parent; null: the one at the other end of the standard input and output.
    ParentLink* link = nullptr;
    // Installs the crash handlers, with reportCrash as their sink, before anything else.
    // Tests that run restores inside their own process leave the process's handlers alone.
    bool crashHandlers = true;
};

// Runs one restore. 0: the restore completed. 1: it did not (the server knows no restore,
// the job file was unreadable, an error ended the run, or the parent closed the link).
// Never throws an error::Exception: each ends the run with 1, logged at level 0 as
// "Restore completer dying: " + its text, except the parent's departure, which is not logged.
int runRestore(const RestoreSteps& steps);

// The worker's sink of crash reports: the report, converted to UTF-8, becomes the fatal
// report ("wdiag.log" and the event log), without the heap. Throws nothing; a report that
// cannot be converted is lost.
void reportCrash(const wchar_t* text);

// Which of the restore privileges the process token holds.
struct RestorePrivileges {
    bool security = true; // SeSecurityPrivilege: SACLs can be read and set
    bool restore = true;  // SeRestorePrivilege: any owner can be set, any file replaced
};

// Enables the security and restore privileges in the process token. A privilege the token
// lacks (an unelevated run) is named in a level-1 line and reported as not held. Throws
// error::ESystemError naming the step that failed; the token is closed on every path.
RestorePrivileges enableRestorePrivileges();
