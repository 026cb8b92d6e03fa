#pragma once
// What putting restored files in place needs to know of the running system, and what it
// tells it. The restore writers see only this; the end-of-restore hive step implements it
// (the files that back the live registry, Windows File Protection, the reboot flag, the
// worker's list of restored hives).
#include <string>

class PendingMoves;

class Placement {
public:
    virtual ~Placement() = default;

    // Whether the file at `path` backs the live registry.
    virtual bool isLiveHive(const std::string& path) const = 0;
    // Whether `path` can be replaced only at the next boot: a live hive, or a file that
    // Windows protects.
    virtual bool mustReplaceAtBoot(const std::string& path) const = 0;
    // A move waits for the next boot: the end of the restore asks for a reboot.
    virtual void requestReboot() = 0;
    // A restored live hive's work file, for the hive step at the end of the restore.
    virtual void recordHive(const std::string& target, const std::string& workPath) = 0;
    // The moves at the next boot, as this run sees them.
    virtual PendingMoves& pendingMoves() = 0;
};
