#pragma once
// A minidump file read back with dbghelp's own reader: the exception that it records.
#include <windows.h>

#include <dbghelp.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace minidump_test {

struct RecordedException {
    ULONG32 threadId = 0;
    ULONG32 code = 0;
    ULONG32 flags = 0;
};

inline std::string fileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The exception stream of the dump in `bytes`; none when it is not a minidump or has no
// such stream.
inline std::optional<RecordedException> exceptionOf(std::string bytes)
{
    if (bytes.compare(0, 4, "MDMP") != 0)
        return std::nullopt;
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    if (!MiniDumpReadDumpStream(bytes.data(), ExceptionStream, &directory, &stream, &size) || stream == nullptr ||
        size < sizeof(MINIDUMP_EXCEPTION_STREAM))
        return std::nullopt;
    const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
    return RecordedException{exception->ThreadId, exception->ExceptionRecord.ExceptionCode,
                             exception->ExceptionRecord.ExceptionFlags};
}

} // namespace minidump_test
