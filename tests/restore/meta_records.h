#pragma once
// Metadata records of the three kinds with every part that a job carries for them (UNIX and
// HFS: the access mode; HFS: the four time stamps), changed by `fill`. Portable.
#include "proto/messages.h"

#include <cstdint>
#include <functional>
#include <string>

namespace restore_test {

inline proto::FileMetaData ntfsMeta(const std::function<void(proto::FileMetaNTFS&)>& fill = {})
{
    proto::FileMetaData record;
    auto& ntfs = record.osmeta.emplace<proto::FileMetaNTFS>();
    if (fill)
        fill(ntfs);
    return record;
}

inline proto::FileMetaData unixMeta(const std::function<void(proto::FileMetaUNIX&)>& fill = {})
{
    proto::FileMetaData record;
    auto& unix = record.osmeta.emplace<proto::FileMetaUNIX>();
    unix.mode.emplace();
    if (fill)
        fill(unix);
    return record;
}

inline proto::FileMetaData hfsMeta(const std::function<void(proto::FileMetaHFS&)>& fill = {})
{
    proto::FileMetaData record;
    auto& hfs = record.osmeta.emplace<proto::FileMetaHFS>();
    hfs.mode.emplace();
    hfs.atime.emplace();
    hfs.mtime.emplace();
    hfs.ctime.emplace();
    hfs.btime.emplace();
    if (fill)
        fill(hfs);
    return record;
}

// `record` named, sized and marked a directory or not.
inline proto::FileMetaData named(proto::FileMetaData record, const std::string& name, std::uint64_t size,
                                 bool directory = false)
{
    record.name = name;
    record.size = size;
    record.directory = directory;
    return record;
}

inline proto::FileMetaData ntfsRecord(const std::string& name, std::uint64_t size, bool directory = false)
{
    return named(ntfsMeta(), name, size, directory);
}

// A UNIX record whose owner may write, unless `readOnly`.
inline proto::FileMetaData unixRecord(const std::string& name, std::uint64_t size, bool directory = false,
                                      bool readOnly = false)
{
    return named(unixMeta([&](proto::FileMetaUNIX& m) { m.mode->ownerWrite = !readOnly; }), name, size, directory);
}

} // namespace restore_test
