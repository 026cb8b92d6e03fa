#include "common/text.h"
#include "io/seq_file_reader_file.h"
#include "sys/handle.h"

namespace {

class WindowsFile : public SeqFileReader::File {
public:
    explicit WindowsFile(HANDLE h) : handle_(h) {}

    bool read(void* into, std::size_t count, std::size_t& got) override
    {
        DWORD n = 0;
        if (!sys::calls.ReadFile(handle_.get(), into, static_cast<DWORD>(count), &n, nullptr))
            return false;
        got = n;
        return true;
    }

    bool seek(std::uint64_t offset, std::uint64_t& position) override
    {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        LARGE_INTEGER now{};
        if (!sys::calls.SetFilePointerEx(handle_.get(), to, &now, FILE_BEGIN))
            return false;
        position = static_cast<std::uint64_t>(now.QuadPart);
        return true;
    }

private:
    sys::UniqueHandle handle_;
};

} // namespace

std::unique_ptr<SeqFileReader::File> SeqFileReader::File::open(const std::string& path)
{
    std::wstring wide = toWide(path);
    HANDLE h = sys::calls.CreateFileW(wide.c_str(), FILE_READ_DATA, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<WindowsFile>(h);
}
