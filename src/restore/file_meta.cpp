#include "restore/file_meta.h"

#include "common/error.h"

namespace {

const char* const kInvalidSource = "Attempted to construct FileMetaVariant from invalid source metadata";

constexpr std::uint32_t kAttributeReadOnly = 0x1;
constexpr std::uint32_t kAttributeHidden = 0x2;
constexpr std::uint32_t kAttributeSystem = 0x4;
constexpr std::uint32_t kAttributeArchive = 0x20;
constexpr std::uint32_t kAttributeEncrypted = 0x4000;

// Seconds between 1601-01-01 (the Windows file-time epoch) and 1970-01-01.
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600LL;

// Nobody may write the object: it becomes read-only on Windows.
bool nobodyMayWrite(const proto::FileAccessMode& mode)
{
    return !mode.ownerWrite && !mode.groupWrite && !mode.otherWrite;
}

// The 32-bit seconds field keeps the low 32 bits of wider time values.
std::int32_t low32(std::int64_t seconds)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds)));
}

UsecTime fromSeconds(std::int64_t seconds)
{
    return UsecTime(low32(seconds), 0);
}

UsecTime fromTimespec(const proto::Timespec& t)
{
    return UsecTime(low32(t.seconds), t.nanoseconds / 1000);
}

} // namespace

FileMetaVariant::FileMetaVariant(const proto::FileMetaData& record) : record_(record)
{
    resolve();
}

FileMetaVariant::FileMetaVariant(const FileMetaVariant& other) : record_(other.record_)
{
    resolve();
}

// Points the view of the matching kind into this object's own copy of the record. A part
// without the members that every received record carries (its access mode, the four time
// specifications of HFS) cannot be described to Windows and is refused like an unknown kind;
// so is a nanosecond count outside 0 to 999999999.
void FileMetaVariant::resolve()
{
    if (auto* ntfs = record_.osmeta.as<proto::FileMetaNTFS>()) {
        ntfs_ = ntfs;
        return;
    }
    if (auto* unix = record_.osmeta.as<proto::FileMetaUNIX>()) {
        if (!unix->mode)
            throw error::EParseError(kInvalidSource);
        unix_ = unix;
        return;
    }
    if (auto* hfs = record_.osmeta.as<proto::FileMetaHFS>()) {
        if (!hfs->mode)
            throw error::EParseError(kInvalidSource);
        for (const proto::Timespec* t : {hfs->atime.get(), hfs->mtime.get(), hfs->ctime.get(), hfs->btime.get()})
            if (t == nullptr || t->nanoseconds < 0 || t->nanoseconds > 999999999)
                throw error::EParseError(kInvalidSource);
        hfs_ = hfs;
        return;
    }
    throw error::EParseError(kInvalidSource);
}

bool FileMetaVariant::isDirectory() const
{
    return record_.directory;
}

bool FileMetaVariant::isSymlink() const
{
    if (hfs_)
        return hfs_->hasLinkTarget;
    if (unix_)
        return unix_->hasLinkTarget;
    return false;
}

const std::string& FileMetaVariant::linkTarget() const
{
    if (hfs_ && hfs_->hasLinkTarget)
        return hfs_->linkTarget;
    if (unix_ && unix_->hasLinkTarget)
        return unix_->linkTarget;
    throw error::EInvariant("getLinkTarget attempted on metadata object not representing a symbolic link.");
}

const std::string& FileMetaVariant::storedName() const
{
    return record_.name;
}

std::uint64_t FileMetaVariant::storedSize() const
{
    return record_.size;
}

const std::string& FileMetaVariant::ownerName() const
{
    if (ntfs_)
        return ntfs_->owner;
    if (hfs_)
        return hfs_->owner;
    return unix_->owner;
}

std::string FileMetaVariant::securityDescriptor() const
{
    if (ntfs_ && ntfs_->hasSddl)
        return ntfs_->sddl;
    return std::string();
}

bool FileMetaVariant::isCompressed() const
{
    return ntfs_ && ntfs_->compressed;
}

std::uint32_t FileMetaVariant::windowsAttributes() const
{
    if (ntfs_) {
        std::uint32_t attributes = 0;
        if (ntfs_->archive)
            attributes |= kAttributeArchive;
        if (ntfs_->encrypted)
            attributes |= kAttributeEncrypted;
        if (ntfs_->hidden)
            attributes |= kAttributeHidden;
        if (ntfs_->readOnly)
            attributes |= kAttributeReadOnly;
        if (ntfs_->system)
            attributes |= kAttributeSystem;
        return attributes;
    }
    const proto::FileAccessMode& mode = hfs_ ? *hfs_->mode : *unix_->mode;
    return nobodyMayWrite(mode) ? kAttributeReadOnly : 0;
}

UsecTime FileMetaVariant::creationTime() const
{
    if (ntfs_)
        return fromSeconds(ntfs_->creationTime);
    if (hfs_)
        return fromTimespec(*hfs_->btime);
    return fromSeconds(unix_->creationTime);
}

UsecTime FileMetaVariant::lastAccessTime() const
{
    if (ntfs_)
        return fromSeconds(ntfs_->lastAccessTime);
    if (hfs_)
        return fromTimespec(*hfs_->atime);
    return fromSeconds(unix_->lastAccessTime);
}

UsecTime FileMetaVariant::lastWriteTime() const
{
    if (ntfs_)
        return fromSeconds(ntfs_->lastWriteTime);
    if (hfs_)
        return fromTimespec(*hfs_->mtime);
    return fromSeconds(unix_->lastWriteTime);
}

ChunkObject FileMetaVariant::chunkObject() const
{
    ChunkObject object;
    object.name = record_.name;
    object.size = record_.size;
    object.kind = ntfs_ ? MetaKind::Ntfs : hfs_ ? MetaKind::Hfs : MetaKind::Unix;
    object.isLink = isSymlink();
    return object;
}

std::uint64_t toFileTime(const UsecTime& t)
{
    const std::int64_t seconds = std::int64_t(t.seconds()) + kEpochDifferenceSeconds;
    // Unsigned arithmetic wraps for stamps before 1601 instead of overflowing.
    return static_cast<std::uint64_t>(seconds) * 10000000u + static_cast<std::uint64_t>(std::int64_t(t.usec())) * 10u;
}
