#include "io/seq_file_reader.h"

#include "common/error.h"
#include "io/selector.h"
#include "io/temp_dir.h"

#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include "sys/syscalls.h"
#endif

namespace {

using support::expectThrows;

using testing_fs::TempDir;

std::string pattern(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
    return s;
}

std::string lent(io::ByteIStream& in)
{
    const unsigned char* data = nullptr;
    std::size_t n = in.read(&data);
    return std::string(reinterpret_cast<const char*>(data), n);
}

constexpr std::size_t MiB = 1048576;

TEST(SeqFileReader, LendsTheFileInPiecesOfOneMebibyte)
{
    struct Case {
        std::size_t size;
        std::vector<std::size_t> pieces;
    };
    const Case cases[] = {
        {0, {}}, {1, {1}}, {MiB, {MiB}}, {MiB + 1, {MiB, 1}}, {2 * MiB + MiB / 2, {MiB, MiB, MiB / 2}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir / ("f" + std::to_string(c.size));
        const std::string content = pattern(c.size);
        testing_fs::writeFile(path, content);
        SeqFileReader reader(path);
        std::string got;
        for (std::size_t piece : c.pieces) {
            std::string bytes = lent(reader);
            EXPECT_EQ(bytes.size(), piece) << c.size;
            got += bytes;
            reader.readCommit(bytes.size());
        }
        expectThrows<io::EEndOfStream>([&] { lent(reader); }, "EOS in SeqFileReader");
        EXPECT_TRUE(got == content) << c.size;
    }
}

TEST(SeqFileReader, PartlyConsumedBytesAreLentAgainWithoutReading)
{
    TempDir dir;
    const std::string content = pattern(100);
    testing_fs::writeFile(dir / "f", content);
    SeqFileReader reader(dir / "f");
    EXPECT_EQ(lent(reader), content);
    reader.readCommit(30);
    EXPECT_EQ(lent(reader), content.substr(30));
    reader.readCommit(0);
    reader.readCommit(70);
    EXPECT_THROW(lent(reader), io::EEndOfStream);
}

TEST(SeqFileReader, MissingFileCannotBeOpened)
{
    TempDir dir;
    const std::string path = dir / "missing.job";
    expectThrows<io::EFileNotFound>([&] { SeqFileReader reader(path); },
                                    "Unable to open file '" + path +
                                        "' for SeqFileReader: " + error::systemErrorText(2));
}

TEST(SeqFileReader, SeeksFromTheFileStartAndDropsTheBuffer)
{
    TempDir dir;
    const std::string content = pattern(5000);
    testing_fs::writeFile(dir / "f", content);
    SeqFileReader reader(dir / "f", 1234);
    EXPECT_EQ(lent(reader), content.substr(1234));
    reader.readCommit(10);
    reader.seek(5);
    EXPECT_EQ(lent(reader), content.substr(5));
    reader.seek(4999);
    EXPECT_EQ(lent(reader), content.substr(4999));
    reader.seek(6000); // past the end: nothing more to read
    EXPECT_THROW(lent(reader), io::EEndOfStream);
}

TEST(SeqFileReader, ReadIntoAppendsPastTheBuffer)
{
    TempDir dir;
    const std::string content = pattern(2 * MiB + 17);
    testing_fs::writeFile(dir / "f", content);
    SeqFileReader reader(dir / "f");
    std::string out = "prefix";
    reader.readInto(out);
    EXPECT_EQ(out.size(), 6 + MiB);
    reader.readInto(out);
    reader.readInto(out);
    EXPECT_EQ(out.size(), 6 + content.size());
    EXPECT_TRUE(out == "prefix" + content);
    expectThrows<io::EEndOfStream>([&] { reader.readInto(out); }, "EOS in SeqFileReader");
    EXPECT_EQ(out.size(), 6 + content.size());
}

TEST(SeqFileReader, IsAlwaysReady)
{
    TempDir dir;
    testing_fs::writeFile(dir / "f", "x");
    SeqFileReader reader(dir / "f");
    EXPECT_EQ(reader.name(), "SeqFileReader");
    io::Timer later(UsecTime::now() + UsecTime(3600, 0));
    io::Selector<int> selector;
    selector.add(later, 1);
    selector.add(reader, 2);
    EXPECT_EQ(selector.poll().second, 2);
    EXPECT_EQ(selector.pollNonBlocking().second, 2);
}

TEST(SeqFileReaderDeathTest, CommitPastTheLentBytesEndsTheProcess)
{
    TempDir dir;
    testing_fs::writeFile(dir / "f", pattern(100));
    EXPECT_DEATH(
        {
            SeqFileReader reader(dir / "f");
            lent(reader);
            reader.readCommit(110);
        },
        "Assertion failed: Overcommit in SeqFileReader 110 is 10 bytes past end of buffer");
}

#ifdef _WIN32

TEST(SeqFileReader, FailingSystemCallsThrowWithTheirTexts)
{
    TempDir dir;
    const std::string path = dir / "f";
    testing_fs::writeFile(path, pattern(10));
    SeqFileReader reader(path);
    {
        sys::Override failing(
            sys::calls.ReadFile, +[](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL {
                SetLastError(ERROR_READ_FAULT);
                return FALSE;
            });
        const std::string text = "Cannot read from file: " + error::systemErrorText(ERROR_READ_FAULT);
        expectThrows<ESeqFile>([&] { lent(reader); }, text);
        std::string out = "kept";
        expectThrows<ESeqFile>([&] { reader.readInto(out); }, text);
        EXPECT_EQ(out, "kept");
    }
    {
        sys::Override failing(
            sys::calls.SetFilePointerEx, +[](HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) -> BOOL {
                SetLastError(ERROR_NEGATIVE_SEEK);
                return FALSE;
            });
        expectThrows<ESeqFile>([&] { reader.seek(3); },
                               "Unable to seek in " + path + ": " + error::systemErrorText(ERROR_NEGATIVE_SEEK));
        expectThrows<ESeqFile>([&] { SeqFileReader at(path, 3); },
                               "Unable to seek in " + path + ": " + error::systemErrorText(ERROR_NEGATIVE_SEEK));
    }
    {
        sys::Override missing(
            sys::calls.SetFilePointerEx, +[](HANDLE, LARGE_INTEGER to, PLARGE_INTEGER now, DWORD) -> BOOL {
                now->QuadPart = to.QuadPart - 1;
                return TRUE;
            });
        expectThrows<ESeqFile>([&] { reader.seek(3); }, "Seek missed in " + path);
    }
    EXPECT_EQ(lent(reader), pattern(10));
}

#endif

} // namespace
