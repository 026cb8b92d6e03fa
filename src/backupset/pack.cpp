#include "backupset/pack.h"

#include "backupset/chunk_store.h"
#include "backupset/path_text.h"
#include "bignum/base36.h"
#include "bignum/bignum.h"
#include "common/format.h"
#include "crypto/aes.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace backupset {
namespace {

struct Stamp {
    std::int64_t seconds = 0;
    std::int32_t nanoseconds = 0;
};

// What the records need to know of one source object.
struct SourceInfo {
    fs::file_type type = fs::file_type::none;
    fs::perms permissions = fs::perms::none;
    std::string owner;
    std::string group;
    Stamp accessed, modified, changed;
    std::string linkTarget;
};

#ifndef _WIN32
std::string userName(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

Stamp stampOf(const timespec& t)
{
    return Stamp{static_cast<std::int64_t>(t.tv_sec), static_cast<std::int32_t>(t.tv_nsec)};
}
#endif

SourceInfo inspect(const fs::path& path)
{
    SourceInfo info;
    fs::file_status status = fs::symlink_status(path);
    info.type = status.type();
    info.permissions = status.permissions();
    if (info.type == fs::file_type::symlink)
        info.linkTarget = toText(fs::read_symlink(path));
#ifndef _WIN32
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        throw ChunkStoreError("Cannot read the status of " + toText(path));
    info.owner = userName(st.st_uid);
    info.group = groupName(st.st_gid);
    info.accessed = stampOf(st.st_atim);
    info.modified = stampOf(st.st_mtim);
    // Linux keeps no creation time that lstat reports; the status change time stands in.
    info.changed = stampOf(st.st_ctim);
#else
    info.owner = kNtfsOwner;
    if (info.type != fs::file_type::symlink) {
        auto since = std::chrono::file_clock::to_sys(fs::last_write_time(path)).time_since_epoch();
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
        std::int64_t seconds = ns / 1000000000;
        std::int32_t rest = static_cast<std::int32_t>(ns % 1000000000);
        if (rest < 0) {
            rest += 1000000000;
            --seconds;
        }
        info.modified = Stamp{seconds, rest};
    }
    info.accessed = info.modified;
    info.changed = info.modified;
#endif
    return info;
}

bool has(fs::perms set, fs::perms bit)
{
    return (set & bit) != fs::perms::none;
}

proto::FileAccessMode* accessMode(fs::perms p)
{
    auto* mode = new proto::FileAccessMode;
    mode->ownerRead = has(p, fs::perms::owner_read);
    mode->ownerWrite = has(p, fs::perms::owner_write);
    mode->ownerExecute = has(p, fs::perms::owner_exec);
    mode->groupRead = has(p, fs::perms::group_read);
    mode->groupWrite = has(p, fs::perms::group_write);
    mode->groupExecute = has(p, fs::perms::group_exec);
    mode->otherRead = has(p, fs::perms::others_read);
    mode->otherWrite = has(p, fs::perms::others_write);
    mode->otherExecute = has(p, fs::perms::others_exec);
    mode->setUserId = has(p, fs::perms::set_uid);
    mode->setGroupId = has(p, fs::perms::set_gid);
    mode->sticky = has(p, fs::perms::sticky_bit);
    return mode;
}

// NTFS keeps whole seconds in 32 bits; earlier or later times are clamped.
std::uint32_t ntfsSeconds(const Stamp& stamp)
{
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(stamp.seconds, 0, UINT32_MAX));
}

proto::Timespec* timespecOf(const Stamp& stamp)
{
    auto* t = new proto::Timespec;
    t->seconds = stamp.seconds;
    t->nanoseconds = stamp.nanoseconds;
    return t;
}

void fillMeta(proto::FileMetaData& record, const SourceInfo& info, const PackOptions& options)
{
    bool isLink = info.type == fs::file_type::symlink;
    switch (options.meta) {
    case MetaStyle::Ntfs:
    case MetaStyle::NtfsWithSddl: {
        auto& ntfs = record.osmeta.emplace<proto::FileMetaNTFS>();
        ntfs.owner = kNtfsOwner;
        ntfs.creationTime = ntfsSeconds(info.changed);
        ntfs.lastWriteTime = ntfsSeconds(info.modified);
        ntfs.lastAccessTime = ntfsSeconds(info.accessed);
        ntfs.archive = info.type == fs::file_type::regular;
        ntfs.readOnly = !has(info.permissions, fs::perms::owner_write);
        if (options.meta == MetaStyle::NtfsWithSddl) {
            ntfs.sddl = options.sddl;
            ntfs.hasSddl = true;
        }
        return;
    }
    case MetaStyle::Unix: {
        auto& posix = record.osmeta.emplace<proto::FileMetaUNIX>();
        posix.owner = info.owner;
        posix.group = info.group;
        posix.mode.reset(accessMode(info.permissions));
        posix.lastAccessTime = info.accessed.seconds;
        posix.lastWriteTime = info.modified.seconds;
        posix.creationTime = info.changed.seconds;
        posix.linkTarget = info.linkTarget;
        posix.hasLinkTarget = isLink;
        return;
    }
    case MetaStyle::Hfs: {
        auto& hfs = record.osmeta.emplace<proto::FileMetaHFS>();
        hfs.owner = info.owner;
        hfs.group = info.group;
        hfs.mode.reset(accessMode(info.permissions));
        hfs.atime.reset(timespecOf(info.accessed));
        hfs.mtime.reset(timespecOf(info.modified));
        hfs.ctime.reset(timespecOf(info.changed));
        hfs.btime.reset(timespecOf(info.changed));
        hfs.linkTarget = info.linkTarget;
        hfs.hasLinkTarget = isLink;
        return;
    }
    }
}

// The source's objects below `directory`, parents before children, siblings sorted by
// the bytes of their names.
void collect(const fs::path& directory, std::vector<fs::path>& out)
{
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().u8string() < b.filename().u8string(); });
    for (const fs::path& entry : entries) {
        out.push_back(entry);
        if (fs::symlink_status(entry).type() == fs::file_type::directory)
            collect(entry, out);
    }
}

std::string storedName(const std::string& root, const fs::path& relative, bool windows)
{
    std::string below = genericText(relative);
    char separator = windows ? '\\' : '/';
    if (windows)
        std::replace(below.begin(), below.end(), '/', '\\');
    if (!root.empty() && root.back() == separator)
        return root + below;
    return root + separator + below;
}

// Writes the chunks of a regular file and returns its size.
std::uint64_t packFile(const fs::path& source, const std::string& chunkPath, ChunkForm form, const AesKey& key)
{
    std::uint64_t size = fs::file_size(source);
    std::uint32_t count = chunkCountFor(size);
    std::ifstream in(source, std::ios::binary);
    if (!in)
        throw ChunkStoreError("Cannot open " + toText(source));
    ChunkFileWriter writer(chunkPath, count);
    if (size == 0) {
        writer.add("");
    } else {
        std::string plain;
        for (std::uint32_t i = 0; i < count; ++i) {
            std::uint64_t length = std::min<std::uint64_t>(kChunkSize, size - std::uint64_t{i} * kChunkSize);
            plain.resize(length);
            if (!in.read(plain.data(), static_cast<std::streamsize>(length)))
                throw ChunkStoreError("File changed while packing: " + toText(source));
            writer.add(encodeChunk(plain, form, key));
        }
    }
    if (in.peek() != std::ifstream::traits_type::eof())
        throw ChunkStoreError("File changed while packing: " + toText(source));
    writer.finish();
    return size;
}

void writeText(const std::string& path, const std::string& bytes)
{
    std::ofstream out(toPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw ChunkStoreError("Cannot write " + path);
}

} // namespace

ChunkForm formForObject(FormChoice choice, std::size_t position)
{
    switch (choice) {
    case FormChoice::Cleartext: return ChunkForm::Cleartext;
    case FormChoice::Encrypted: return ChunkForm::Encrypted;
    case FormChoice::EncryptedCompressed: return ChunkForm::EncryptedCompressed;
    case FormChoice::Mixed: break;
    }
    static constexpr ChunkForm kRotation[] = {ChunkForm::Cleartext, ChunkForm::Encrypted,
                                              ChunkForm::EncryptedCompressed};
    return kRotation[position % 3];
}

std::uint32_t chunkCountFor(std::uint64_t size)
{
    if (size == 0)
        return 1;
    std::uint64_t count = (size - 1) / kChunkSize + 1;
    if (count > UINT32_MAX)
        throw ChunkStoreError("File too large for 32-bit chunk indexes");
    return static_cast<std::uint32_t>(count);
}

std::string keyFromHex(const std::string& hex)
{
    if (hex.size() != 64)
        throw ArgumentError("A key is 64 hexadecimal digits (32 bytes), not " + std::to_string(hex.size()) +
                            " characters");
    std::string key;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int high = hexDigitValue(hex[i]);
        int low = hexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0)
            throw ArgumentError("Not a hexadecimal key: " + hex);
        key.push_back(static_cast<char>(high * 16 + low));
    }
    return key;
}

std::string randomKey()
{
    std::random_device source;
    std::string key;
    while (key.size() < 32) {
        std::uint32_t word = source();
        for (int i = 0; i < 4; ++i)
            key.push_back(static_cast<char>((word >> (8 * i)) & 0xff));
    }
    return key;
}

std::string configText(const std::string& key)
{
    return "# Data key of this backup set, written by backup-set\nDataKey=\"" + formatBase36(key) + "\"\n";
}

bool isFullWindowsPath(const std::string& path)
{
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (path.size() >= 3 && letter(path[0]) && path[1] == ':' && path[2] == '\\')
        return true;
    // \\server\share: two names after the two backslashes.
    if (path.size() < 5 || path.compare(0, 2, "\\\\") != 0)
        return false;
    const std::size_t share = path.find('\\', 2);
    return share != std::string::npos && share > 2 && share + 1 < path.size() && path[share + 1] != '\\';
}

bool windowsCanHold(const std::string& name)
{
    if (name.empty() || name.back() == '.' || name.back() == ' ')
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
            return false;
    return true;
}

PackResult pack(const std::string& sourceDirectory, const std::string& setDirectory, const PackOptions& options)
{
    if (options.key.size() != 32)
        throw ChunkStoreError("The data key must be 32 bytes");
    if (!options.restoreRoot.empty() && !isFullWindowsPath(options.restoreRoot))
        throw ArgumentError("The restore root must be a full Windows path such as C:\\restore or "
                            "\\\\server\\share\\restore, not " +
                            options.restoreRoot);
    requireDirectory(sourceDirectory, "source");
    fs::path source = toPath(sourceDirectory);
    fs::path set = toPath(setDirectory);
    if (fs::exists(set) && !fs::is_empty(set)) {
        if (!fs::exists(set / kJobFile))
            throw ArgumentError("The set directory " + setDirectory + " holds other things than a backup set");
        // An earlier set: replaced as a whole, so that none of its chunks outlive it.
        for (const fs::directory_entry& entry : fs::directory_iterator(set))
            fs::remove_all(entry.path());
    }
    fs::create_directories(set / kChunkDirectory);

    bool windows = options.meta == MetaStyle::Ntfs || options.meta == MetaStyle::NtfsWithSddl;
    std::string root = options.storedRoot;
    if (root.empty())
        root = windows ? std::string(kDefaultWindowsSource) : genericText(fs::absolute(source).lexically_normal());
    if (!windows && root.size() > 1 && root.back() == '/')
        root.pop_back();

    AesKey key{2, BigNum::fromBytesLE(options.key)};
    proto::ClientRestoreJob job;
    job.jobNumber = options.jobNumber;
    job.restoreRoot = options.restoreRoot;
    job.hasFiles = true;
    PackResult result;

    std::vector<fs::path> objects;
    collect(source, objects);
    for (const fs::path& path : objects) {
        SourceInfo info = inspect(path);
        bool isLink = info.type == fs::file_type::symlink;
        bool isDirectory = info.type == fs::file_type::directory;
        bool unholdable = false;
        if (windows)
            for (const fs::path& component : path.lexically_relative(source))
                unholdable |= !windowsCanHold(toText(component));
        if (unholdable || (isLink && windows) || (!isLink && !isDirectory && info.type != fs::file_type::regular)) {
            result.skipped.push_back(toText(path));
            continue;
        }
        std::size_t position = job.files.size();
        auto& record = *job.files.emplace_back(new proto::FileMetaData);
        record.name = storedName(root, path.lexically_relative(source), windows);
        record.directory = isDirectory;
        fillMeta(record, info, options);

        std::string chunkPath = chunkFilePath(setDirectory, position);
        if (isDirectory || isLink) {
            ChunkFileWriter writer(chunkPath, 1);
            writer.add("");
            writer.finish();
        } else {
            record.size = packFile(path, chunkPath, formForObject(options.form, position), key);
            result.bytes += record.size;
        }
    }
    result.objects = job.files.size();
    writeText(setDirectory + "/" + kJobFile, encodeJob(job));
    writeText(setDirectory + "/" + kConfigFile, configText(options.key));
    return result;
}

} // namespace backupset
