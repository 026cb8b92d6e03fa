#pragma once
// A backup set on disk, as a parent serves it to the worker:
//
//   <set>/restore.job        one ClientRestoreJob, CURRENT encoding
//   <set>/harbex.cfg         a comment line and DataKey="<key in base 36>"
//   <set>/chunks/NNNNNNNN    the chunks of the object at position N (decimal, 8 digits,
//                            from 0) of the job's record list
//
// A chunk file holds the chunk containers exactly as they travel in a ChunkResponse's
// data field (tag + payload, already encrypted or compressed), so that a parent serves
// them without encoding anything:
//
//   offset 0   4 bytes  "BSCH"
//   offset 4   4 bytes  chunk count n, unsigned, least significant byte first
//   then n times:
//              4 bytes  container length L, unsigned, least significant byte first
//              L bytes  the container
//
// Chunk i of the file is chunk i of the object; the parent sends it with index i and
// remaining n - 1 - i. An empty file, a directory and a symbolic link have one chunk
// whose data is empty (L = 0).
#include "proto/messages.h"

#include <cstdint>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace backupset {

inline constexpr char kJobFile[] = "restore.job";
inline constexpr char kConfigFile[] = "harbex.cfg";
inline constexpr char kChunkDirectory[] = "chunks";
inline constexpr char kChunkFileMagic[] = "BSCH";

// A backup set that cannot be written or read; the text says which file and why.
class ChunkStoreError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A path or value given to the tools that names nothing usable (a directory that is not there,
// a directory that is no backup set, a relative restore root): the command line is at fault.
class ArgumentError : public ChunkStoreError {
    using ChunkStoreError::ChunkStoreError;
};

// Throws ArgumentError unless `path` is a directory: "No <role> directory <path>" when nothing
// is there, "<path> is no directory" when something else is.
void requireDirectory(const std::string& path, const std::string& role);

// The path of the chunk file of the object at `position` in the job.
std::string chunkFilePath(const std::string& setDirectory, std::size_t position);

// Writes one chunk file: the count first, then the containers as they are added. The
// count given at construction must match the containers added before finish().
class ChunkFileWriter {
public:
    ChunkFileWriter(const std::string& path, std::uint32_t chunkCount);
    void add(const std::string& container);
    void finish();

private:
    std::string path_;
    std::ofstream out_;
    std::uint32_t expected_;
    std::uint32_t written_ = 0;
};

// Reads the containers of one chunk file in order.
class ChunkFileReader {
public:
    explicit ChunkFileReader(const std::string& path);
    std::uint32_t chunkCount() const { return count_; }
    // The next container into `container`; false once all were read.
    bool next(std::string& container);

private:
    std::string path_;
    std::ifstream in_;
    std::uint32_t count_ = 0;
    std::uint32_t read_ = 0;
};

// The reading side of a backup set: the job and, for each of its records in job order,
// the chunks to serve.
class ChunkStore {
public:
    // Reads and decodes <dir>/restore.job. Throws ArgumentError when the directory or its
    // restore.job is missing, ChunkStoreError when the job cannot be read.
    static ChunkStore open(const std::string& setDirectory);

    const proto::ClientRestoreJob& job() const { return *job_; }
    std::size_t objectCount() const { return job_->files.size(); }
    // The record at `position` (job order).
    const proto::FileMetaData& object(std::size_t position) const { return *job_->files.at(position); }
    // The chunks of the object at `position`. Throws ChunkStoreError naming the object when
    // its chunk file is missing or is none.
    ChunkFileReader chunks(std::size_t position) const;
    const std::string& directory() const { return directory_; }

private:
    std::string directory_;
    std::shared_ptr<proto::ClientRestoreJob> job_;
};

// Encodes the job for restore.job (CURRENT encoding).
std::string encodeJob(const proto::ClientRestoreJob& job);
// Decodes restore.job's bytes; throws ChunkStoreError when they are not one whole job.
std::unique_ptr<proto::ClientRestoreJob> decodeJob(const std::string& bytes);

} // namespace backupset
