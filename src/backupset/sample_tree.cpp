#include "backupset/sample_tree.h"

#include "backupset/path_text.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace backupset {
namespace {

constexpr std::size_t kMiB = 1048576;

void setModified(const fs::path& path, std::int64_t seconds)
{
#ifdef _WIN32
    // The runtime cannot set a directory's times on Windows: it opens without backup
    // semantics.
    HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw fs::filesystem_error("cannot open to set its time", path, std::make_error_code(std::errc::io_error));
    const std::uint64_t ticks = static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL;
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const BOOL set = SetFileTime(handle, nullptr, nullptr, &time);
    CloseHandle(handle);
    if (!set)
        throw fs::filesystem_error("cannot set file time", path, std::make_error_code(std::errc::io_error));
#else
    auto when = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
#endif
}

// Only the engine's raw output is used: its sequence is fixed by the standard, unlike the
// distributions', so a seed gives the same tree with every library.
class Bytes {
public:
    explicit Bytes(std::uint64_t seed) : engine_(seed) {}

    std::string random(std::size_t count)
    {
        std::string out;
        out.reserve(count + 8);
        while (out.size() < count) {
            std::uint64_t word = engine_();
            for (int i = 0; i < 8; ++i)
                out.push_back(static_cast<char>((word >> (8 * i)) & 0xff));
        }
        out.resize(count);
        return out;
    }

    std::string text(std::size_t count)
    {
        static const char* const kWords[] = {"restore", "chunk", "backup", "volume", "data",  "key",
                                             "archive", "the",   "of",     "a",      "files", "set"};
        std::string out;
        while (out.size() < count) {
            std::uint64_t word = engine_();
            out += kWords[word % 12];
            out += (word >> 32) % 9 == 0 ? "\n" : " ";
        }
        out.resize(count);
        return out;
    }

    std::uint64_t next() { return engine_(); }

private:
    std::mt19937_64 engine_;
};

} // namespace

std::vector<SampleEntry> sampleTree(std::uint64_t seed)
{
    using Kind = SampleEntry::Kind;
    Bytes bytes(seed);
    // Modification times a day apart from a seed-chosen start in 2017 to 2020.
    std::int64_t time = 1500000000 + static_cast<std::int64_t>(bytes.next() % 100000000);
    std::vector<SampleEntry> tree;
    auto directory = [&](const std::string& path) {
        tree.push_back({Kind::Directory, path, "", "", false, time += 86400, false});
    };
    auto file = [&](const std::string& path, std::string content, bool windowsCannotHold = false) {
        tree.push_back({Kind::File, path, std::move(content), "", false, time += 86400, windowsCannotHold});
    };

    directory("docs");
    file("docs/readme.txt", bytes.text(4000 + bytes.next() % 1000));
    directory("docs/nested");
    directory("docs/nested/deeper");
    file("docs/nested/deeper/empty.dat", "");
    file("docs/nested/deeper/notes.txt", bytes.text(70000));
    directory("empty-directory");
    file("empty.txt", "");
    file("large.bin", bytes.text(kMiB) + bytes.random(2 * kMiB + 12345));
    file("one-mib.bin", bytes.random(kMiB));
    file("readonly.txt", bytes.text(1234));
    tree.back().readOnly = true;
    tree.push_back({Kind::Link, "readme-link", "", "docs/readme.txt", false, 0, false});
    directory("windows-names");
    file("windows-names/a:b.txt", bytes.text(100), true);
    file("windows-names/aux.txt", bytes.text(100), true);
    file("windows-names/café.txt", bytes.text(300));
    file("windows-names/con", bytes.random(64), true);
    file("windows-names/pipe|name", bytes.text(10), true);
    file("windows-names/star*.txt", bytes.text(10), true);
    file("windows-names/trailing blank ", bytes.text(20), true);
    file("windows-names/trailing dot.", bytes.text(20), true);
    file("windows-names/what?.txt", bytes.text(10), true);
    directory("windows-names/日本");
    file("windows-names/日本/メモ.txt", bytes.text(500));
    return tree;
}

namespace {

// Clears the way for a new entry at `path`: what an earlier tree left there goes, unless it is
// the directory the entry is to be.
void clearPlaceFor(const SampleEntry& entry, const fs::path& path)
{
    const fs::file_status status = fs::symlink_status(path);
    if (!fs::exists(status))
        return;
    if (fs::is_directory(status)) {
        if (entry.kind != SampleEntry::Kind::Directory)
            fs::remove_all(path);
        return;
    }
    // Windows refuses to delete a read-only file.
    if (!fs::is_symlink(status))
        fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    fs::remove(path);
}

} // namespace

void writeSampleTree(const std::string& directory, std::uint64_t seed)
{
    fs::path top = toPath(directory);
    fs::create_directories(top);
    std::vector<SampleEntry> tree = sampleTree(seed);
    for (const SampleEntry& entry : tree) {
#ifdef _WIN32
        if (entry.windowsCannotHold || entry.kind == SampleEntry::Kind::Link)
            continue;
#endif
        fs::path path = top / toPath(entry.path);
        clearPlaceFor(entry, path);
        switch (entry.kind) {
        case SampleEntry::Kind::Directory: fs::create_directory(path); break;
        case SampleEntry::Kind::File: {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(entry.content.data(), static_cast<std::streamsize>(entry.content.size()));
            out.close();
            if (!out)
                throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
            setModified(path, entry.modified);
            if (entry.readOnly)
                fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                fs::perm_options::remove);
            break;
        }
        case SampleEntry::Kind::Link: fs::create_symlink(toPath(entry.linkTarget), path); break;
        }
    }
    // Directories last, deepest first, since creating their contents changed their times.
    for (auto it = tree.rbegin(); it != tree.rend(); ++it)
        if (it->kind == SampleEntry::Kind::Directory)
            setModified(top / toPath(it->path), it->modified);
}

} // namespace backupset
