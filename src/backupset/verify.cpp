#include "backupset/verify.h"

#include "backupset/chunk_store.h"
#include "backupset/path_text.h"
#include "restore/file_meta.h"
#include "restore/paths.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace backupset {
namespace {

using Aspect = Difference::Aspect;

constexpr std::int64_t kSecond = 1000000000; // in nanoseconds
constexpr std::int64_t kMicrosecond = 1000;

enum class Kind { None, File, Directory, Link, Other };

const char* nameOf(Kind kind)
{
    switch (kind) {
    case Kind::None: return "nothing";
    case Kind::File: return "a file";
    case Kind::Directory: return "a directory";
    case Kind::Link: return "a symbolic link";
    case Kind::Other: break;
    }
    return "a special file";
}

Kind kindAt(const fs::path& path)
{
    std::error_code ec;
    fs::file_status status = fs::symlink_status(path, ec);
    switch (status.type()) {
    case fs::file_type::not_found:
    case fs::file_type::none: return Kind::None;
    case fs::file_type::regular: return Kind::File;
    case fs::file_type::directory: return Kind::Directory;
    case fs::file_type::symlink: return Kind::Link;
    default: return Kind::Other;
    }
}

Kind kindOf(const FileMetaVariant& meta)
{
    if (meta.isDirectory())
        return Kind::Directory;
    return meta.isSymlink() ? Kind::Link : Kind::File;
}

// Nanoseconds since 1970, rounded down to a multiple of `precision`.
std::int64_t modifiedAt(const fs::path& path, std::int64_t precision)
{
#ifdef _WIN32
    // The library's time has whole seconds on Windows; the file system keeps 100 ns.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        throw ChunkStoreError("Cannot read the times of " + toText(path));
    const FILETIME& written = data.ftLastWriteTime;
    std::uint64_t units = (std::uint64_t{written.dwHighDateTime} << 32) | written.dwLowDateTime;
    std::int64_t ns = (static_cast<std::int64_t>(units) - 116444736000000000LL) * 100;
#else
    auto since = std::chrono::file_clock::to_sys(fs::last_write_time(path)).time_since_epoch();
    std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
#endif
    std::int64_t rest = ns % precision;
    return rest < 0 ? ns - rest - precision : ns - rest;
}

std::string formatTime(std::int64_t ns, std::int64_t precision)
{
    using namespace std::chrono;
    std::int64_t seconds = ns / kSecond - (ns % kSecond < 0 ? 1 : 0);
    std::int64_t fraction = ns - seconds * kSecond;
    sys_seconds when{std::chrono::seconds(seconds)};
    sys_days day = floor<days>(when);
    year_month_day date(day);
    hh_mm_ss<std::chrono::seconds> clock(when - day);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long long>(clock.hours().count()), static_cast<long long>(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    std::string out = text;
    if (precision < kSecond) {
        char digits[16];
        std::snprintf(digits, sizeof digits, ".%09lld", static_cast<long long>(fraction));
        int kept = 0;
        for (std::int64_t p = precision; p < kSecond; p *= 10)
            ++kept;
        out += std::string(digits, 1 + kept);
    }
    return out + " UTC";
}

bool hasWriteBit(fs::perms permissions)
{
    return (permissions & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) !=
           fs::perms::none;
}

// The read-only attribute that the worker gives an object packed from `source`: an NTFS
// record carries the attribute, which pack takes from the owner's write permission; a
// UNIX or HFS object becomes read-only when no one may write it.
bool expectedReadOnly(const FileMetaVariant& meta, const fs::path& source)
{
    fs::perms permissions = fs::symlink_status(source).permissions();
    if (meta.ntfs())
        return (permissions & fs::perms::owner_write) == fs::perms::none;
    return !hasWriteBit(permissions);
}

// Under Wine a read-only file is one that no one may write; on Windows the library shows
// the attribute the same way.
bool restoredReadOnly(const fs::path& restored)
{
    return !hasWriteBit(fs::symlink_status(restored).permissions());
}

// The first byte at which the two files differ, or -1 when their bytes are the same.
std::int64_t firstDifference(const fs::path& a, const fs::path& b)
{
    std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
    if (!left || !right)
        throw ChunkStoreError("Cannot read " + toText(left ? b : a));
    std::vector<char> x(1 << 20), y(1 << 20);
    std::int64_t offset = 0;
    for (;;) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        std::size_t got = static_cast<std::size_t>(left.gcount());
        std::size_t other = static_cast<std::size_t>(right.gcount());
        std::size_t common = std::min(got, other);
        auto mismatch = std::mismatch(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(common), y.begin());
        if (mismatch.first != x.begin() + static_cast<std::ptrdiff_t>(common))
            return offset + (mismatch.first - x.begin());
        if (got != other)
            return offset + static_cast<std::int64_t>(common);
        if (got == 0)
            return -1;
        offset += static_cast<std::int64_t>(got);
    }
}

std::string parentOf(const std::string& name, char separator)
{
    std::size_t at = name.find_last_of(separator);
    if (at == std::string::npos)
        return "";
    return at == 0 ? name.substr(0, 1) : name.substr(0, at);
}

// The stored root that pack put before every name: the parent of the records whose
// parents have no record of their own. They must all agree.
std::string storedRootOf(const std::vector<std::pair<std::string, char>>& names)
{
    std::set<std::string> all;
    for (const auto& [name, separator] : names)
        all.insert(name);
    std::set<std::string> roots;
    for (const auto& [name, separator] : names) {
        std::string parent = parentOf(name, separator);
        if (all.count(parent) == 0)
            roots.insert(parent);
    }
    if (roots.size() > 1)
        throw ChunkStoreError("The records of the job do not share one stored root (" + *roots.begin() + " and " +
                              *std::next(roots.begin()) + "); give it with --source-root");
    return roots.empty() ? std::string() : *roots.begin();
}

// `name` below `root`, '/'-separated.
std::string belowRoot(const std::string& name, const std::string& root, char separator)
{
    bool inside = name.size() > root.size() && name.compare(0, root.size(), root) == 0 &&
                  (root.empty() || root.back() == separator || name[root.size()] == separator);
    if (!inside)
        throw ChunkStoreError("The record " + name + " is not below the stored root " + root);
    std::string rest = name.substr(root.size());
    if (!rest.empty() && rest.front() == separator)
        rest.erase(0, 1);
    if (separator == '\\')
        std::replace(rest.begin(), rest.end(), '\\', '/');
    return rest;
}

// The worker's Windows path for the record, as a path below `restored`.
fs::path restoredPathOf(const FileMetaVariant& meta, const std::string& restoreRoot, const fs::path& restored)
{
    std::string windowsPath = mapPath(meta, restoreRoot);
    if (windowsPath.compare(0, restoreRoot.size(), restoreRoot) != 0)
        throw ChunkStoreError("The record " + meta.storedName() + " maps to " + windowsPath +
                              ", outside the restore root " + restoreRoot);
    fs::path out = restored;
    std::size_t start = restoreRoot.size();
    while (start <= windowsPath.size()) {
        std::size_t end = windowsPath.find('\\', start);
        if (end == std::string::npos)
            end = windowsPath.size();
        if (end > start)
            out /= toPath(windowsPath.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

class Checker {
public:
    explicit Checker(VerifyResult& result) : result_(result) {}

    void differs(Aspect aspect, const std::string& object, const std::string& detail)
    {
        result_.differences.push_back({aspect, object, detail});
        if (aspect != Aspect::Extra && objectsSeen_.insert(object).second)
            ++result_.differing;
    }

    void check(const FileMetaVariant& meta, const std::string& object, const fs::path& source, const fs::path& restored)
    {
        Kind recorded = kindOf(meta);
        Kind inSource = kindAt(source);
        if (inSource != recorded) {
            differs(Aspect::Source, object,
                    std::string("the record is ") + nameOf(recorded) + " but the source holds " + nameOf(inSource) +
                        " (changed since it was packed?)");
            return;
        }
        Kind outcome = kindAt(restored);
        if (recorded == Kind::Link) {
            if (outcome != Kind::None)
                differs(Aspect::Kind, object,
                        std::string("a symbolic link, which a Windows restore leaves out, but the restored tree has ") +
                            nameOf(outcome) + " at " + toText(restored));
            else
                result_.notes.push_back(object + ": a symbolic link, left out by the restore as Windows restores do");
            return;
        }
        if (outcome == Kind::None) {
            differs(Aspect::Missing, object,
                    std::string("not restored: expected ") + nameOf(recorded) + " at " + toText(restored));
            return;
        }
        if (outcome != recorded) {
            differs(Aspect::Kind, object,
                    std::string("the source is ") + nameOf(recorded) + ", restored is " + nameOf(outcome) + " (" +
                        toText(restored) + ")");
            return;
        }
        if (recorded == Kind::File)
            compareBytes(object, source, restored);
        compareTimes(meta, object, source, restored);
        // Windows gives a directory's read-only attribute no meaning, and Wine does not
        // keep it; only files are compared.
        if (recorded == Kind::File) {
            bool expected = expectedReadOnly(meta, source);
            if (restoredReadOnly(restored) != expected)
                differs(Aspect::ReadOnly, object,
                        expected ? "read-only in the source, writable restored"
                                 : "writable in the source, read-only restored");
        }
    }

private:
    void compareBytes(const std::string& object, const fs::path& source, const fs::path& restored)
    {
        std::uintmax_t sourceSize = fs::file_size(source);
        std::uintmax_t restoredSize = fs::file_size(restored);
        std::int64_t at = firstDifference(source, restored);
        if (at < 0)
            return;
        std::string sizes =
            " (" + std::to_string(sourceSize) + " bytes in the source, " + std::to_string(restoredSize) + " restored)";
        if (static_cast<std::uintmax_t>(at) == std::min(sourceSize, restoredSize))
            differs(Aspect::Contents, object, "contents differ in size" + sizes);
        else
            differs(Aspect::Contents, object, "contents differ from byte " + std::to_string(at) + " on" + sizes);
    }

    void compareTimes(const FileMetaVariant& meta, const std::string& object, const fs::path& source,
                      const fs::path& restored)
    {
        // NTFS and UNIX records keep whole seconds; HFS records keep nanoseconds, of which
        // the worker sets microseconds.
        std::int64_t precision = meta.hfs() ? kMicrosecond : kSecond;
        std::int64_t expected = modifiedAt(source, precision);
        std::int64_t actual = modifiedAt(restored, precision);
        if (expected != actual)
            differs(Aspect::Modified, object,
                    "modified " + formatTime(expected, precision) + " in the source, " + formatTime(actual, precision) +
                        " restored");
    }

    VerifyResult& result_;
    std::set<std::string> objectsSeen_;
};

} // namespace

VerifyResult verify(const std::string& sourceDirectory, const std::string& setDirectory,
                    const std::string& restoredDirectory, const VerifyOptions& options)
{
    requireDirectory(sourceDirectory, "source");
    requireDirectory(restoredDirectory, "restored");
    fs::path source = toPath(sourceDirectory);
    fs::path restored = toPath(restoredDirectory);
    ChunkStore store = ChunkStore::open(setDirectory);
    const std::string& restoreRoot = store.job().restoreRoot;
    if (restoreRoot.empty())
        throw ChunkStoreError("The job has no restore root: its objects go back to where they came from, not below "
                              "one directory to compare");

    std::vector<FileMetaVariant> metas;
    std::vector<std::pair<std::string, char>> names;
    for (std::size_t i = 0; i < store.objectCount(); ++i) {
        metas.emplace_back(store.object(i));
        names.emplace_back(metas.back().storedName(), metas.back().ntfs() ? '\\' : '/');
    }
    std::string storedRoot = options.storedRoot.empty() ? storedRootOf(names) : options.storedRoot;

    VerifyResult result;
    result.objects = metas.size();
    Checker checker(result);
    std::set<std::string> packed;    // source paths that have a record
    std::set<fs::path> accountedFor; // restored paths that a record explains, with their parents
    for (std::size_t i = 0; i < metas.size(); ++i) {
        std::string object = belowRoot(names[i].first, storedRoot, names[i].second);
        packed.insert(object);
        fs::path restoredPath = restoredPathOf(metas[i], restoreRoot, restored);
        accountedFor.insert(restoredPath); // for a link, anything there is already its difference
        for (fs::path p = restoredPath.parent_path(); p != restored && p.has_relative_path(); p = p.parent_path())
            accountedFor.insert(p);
        checker.check(metas[i], object, source / toPath(object), restoredPath);
    }

    for (auto it = fs::recursive_directory_iterator(source); it != fs::recursive_directory_iterator(); ++it) {
        std::string object = genericText(it->path().lexically_relative(source));
        if (packed.count(object) == 0)
            result.notes.push_back(object + ": in the source but not in the backup set");
    }
    for (auto it = fs::recursive_directory_iterator(restored); it != fs::recursive_directory_iterator(); ++it) {
        if (accountedFor.count(it->path()) != 0)
            continue;
        checker.differs(Aspect::Extra, genericText(it->path().lexically_relative(restored)),
                        std::string("restored, but no record of the backup set goes there (") +
                            nameOf(kindAt(it->path())) + ")");
        it.disable_recursion_pending();
    }
    return result;
}

std::string describe(const Difference& difference)
{
    return difference.object + ": " + difference.detail;
}

std::string summary(const VerifyResult& result)
{
    std::string objects = std::to_string(result.objects) + (result.objects == 1 ? " object" : " objects");
    std::size_t extra =
        static_cast<std::size_t>(std::count_if(result.differences.begin(), result.differences.end(),
                                               [](const Difference& d) { return d.aspect == Aspect::Extra; }));
    if (result.matches())
        return "verify: " + objects + (result.objects == 1 ? " matches" : " match");
    std::string text = "verify: " + std::to_string(result.differing) + " of " + objects + " differ";
    if (extra > 0)
        text += ", and " + std::to_string(extra) + (extra == 1 ? " restored entry is" : " restored entries are") +
                " not in the backup set";
    return text;
}

} // namespace backupset
