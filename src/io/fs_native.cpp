// The file-system helpers for the native build: POSIX and std::filesystem, with failures
// reported under the Windows error codes (error::lastErrorCode) and the same texts.
#include "io/fs.h"

#include "common/error.h"
#include "common/text.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const unsigned long fileNotFound = 2;
const unsigned long pathNotFound = 3;
const unsigned long accessDenied = 5;

// The Windows code of the errno that a failed call left.
unsigned long failureCode()
{
    // Windows refuses to delete or open a directory as a file with "access denied".
    if (errno == EISDIR)
        return accessDenied;
    return error::lastErrorCode();
}

unsigned long failureCode(const std::error_code& ec)
{
    errno = ec.value();
    return failureCode();
}

// ENOENT stands for both "file not found" and "path not found" of Windows; the latter when
// the directory that should hold `path` is missing.
unsigned long missingCode(const std::string& path)
{
    fs::path parent = fs::path(path).parent_path();
    std::error_code ec;
    if (parent.empty() || fs::is_directory(parent, ec))
        return fileNotFound;
    return pathNotFound;
}

// The Windows code for a failed call on `path`.
unsigned long failureCode(const std::string& path)
{
    if (errno == ENOENT)
        return missingCode(path);
    return failureCode();
}

} // namespace

int windowsVersionCategory()
{
    // The native build stands in for the usual target, Windows 7 64-bit.
    return versionCategory(6, 1, true);
}

void deleteFile(const std::string& path)
{
    if (::unlink(path.c_str()) == 0)
        return;
    unsigned long code = failureCode(path);
    if (code == fileNotFound)
        return;
    error::throwSystemError(code, "Attempt to delete file '" + path + "' failed.");
}

bool fileExists(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) == 0)
        return true;
    unsigned long code = failureCode(path);
    return code != fileNotFound && code != pathNotFound;
}

void renameFile(const std::string& from, const std::string& to)
{
    std::string context = "Cannot rename file '" + from + "' into '" + to;
    if (::rename(from.c_str(), to.c_str()) == 0)
        return;
    if (errno == ENOENT) {
        struct stat info;
        bool sourceThere = ::lstat(from.c_str(), &info) == 0;
        error::throwSystemError(sourceThere ? missingCode(to) : missingCode(from), context);
    }
    if (errno != EXDEV)
        error::throwSystemError(failureCode(), context);
    // Another file system: copy, then delete the source, as a move with copying allowed does.
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec)
        error::throwSystemError(failureCode(ec), context);
    if (::unlink(from.c_str()) != 0)
        error::throwSystemError(failureCode(), context);
}

void createDirectory(const std::string& path)
{
    if (::mkdir(path.c_str(), 0777) == 0)
        return;
    error::throwSystemError(failureCode(path), "Cannot create directory \"" + path + "\"");
}

std::string absolutePath(const std::string& path)
{
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    if (ec)
        error::throwSystemError(failureCode(ec), "failed to obtain absolute pathname for '" + path + "'.");
    std::string text = full.lexically_normal().string();
    // "x/.." and "x/." name a directory without the separator that normalising leaves.
    if (text.size() > 1 && text.back() == '/' && !path.empty() && path.back() != '/')
        text.pop_back();
    return text;
}

std::string real_path_name(const std::string& path)
{
    if (path.size() < 3 || path[0] != '/')
        error::throwSystemErrorText("'" + path + "' is not an absolute path.");
    std::string context = "Couldn't get real_path_name from: '" + path + "'";
    std::string result;
    for (const std::string& component : split(path, '/', false)) {
        std::error_code ec;
        fs::directory_iterator entries(result.empty() ? "/" : result, ec);
        if (ec)
            error::throwSystemError(failureCode(ec), context);
        // The exact spelling wins; otherwise the first entry that differs only in case.
        std::string match;
        for (; entries != fs::directory_iterator(); entries.increment(ec)) {
            std::string name = entries->path().filename().string();
            if (name == component) {
                match = name;
                break;
            }
            if (match.empty() && toUpper(name) == toUpper(component))
                match = name;
        }
        if (ec)
            error::throwSystemError(failureCode(ec), context);
        if (match.empty())
            error::throwSystemError(fileNotFound, context);
        result += "/" + match;
    }
    return result;
}
