// The sequential file reader on the disk (the job file and the configuration are read with
// it); on Windows its failing calls through the system-call table.
#include "io/seq_file_reader.h"

#include "common/error.h"

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

using support::patterned;
using ScratchDir = support::ScratchDir;

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
    ScratchDir dir;
    for (const Case& c : cases) {
        const std::string path = dir / ("f" + std::to_string(c.size));
        const std::string content = patterned(c.size);
        support::writeFile(path, content);
        SeqFileReader reader(path);
        std::string got;
        for (std::size_t piece : c.pieces) {
            const std::string bytes = lent(reader);
            EXPECT_EQ(bytes.size(), piece) << c.size;
            reader.readCommit(piece / 2);
            EXPECT_TRUE(lent(reader) == bytes.substr(piece / 2)) << "what is not consumed is lent again";
            got += bytes;
            reader.readCommit(bytes.size() - piece / 2);
        }
        expectThrows<io::EEndOfStream>([&] { lent(reader); }, "EOS in SeqFileReader");
        EXPECT_TRUE(got == content) << c.size;
    }
}

TEST(SeqFileReader, MissingFileCannotBeOpened)
{
    ScratchDir dir;
    const std::string path = dir / "missing.job";
    expectThrows<io::EFileNotFound>([&] { SeqFileReader reader(path); },
                                    "Unable to open file '" + path +
                                        "' for SeqFileReader: " + error::systemErrorText(2));
}

TEST(SeqFileReader, ReadIntoAppendsPastTheBuffer)
{
    ScratchDir dir;
    const std::string content = patterned(2 * MiB + 17);
    support::writeFile(dir / "f", content);
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

#ifdef _WIN32

TEST(SeqFileReader, FailingSystemCallsThrowWithTheirTexts)
{
    ScratchDir dir;
    const std::string path = dir / "f";
    support::writeFile(path, patterned(10));
    SeqFileReader reader(path);
    {
        auto failing = support::refuse(sys::calls.ReadFile, ERROR_READ_FAULT);
        const std::string text = "Cannot read from file: " + error::systemErrorText(ERROR_READ_FAULT);
        expectThrows<ESeqFile>([&] { lent(reader); }, text);
        std::string out = "kept";
        expectThrows<ESeqFile>([&] { reader.readInto(out); }, text);
        EXPECT_EQ(out, "kept");
    }
    EXPECT_EQ(lent(reader), patterned(10));
}

#endif

} // namespace
