#pragma once
// The files that back the live registry, the worker's own list of restored hives, and the
// flag that a reboot is needed.
#include "registry/pending_moves.h"
#include "restore/placement.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>

class HiveRegistry : public Placement {
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
    bool isLiveHive(const std::string& path) const override;
    // A live hive, or a file that Windows File Protection guards.
    bool mustReplaceAtBoot(const std::string& path) const override;
    // Lists a restored live hive's work file in the worker's hive list (holding the hive
    // step lock, and making the list again if another run removed it meanwhile). The entry
    // is this run's own: its hive step handles and removes it.
    void recordHive(const std::string& target, const std::string& workPath) override;
    // Whether this run listed the work file; the list may hold other runs' entries.
    bool listedHere(const std::string& workPath) const { return listed_.count(workPath) != 0; }
    const std::set<std::string>& listedHives() const { return listed_; }
    void requestReboot() override { rebootRequired_ = true; }
    bool rebootRequired() const { return rebootRequired_; }
    std::size_t liveHiveCount() const { return liveHives_.size(); }
    // The moves at the next boot, as this run sees them.
    PendingMoves& pendingMoves() override { return pendingMoves_; }

private:
    bool backsLiveHive(const std::string& path) const;
    // The device name of a drive ("C:"), asked once per drive; empty when Windows has none.
    const std::wstring& deviceOf(const std::wstring& drive) const;

    std::set<std::wstring> liveHives_; // upper-cased device paths
    mutable std::map<std::wstring, std::wstring> devices_;
    // The last path asked about and the answer: placing one object asks up to four times.
    mutable std::string lastPath_;
    mutable bool lastAnswer_ = false;
    mutable bool answered_ = false;
    PendingMoves pendingMoves_;
    bool rebootRequired_ = false;
    std::set<std::string> listed_; // work files, as listed
};
