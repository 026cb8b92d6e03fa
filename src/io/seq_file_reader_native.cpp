// POSIX files for the native build; failures leave errno, which error::lastErrorText maps.
#include "io/seq_file_reader_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

class PosixFile : public SeqFileReader::File {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    bool read(void* into, std::size_t count, std::size_t& got) override
    {
        ssize_t n;
        do
            n = ::read(fd_, into, count);
        while (n < 0 && errno == EINTR);
        if (n < 0)
            return false;
        got = static_cast<std::size_t>(n);
        return true;
    }

    bool seek(std::uint64_t offset, std::uint64_t& position) override
    {
        off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
        if (at < 0)
            return false;
        position = static_cast<std::uint64_t>(at);
        return true;
    }

private:
    int fd_;
};

} // namespace

std::unique_ptr<SeqFileReader::File> SeqFileReader::File::open(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixFile>(fd);
}
