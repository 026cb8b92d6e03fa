#pragma once
// The moves that Windows carries out at the next boot: the REG_MULTI_SZ value
// PendingFileRenameOperations of HKLM\System\CurrentControlSet\Control\Session Manager,
// pairs of NT paths ("\??\C:\dir\file"); a target starts with '!' when it may replace an
// existing file and is empty when the source is only to be deleted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct PendingMove {
    std::wstring source; // as stored
    std::wstring target; // as stored: "!\??\..." or "\??\..." or empty
    bool operator==(const PendingMove&) const = default;
};

// `text` upper-cased the ordinal way of the invariant locale, as Windows compares paths.
// Throws the system error when Windows cannot map it.
std::wstring upperCasedPath(const std::wstring& text);

// The pairs of a value's bytes, or nothing when they are no list of pairs: an odd byte
// count, no closing double zero, or a move from an empty source. Empty bytes are no pairs.
std::optional<std::vector<PendingMove>> parsePendingMoves(const std::uint8_t* data, std::size_t size);
// The bytes Windows reads back as `moves`.
std::vector<std::uint8_t> encodePendingMoves(const std::vector<PendingMove>& moves);
// The Win32 form of a stored path, upper-cased for comparison: "!\??\C:\x" and "\\?\C:\x"
// give "C:\X", "\??\UNC\s\x" and "\\?\UNC\s\x" give "\\S\X".
std::wstring comparablePath(const std::wstring& path);

// The running list as one run sees it. It is read when first needed; this run's own
// requests are added as they are made. An unreadable, empty, missing or malformed value is
// an empty list, logged at level 1 the first time.
class PendingMoves {
public:
    static constexpr const char* sessionManagerKey = "System\\CurrentControlSet\\Control\\Session Manager";
    static constexpr const char* valueName = "PendingFileRenameOperations";

    // Whether a pending move starts from `path` (a Win32 path).
    bool isSource(const std::string& path);
    // Records a move at boot that this run requested from `source` to `target`.
    void added(const std::string& source, const std::string& target);
    // Removes every earlier pending move to `target` but the last one when `keepLast` (the
    // move this run just requested), and deletes the work files they would have moved (at
    // the next boot when a file cannot be deleted now). Failures are logged at level 1.
    void supersede(const std::string& target, bool keepLast);

    // The running list, read anew.
    std::vector<PendingMove> readRunning();

private:
    void load();

    bool loaded_ = false;
    bool warned_ = false;
    std::set<std::wstring> sources_; // comparable paths
    std::multiset<std::wstring> targets_;
};
