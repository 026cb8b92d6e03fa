// The file-system helpers on Windows. Every call goes through sys::calls.
#include "io/fs.h"

#include "common/error.h"
#include "common/text.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <cctype>

int windowsVersionCategory()
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!sys::calls.GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
        return 9;
    SYSTEM_INFO system{};
    sys::calls.GetSystemInfo(&system);
    return versionCategory(version.dwMajorVersion, version.dwMinorVersion,
                           system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64);
}

void deleteFile(const std::string& path)
{
    if (sys::calls.DeleteFileW(longPathW(path).c_str()))
        return;
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND)
        return;
    error::throwSystemError(code, "Attempt to delete file '" + path + "' failed.");
}

bool fileExists(const std::string& path)
{
    if (sys::calls.GetFileAttributesW(longPathW(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    DWORD code = GetLastError();
    // Anything but "not found" (access denied, sharing) means something is there.
    return code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND;
}

void renameFile(const std::string& from, const std::string& to)
{
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (sys::calls.MoveFileExW(longPathW(from).c_str(), longPathW(to).c_str(), flags))
        return;
    error::throwSystemError(GetLastError(), "Cannot rename file '" + from + "' into '" + to);
}

void createDirectory(const std::string& path)
{
    if (sys::calls.CreateDirectoryW(longPathW(path).c_str(), nullptr))
        return;
    error::throwSystemError(GetLastError(), "Cannot create directory \"" + path + "\"");
}

std::string absolutePath(const std::string& path)
{
    const DWORD capacity = 260;
    wchar_t buffer[capacity];
    DWORD length = sys::calls.GetFullPathNameW(longPathW(path).c_str(), capacity, buffer, nullptr);
    std::string context = "failed to obtain absolute pathname for '" + path + "'.";
    if (length == 0)
        error::throwSystemError(GetLastError(), context);
    // A longer result is not in the buffer; the call then returns the size it needs.
    if (length >= capacity)
        error::throwSystemError(ERROR_FILENAME_EXCED_RANGE, context);
    return toUtf8(std::wstring(buffer, length));
}

std::string real_path_name(const std::string& path)
{
    if (path.size() < 3)
        error::throwSystemErrorText("'" + path + "' is not an absolute path.");
    std::string result(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))));
    result += ':';
    std::vector<std::string> components = split(path, '\\', false);
    for (std::size_t i = 1; i < components.size(); ++i) {
        WIN32_FIND_DATAW entry;
        HANDLE found = sys::calls.FindFirstFileW(longPathW(result + "\\" + components[i]).c_str(), &entry);
        if (found == INVALID_HANDLE_VALUE)
            error::throwSystemError(GetLastError(), "Couldn't get real_path_name from: '" + path + "'");
        sys::UniqueFind search(found);
        result += "\\" + toUtf8(entry.cFileName);
    }
    return result;
}
