#pragma once
// The layout of the small-object benchmark, shared by the backup set that the worker restores
// (make-object-set) and by the program that creates the same files directly (object-ceiling):
// tiny files, numbered from 0, in directories of kFilesPerDirectory, each directory's record
// before its files.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace objectbench {

constexpr std::size_t kFilesPerDirectory = 1000;
// The owner that every record names.
constexpr char kOwner[] = "Administrators";
// The files' time stamps, in seconds since 1970.
constexpr std::uint32_t kStamp = 1700000000;

// "d00042", the directory of file `file`.
inline std::string directoryName(std::size_t file)
{
    char name[32];
    std::snprintf(name, sizeof name, "d%05zu", file / kFilesPerDirectory);
    return name;
}

// "f0000123.txt".
inline std::string fileName(std::size_t file)
{
    char name[32];
    std::snprintf(name, sizeof name, "f%07zu.txt", file);
    return name;
}

// "object 123\n".
inline std::string contents(std::size_t file)
{
    return "object " + std::to_string(file) + "\n";
}

// The objects (directories and files) that hold the first `files` files.
inline std::size_t objectsFor(std::size_t files)
{
    return files + (files + kFilesPerDirectory - 1) / kFilesPerDirectory;
}

} // namespace objectbench
