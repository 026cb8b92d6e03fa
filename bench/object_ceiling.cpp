// object-ceiling: the ceiling of a restore of many small objects. It creates the files of the
// small-object benchmark (object_layout.h) below a directory with the calls the worker makes
// for each object and nothing else: each directory created once; for each file a work file
// created beside its target, given its length, written, given its times, closed, given its
// attributes and its owner (the job's records name one, as the worker's do) and moved over
// the target. No protocol, no job, no log.
//
//   object-ceiling DIR --files N      prints "object-ceiling: objects=O seconds=S"
#include "object_layout.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// As the worker opens its work files (without ACCESS_SYSTEM_SECURITY, which needs a privilege).
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | WRITE_OWNER | WRITE_DAC | READ_CONTROL;
constexpr DWORD kFlags = FILE_FLAG_RANDOM_ACCESS | FILE_ATTRIBUTE_NORMAL;

[[noreturn]] void fail(const char* what, const std::wstring& path)
{
    std::fprintf(stderr, "object-ceiling: %s %ls (error %lu)\n", what, path.c_str(), GetLastError());
    std::exit(1);
}

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end()); // the layout's names are ASCII
}

FILETIME stamp()
{
    const unsigned long long ticks = (objectbench::kStamp + 11644473600ull) * 10000000ull;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

void setPosition(HANDLE file, LONGLONG offset, const std::wstring& path)
{
    LONG high = static_cast<LONG>(offset >> 32);
    SetLastError(0);
    if (SetFilePointer(file, static_cast<LONG>(offset), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != 0)
        fail("cannot position", path);
}

// The owner the records name, set as the worker sets it: the name looked up for each object,
// then the work file's owner alone.
void setOwner(const std::wstring& path)
{
    const std::wstring owner = wide(objectbench::kOwner);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (!LookupAccountNameW(nullptr, owner.c_str(), sid, &sidSize, domain, &domainSize, &use))
        fail("cannot look up the owner of", path);
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, sid, FALSE) ||
        !SetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, &descriptor))
        fail("cannot set the owner of", path);
}

void restoreFile(const std::wstring& directory, std::size_t file)
{
    const std::wstring target = directory + L"\\" + wide(objectbench::fileName(file));
    const std::wstring work = directory + L"\\HRDelayed." + std::to_wstring(file);
    const std::string data = objectbench::contents(file);
    HANDLE handle = CreateFileW(work.c_str(), kAccess, 0, nullptr, OPEN_ALWAYS, kFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        fail("cannot create", work);
    setPosition(handle, static_cast<LONGLONG>(data.size()), work);
    if (!SetEndOfFile(handle))
        fail("cannot size", work);
    setPosition(handle, 0, work);
    DWORD written = 0;
    if (!WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) || written != data.size())
        fail("cannot write", work);
    const FILETIME time = stamp();
    if (!SetFileTime(handle, &time, &time, &time))
        fail("cannot set the times of", work);
    CloseHandle(handle);
    if (!SetFileAttributesW(work.c_str(), FILE_ATTRIBUTE_ARCHIVE))
        fail("cannot set the attributes of", work);
    setOwner(work);
    if (!MoveFileExW(work.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        fail("cannot move", work);
}

} // namespace

int main(int argc, char** argv)
{
    char* end = nullptr;
    const std::size_t files = argc == 4 && std::strcmp(argv[2], "--files") == 0 ? std::strtoull(argv[3], &end, 10) : 0;
    if (files == 0 || *end != '\0') {
        std::fputs("usage: object-ceiling DIR --files N\n", stderr);
        return 2;
    }
    const std::wstring root = wide(argv[1]);
    CreateDirectoryW(root.c_str(), nullptr);
    const auto start = std::chrono::steady_clock::now();
    std::wstring directory;
    for (std::size_t file = 0; file < files; ++file) {
        if (file % objectbench::kFilesPerDirectory == 0) {
            directory = root + L"\\" + wide(objectbench::directoryName(file));
            if (!CreateDirectoryW(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                fail("cannot create directory", directory);
        }
        restoreFile(directory, file);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("object-ceiling: objects=%zu seconds=%.3f\n", objectbench::objectsFor(files), seconds);
    return 0;
}
