#pragma once
// Restore writers: each owns one restored object (file, directory or symbolic link) from its
// first chunk until it is complete. The chunk dispatcher makes one with createWriter, hands
// it the object's chunks and completes it before it makes the next.
#include "restore/byte_coverage.h"
#include "restore/file_meta.h"
#include "sys/handle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class Placement;

// What the writers of one run share.
struct WriterContext {
    Placement& placement;
    // The process holds the security privilege: work files are opened for their SACL too,
    // and SACLs are restored.
    bool systemSecurity = true;
    // The directory whose leading path was made last: the objects after it in that directory
    // (a job lists a directory's objects together) need no walk of their own.
    std::string madeDirectory{};
};

class RestoreWriter {
public:
    virtual ~RestoreWriter() = default;
    // Writes `bytes` at byte `offset` of the object.
    virtual void writeChunk(std::string_view bytes, std::uint64_t offset) = 0;
    // Finishes the object: time stamps, security, attributes, and the move into place.
    virtual void complete() = 0;
    // Gives up an object that failed: nothing of it is put in place, and what it left on
    // disk that no move at the next boot needs is removed.
    virtual void abandon() {}
    // The path the writer writes to.
    virtual std::string restorePath() const = 0;
    // Creates every directory above the last component of `path`, starting below its
    // drive; directories that exist already are fine, other failures throw.
    virtual void createLeadingPath(const std::string& path);
};

// A file or a directory. A file's data goes into its work file, which is created and given
// its final length at construction and moved over the target on completion; a directory is
// created at construction and gets its time stamps, security and attributes on completion.
class RestoreFileWriter : public RestoreWriter {
public:
    // Creates the leading directories and, for a file, the work file. Throws when either
    // fails, or when a file's path holds no backslash (no directory to restore it into).
    RestoreFileWriter(std::unique_ptr<FileMetaVariant> meta, std::string root, WriterContext& context);
    // Without completion or abandon the work file stays as it is (a run that ends early
    // leaves it for the next run); only its handle is closed.
    ~RestoreFileWriter() override = default;

    // Empty bytes do nothing. Throws io::EInputOutput when no file is open (a directory)
    // or the file cannot be positioned or written, and ERestore when the bytes would reach
    // past the object's recorded size.
    void writeChunk(std::string_view bytes, std::uint64_t offset) override;
    // Call once. Throws ERestore when the chunks written do not cover the file's recorded
    // size (nothing is then touched), and what security and the hive registry throw;
    // everything else that fails is logged.
    void complete() override;
    // Closes the work file and deletes it unless it waits for a move at boot. A directory
    // stays: objects below it may be restored.
    void abandon() override;
    // The work file of a file; a directory's own path.
    std::string restorePath() const override { return workPath_; }

    // The mapped path of the object.
    const std::string& targetPath() const { return target_; }
    // What the end of the restore needs to set a directory's times again.
    const FileMetaVariant& meta() const { return *meta_; }

private:
    sys::UniqueHandle handle_;
    std::string root_;
    std::unique_ptr<FileMetaVariant> meta_;
    std::string target_;
    std::string workPath_;
    WriterContext& context_;
    ByteCoverage coverage_;
    bool waitsForBoot_ = false;
};

// Symbolic links are not restored on Windows: the writer logs that it ignores the link and
// leaves nothing on disk.
class RestoreSymlinkWriter : public RestoreWriter {
public:
    RestoreSymlinkWriter(std::unique_ptr<FileMetaVariant> meta, const std::string& root);

    // Accepts only the empty chunk at offset 0; anything else throws io::EInputOutput.
    void writeChunk(std::string_view bytes, std::uint64_t offset) override;
    void complete() override {}
    std::string restorePath() const override { return linkPath_; }

private:
    std::unique_ptr<FileMetaVariant> meta_;
    std::string linkPath_;
};

// The writer for the object that `record` describes, restored below `root` (empty: where
// it came from). Throws error::EParseError when the record's metadata is of no known kind,
// and whatever constructing the writer throws.
std::unique_ptr<RestoreWriter> createWriter(const std::string& root, const proto::FileMetaData& record,
                                            WriterContext& context);
