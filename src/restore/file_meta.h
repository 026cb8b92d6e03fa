#pragma once
// One object's metadata record with its NTFS, HFS or UNIX part resolved, and the Windows
// view of it: attributes, time stamps, owner, security descriptor, link target.
#include "common/usec_time.h"
#include "crypto/chunk_codec.h"
#include "proto/messages.h"

#include <cstdint>
#include <string>

class FileMetaVariant {
public:
    // Copies the record. Throws error::EParseError "Attempted to construct FileMetaVariant
    // from invalid source metadata" when its osmeta is none of the three kinds, and also for
    // an HFS or UNIX part without its access mode, an HFS part without one of its four time
    // specifications or with nanoseconds outside 0 to 999999999 (a decoded record always
    // has them; only a record built in code can lack them).
    explicit FileMetaVariant(const proto::FileMetaData& record);
    FileMetaVariant(const FileMetaVariant& other);
    FileMetaVariant& operator=(const FileMetaVariant&) = delete;

    bool isDirectory() const;
    // False for NTFS; for HFS and UNIX, whether the link target is present.
    bool isSymlink() const;
    // Throws error::EInvariant "getLinkTarget attempted on metadata object not
    // representing a symbolic link." for anything but an HFS or UNIX link.
    const std::string& linkTarget() const;
    const std::string& storedName() const;
    std::uint64_t storedSize() const;
    const std::string& ownerName() const;
    // The SDDL text of an NTFS part that carries it; otherwise empty.
    std::string securityDescriptor() const;
    // The NTFS compressed flag; false for HFS and UNIX.
    bool isCompressed() const;

    // FILE_ATTRIBUTE_* bits from the metadata (the compressed flag is not among them).
    std::uint32_t windowsAttributes() const;
    UsecTime creationTime() const;
    UsecTime lastAccessTime() const;
    UsecTime lastWriteTime() const;

    // Exactly one is set.
    const proto::FileMetaNTFS* ntfs() const { return ntfs_; }
    const proto::FileMetaHFS* hfs() const { return hfs_; }
    const proto::FileMetaUNIX* unix() const { return unix_; }
    const proto::FileMetaData& record() const { return record_; }

    // What the chunk decoder needs of the object.
    ChunkObject chunkObject() const;

private:
    void resolve();

    proto::FileMetaData record_;
    const proto::FileMetaNTFS* ntfs_ = nullptr;
    const proto::FileMetaHFS* hfs_ = nullptr;
    const proto::FileMetaUNIX* unix_ = nullptr;
};

// A time stamp as a Windows FILETIME count: 100-nanosecond units since 1601-01-01.
std::uint64_t toFileTime(const UsecTime& t);
