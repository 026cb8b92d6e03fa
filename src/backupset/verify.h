#pragma once
// Checking a restored tree against the directory a backup set was packed from: for every
// record of the set's job, the source object it was packed from and the place the worker
// restores it to (its mapped Windows path below the job's restore root, which is the
// restored directory on this machine), compared for kind, bytes, modification time and
// the read-only attribute.
#include <cstddef>
#include <string>
#include <vector>

namespace backupset {

struct VerifyOptions {
    // The stored path of the source directory itself, as given to pack. Empty: the path
    // that the job's shallowest records have in common.
    std::string storedRoot;
};

struct Difference {
    enum class Aspect {
        Source,   // the source object is missing or no longer what the record says
        Missing,  // nothing was restored where the record goes
        Kind,     // restored as another kind of object
        Contents, // bytes or size
        Modified, // modification time
        ReadOnly, // the read-only attribute
        Extra,    // a restored entry that no record accounts for
    };
    Aspect aspect = Aspect::Missing;
    std::string object; // the source path below the source directory, '/'-separated
    std::string detail; // what differs, for a person
};

struct VerifyResult {
    std::size_t objects = 0;   // records in the job
    std::size_t differing = 0; // records with at least one difference
    std::vector<Difference> differences;
    // Not differences: source entries that the set holds no record for (links under
    // NTFS metadata) and links, which a Windows restore leaves out.
    std::vector<std::string> notes;

    bool matches() const { return differences.empty(); }
};

// Compares `restoredDirectory` (the job's restore root, as seen here) with
// `sourceDirectory` for the records of the set in `setDirectory`. Throws ChunkStoreError
// when the set cannot be read or its records cannot be placed below the source or the
// restore root.
VerifyResult verify(const std::string& sourceDirectory, const std::string& setDirectory,
                    const std::string& restoredDirectory, const VerifyOptions& options = {});

// One line for a person: the object, the aspect, and the detail.
std::string describe(const Difference& difference);
// "verify: N objects match" or "verify: K of N objects differ", with the unexpected
// restored entries when there are any.
std::string summary(const VerifyResult& result);

} // namespace backupset
