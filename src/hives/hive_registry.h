#pragma once
// The files that back the live registry, the worker's own list of restored hives, and the
// flag that a reboot is needed.
#include "hives/pending_moves.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>

// `text` upper-cased the ordinal way of the invariant locale, as Windows compares paths.
// Throws the system error when Windows cannot map it.
std::wstring upperCasedPath(const std::wstring& text);

class HiveRegistry {
public:
    // The loaded hives and their files (device paths), under HKEY_LOCAL_MACHINE.
    static constexpr const char* hiveListKey = "System\\CurrentControlSet\\Control\\hivelist";
    // The worker's list of restored live hives, under HKEY_LOCAL_MACHINE: value name = the
    // work file, data (REG_SZ) = the target that it is restored for.
    static constexpr const char* restoredHivesKey = "Software\\Harbex\\hives";

    // Reads "System\CurrentControlSet\Control\hivelist" and makes sure the worker's list
    // key "Software\Harbex\hives" exists. Throws when the hive list cannot be read.
    HiveRegistry();
    // A registry that knows exactly these device paths (for tools and tests). It too makes
    // sure that the worker's list key exists, so that recordHive can store into it.
    explicit HiveRegistry(std::set<std::wstring> liveHives);

    // Whether the file at `path` backs a loaded hive (device paths, compared
    // case-insensitively). A drive whose device name Windows cannot give (added while the
    // system runs, or a system half started) backs none: said once per drive at level 1.
    bool isLiveHive(const std::string& path) const;
    // A live hive, or a file that Windows File Protection guards.
    bool mustReplaceAtBoot(const std::string& path) const;
    // Lists a restored live hive's work file in the worker's hive list.
    void recordHive(const std::string& target, const std::string& workPath);
    void requestReboot() { rebootRequired_ = true; }
    bool rebootRequired() const { return rebootRequired_; }
    std::size_t liveHiveCount() const { return liveHives_.size(); }
    // The moves at the next boot, as this run sees them.
    PendingMoves& pendingMoves() { return pendingMoves_; }

private:
    // The device name of a drive ("C:"), asked once per drive; empty when Windows has none.
    const std::wstring& deviceOf(const std::wstring& drive) const;

    std::set<std::wstring> liveHives_; // upper-cased device paths
    mutable std::map<std::wstring, std::wstring> devices_;
    PendingMoves pendingMoves_;
    bool rebootRequired_ = false;
};
