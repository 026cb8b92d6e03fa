#pragma once
// A deterministic sample tree to pack: the same seed gives the same names, bytes, modes
// and modification times. It holds what a restore has to get right: nested and empty
// directories, empty files, a file of exactly one chunk and one that ends inside a chunk,
// text and random bytes, a read-only file, a symbolic link, and names that a Windows
// restore has to map (reserved device names, characters Windows forbids, trailing dot or
// blank, non-ASCII).
#include <cstdint>
#include <string>
#include <vector>

namespace backupset {

struct SampleEntry {
    enum class Kind { Directory, File, Link };
    Kind kind = Kind::File;
    std::string path;       // below the tree's top, '/'-separated, UTF-8
    std::string content;    // File
    std::string linkTarget; // Link
    bool readOnly = false;
    std::int64_t modified = 0; // seconds since 1970 (not for links)
    bool windowsCannotHold = false;
};

// The entries of the tree for `seed`, parents before children.
std::vector<SampleEntry> sampleTree(std::uint64_t seed);

// Creates the tree under `directory` (made if missing). An earlier tree there is written over:
// each entry replaces what stands at its path, and other files stay. On Windows the entries
// that Windows cannot hold are left out. Throws std::filesystem::filesystem_error.
void writeSampleTree(const std::string& directory, std::uint64_t seed);

} // namespace backupset
