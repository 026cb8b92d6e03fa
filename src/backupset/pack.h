#pragma once
// Packing a directory tree into a backup set (layout in chunk_store.h): one record per
// object, parents before children and siblings sorted by name, and the chunks of each.
#include "crypto/chunk_codec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace backupset {

// Which operating system's metadata the records carry.
enum class MetaStyle { Ntfs, NtfsWithSddl, Unix, Hfs };
// The container form of every chunk, or a rotation through the three forms by object.
enum class FormChoice { Cleartext, Encrypted, EncryptedCompressed, Mixed };

inline constexpr char kDefaultSddl[] = "O:BAG:BAD:PAI(A;;FA;;;BA)(A;;FA;;;SY)";
inline constexpr char kDefaultWindowsSource[] = "C:\\source";
inline constexpr char kNtfsOwner[] = "Administrators";

struct PackOptions {
    MetaStyle meta = MetaStyle::Ntfs;
    FormChoice form = FormChoice::Cleartext;
    std::uint32_t jobNumber = 1;
    // A full Windows path (drive or UNC); empty: every object goes back where it came from.
    std::string restoreRoot = "C:\\restore";
    // The stored path of the source directory itself; each object's name is this path
    // followed by the object's path below the source. Empty: kDefaultWindowsSource for
    // NTFS, the source directory's absolute path for UNIX and HFS.
    std::string storedRoot;
    std::string sddl = kDefaultSddl; // for NtfsWithSddl
    std::string key;                 // the 32 AES key bytes
};

struct PackResult {
    std::size_t objects = 0;
    std::uint64_t bytes = 0;
    // Source paths that have no record: under NTFS metadata symbolic links and names a
    // Windows volume cannot hold; anything that is not a file, directory or link.
    std::vector<std::string> skipped;
};

// Packs `sourceDirectory` (its contents, not the directory itself) into `setDirectory`,
// which must be missing, empty, or an earlier backup set (holding restore.job), which is
// replaced. Throws ArgumentError for a missing source, an occupied set directory or a restore
// root that is no full Windows path; ChunkStoreError or error::Exception when packing fails.
PackResult pack(const std::string& sourceDirectory, const std::string& setDirectory, const PackOptions& options);

// Whether `path` is a full Windows path: a drive letter, a colon and a backslash, or a UNC
// path \\server\share.
bool isFullWindowsPath(const std::string& path);

// Whether a Windows volume can hold `name` (one path component, UTF-8): none of
// < > : " / \ | ? * or a control character, and no trailing dot or blank. A backup made on
// Windows never has other names, so NTFS records are made only for these.
bool windowsCanHold(const std::string& name);

// The form of the chunks of the object at `position` in the job.
ChunkForm formForObject(FormChoice choice, std::size_t position);
// The chunk count of a file of `size` bytes (an empty file has one empty chunk).
std::uint32_t chunkCountFor(std::uint64_t size);

// 64 hexadecimal digits, two per key byte, key byte 0 first. Throws ArgumentError.
std::string keyFromHex(const std::string& hex);
// 32 bytes from the system's random source.
std::string randomKey();
// The text of harbex.cfg for `key`.
std::string configText(const std::string& key);

} // namespace backupset
