#include "protocol/ber_reader.h"

#include "io/selector.h"
#include "io/seq_file_reader.h"
#include "io/temp_dir.h"
#include "proto/protocol_factory.h"
#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#ifdef _WIN32
#include "io/pipe_pair.h"
#include "io/pipe_stream.h"

#include <thread>
#endif

namespace {

using bertest::unhex;
using protocol::BerConstructed;
using protocol::BerReader;
using protocol::BerValue;

using bertest::encode;

bool sameValue(const BerValue& a, const BerValue& b)
{
    return a == b;
}

// A message of the chunk stream with `dataSize` bytes of data.
proto::ChunkSend chunkSend(std::uint32_t index, std::size_t dataSize)
{
    proto::ChunkSend m;
    m.index = index;
    m.data.resize(dataSize);
    for (std::size_t i = 0; i < dataSize; ++i)
        m.data[i] = static_cast<char>((i * 31 + index + i / 257) & 0xFF);
    m.csum.emplace<proto::FileChecksumMd5>().digest = std::string(16, static_cast<char>(index));
    return m;
}

// An input stream lending the pieces it is given one after the other, as a pipe lends what
// each read brought; it records what the reader committed.
class PieceStream : public io::ByteIStream {
public:
    ~PieceStream() override { leaveAllSelectors(); }
    std::string name() const override { return "pieces"; }
    bool isReady() const override { return !pieces_.empty() || ended_ || !failure_.empty(); }

    std::size_t read(const unsigned char** data) override
    {
        if (!failure_.empty())
            throw io::EInputOutput(failure_);
        if (pieces_.empty()) {
            if (ended_)
                throw io::EEndOfStream("EOS on PieceStream");
            throw io::ENotReady(this);
        }
        *data = reinterpret_cast<const unsigned char*>(pieces_.front().data()) + offset_;
        return pieces_.front().size() - offset_;
    }

    void readCommit(std::size_t n) override
    {
        commits.push_back(n);
        offset_ += n;
        if (offset_ > pieces_.front().size())
            ADD_FAILURE() << "commit past the lent bytes";
        if (offset_ >= pieces_.front().size()) {
            pieces_.pop_front();
            offset_ = 0;
        }
        if (isReady())
            notifyReady();
    }

    void push(const std::string& piece)
    {
        pieces_.push_back(piece);
        notifyReady();
    }
    void end()
    {
        ended_ = true;
        notifyReady();
    }
    void fail(const std::string& text)
    {
        failure_ = text;
        notifyReady();
    }

    std::vector<std::size_t> commits;

private:
    std::deque<std::string> pieces_;
    std::size_t offset_ = 0;
    bool ended_ = false;
    std::string failure_;
};

// Polls the reader once without sleeping (so a test that expects too much fails instead of
// hanging) and reads.
std::unique_ptr<BerConstructed> next(BerReader& reader)
{
    io::Selector<int> selector;
    selector.add(reader, 0);
    try {
        selector.pollNonBlocking();
    } catch (const io::ENotReady& e) {
        ADD_FAILURE() << e.fullText();
        throw;
    }
    return reader.read();
}

template <class Expected>
void expectReadThrows(BerReader& reader, const std::string& text)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            next(reader);
            ADD_FAILURE() << "no exception, expected: " << text;
        } catch (const io::EInputOutput& e) {
            EXPECT_EQ(typeid(e), typeid(Expected)) << e.fullText();
            EXPECT_EQ(e.fullText(), text);
        }
    }
}

std::vector<std::string> splitEvery(const std::string& bytes, std::size_t size)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size)
        pieces.push_back(bytes.substr(at, size));
    return pieces;
}

TEST(BerReader, MessagesSplitAnyWayDecodeAlike)
{
    const proto::ChunkSend first = chunkSend(1, 300);
    const proto::ErrorDuplicateLogin second;
    const proto::ChunkSend third = chunkSend(2, 70000);
    const std::vector<const BerValue*> messages = {&first, &second, &third};
    std::string wire;
    for (const BerValue* m : messages)
        wire += encode(*m);

    for (std::size_t size : {std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7), std::size_t(64),
                             std::size_t(1000), std::size_t(65536), wire.size()}) {
        proto::Protocol factory;
        PieceStream stream;
        BerReader reader(factory, stream);
        for (const std::string& piece : splitEvery(wire, size))
            stream.push(piece);
        for (const BerValue* expected : messages) {
            std::unique_ptr<BerConstructed> got = next(reader);
            ASSERT_TRUE(got) << "pieces of " << size;
            EXPECT_TRUE(sameValue(*got, *expected)) << "pieces of " << size;
            EXPECT_EQ(reader.lastMessageSize(), encode(*expected).size());
        }
        std::size_t committed = 0;
        for (std::size_t n : stream.commits)
            committed += n;
        EXPECT_EQ(committed, wire.size()) << "pieces of " << size;
        EXPECT_FALSE(reader.isReady());
        EXPECT_EQ(reader.read(), nullptr);
    }
}

TEST(BerReader, TwoMessagesInOneReadAreDeliveredOneByOne)
{
    proto::Protocol factory;
    PieceStream stream;
    BerReader reader(factory, stream);
    const proto::ChunkSend first = chunkSend(3, 10);
    const proto::ChunkSend second = chunkSend(4, 20);
    stream.push(encode(first) + encode(second));

    std::unique_ptr<BerConstructed> got = next(reader);
    ASSERT_TRUE(got);
    EXPECT_TRUE(sameValue(*got, first));
    // Taking the first decoded the rest of the piece, which completed the second: the
    // whole piece is committed at once.
    EXPECT_EQ(stream.commits, std::vector<std::size_t>{encode(first).size() + encode(second).size()});
    EXPECT_TRUE(reader.isReady());

    got = reader.read(); // complete already: no wait needed
    ASSERT_TRUE(got);
    EXPECT_TRUE(sameValue(*got, second));
    EXPECT_EQ(stream.commits.size(), 1u);
    EXPECT_FALSE(reader.isReady());
    EXPECT_EQ(reader.read(), nullptr);
}

TEST(BerReader, FillersAndTopLevelEndMarksBetweenMessagesAreSkipped)
{
    proto::Protocol factory;
    PieceStream stream;
    BerReader reader(factory, stream);
    const proto::ErrorDuplicateLogin none;
    stream.push(unhex("19 19 00") + encode(none) + unhex("00 19") + encode(none));
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<BerConstructed> got = next(reader);
        ASSERT_TRUE(got) << i;
        EXPECT_TRUE(sameValue(*got, none));
    }
    EXPECT_EQ(reader.lastMessageSize(), encode(none).size() + 2); // 00 19 and the message's own bytes
}

TEST(BerReader, NotReadyUntilAMessageIsComplete)
{
    proto::Protocol factory;
    PieceStream stream;
    BerReader reader(factory, stream);
    EXPECT_EQ(reader.name(), "BerReader on pieces");
    const std::string bytes = encode(chunkSend(5, 100));
    stream.push(bytes.substr(0, 50));
    {
        io::Selector<int> selector;
        selector.add(reader, 0);
        EXPECT_THROW(selector.pollNonBlocking(), io::ENotReady);
    }
    EXPECT_EQ(reader.read(), nullptr);
    EXPECT_EQ(stream.commits, std::vector<std::size_t>{50});
    stream.push(bytes.substr(50));
    EXPECT_TRUE(next(reader));
}

TEST(BerReader, EndOfStream)
{
    struct Case {
        const char* what;
        std::string before;
    };
    const Case cases[] = {
        {"after a message", encode(proto::ErrorDuplicateLogin())},
        {"inside a message", encode(proto::ErrorDuplicateLogin()) + encode(chunkSend(1, 10)).substr(0, 9)},
        {"at once", ""},
    };
    for (const Case& c : cases) {
        proto::Protocol factory;
        PieceStream stream;
        BerReader reader(factory, stream);
        if (!c.before.empty())
            stream.push(c.before);
        stream.end();
        if (c.before.size() >= 4) {
            EXPECT_TRUE(next(reader)) << c.what;
        }
        expectReadThrows<io::EEndOfStream>(reader, "End of BER stream");
    }
}

TEST(BerReader, MalformedInputIsReportedByReadAsAnInputOutputError)
{
    const std::string none = encode(proto::ErrorDuplicateLogin()); // 7F 4E 80 00 00
    const std::string send = encode(chunkSend(1, 1)).substr(0, 2);  // identifier of ChunkSend
    struct Case {
        std::string bytes;
        std::string text;
        bool messageFirst;
    };
    const Case cases[] = {
        {send + unhex("85 01 02 03 04 05"), "Length field too long", false},
        {unhex("30 80 00 00"), "Unknown tag 129", false},
        {send + unhex("80 00 00"), "Got to few fields of constructed value", false},
        {send + unhex("80 02 01 05 04 80"), "Indefinite length on tag 32", false},
        {none + send + unhex("85"), "Length field too long", true},
    };
    for (const Case& c : cases) {
        proto::Protocol factory;
        PieceStream stream;
        BerReader reader(factory, stream);
        stream.push(c.bytes);
        if (c.messageFirst) {
            EXPECT_TRUE(next(reader)) << c.text;
        }
        expectReadThrows<io::EInputOutput>(reader, c.text);
    }
}

TEST(BerReader, StreamFailureIsReportedWithItsText)
{
    proto::Protocol factory;
    PieceStream stream;
    BerReader reader(factory, stream);
    stream.push(encode(chunkSend(1, 5)).substr(0, 5));
    stream.fail("Unhandled error set by fileInCallBack in pieces: broken");
    expectReadThrows<io::EInputOutput>(reader, "Unhandled error set by fileInCallBack in pieces: broken");
}

TEST(BerReader, ReadsAJobFileThroughTheSequentialReader)
{
    testing_fs::TempDir dir;
    const proto::ChunkSend big = chunkSend(1, 2 * 1048576 + 5); // spans three file pieces
    const proto::ErrorDuplicateLogin none;
    testing_fs::writeFile(dir / "restore.job", encode(none) + encode(big) + encode(none));
    SeqFileReader file(dir / "restore.job");
    proto::Protocol factory;
    BerReader reader(factory, file);
    for (const BerValue* expected : {static_cast<const BerValue*>(&none), static_cast<const BerValue*>(&big),
                                     static_cast<const BerValue*>(&none)}) {
        io::waitReady(reader);
        std::unique_ptr<BerConstructed> got = reader.read();
        ASSERT_TRUE(got);
        EXPECT_TRUE(sameValue(*got, *expected));
    }
    io::waitReady(reader);
    expectReadThrows<io::EEndOfStream>(reader, "End of BER stream");
}

#ifdef _WIN32

TEST(BerReader, ReadsMessagesFromAPipeAsTheyArrive)
{
    testing_pipe::PipePair pipe = testing_pipe::makePipePair(PIPE_ACCESS_INBOUND);
    std::vector<proto::ChunkSend> sent;
    std::string wire;
    for (std::uint32_t i = 0; i < 5; ++i) {
        sent.push_back(chunkSend(i, i == 3 ? 200000 : 100 * i));
        wire += encode(sent.back());
    }
    // Pieces of odd sizes, two messages in one write at the end, then the writer leaves.
    std::thread peer([&] {
        std::size_t at = 0;
        for (std::size_t size : {std::size_t(1), std::size_t(9), std::size_t(333), std::size_t(70001)}) {
            testing_pipe::writeAll(pipe.client.get(), wire.substr(at, size));
            at += size;
            Sleep(1);
        }
        testing_pipe::writeAll(pipe.client.get(), wire.substr(at));
        pipe.client.reset();
    });
    io::PipeIStream in("stdin", pipe.server.get(), false);
    proto::Protocol factory;
    {
        BerReader reader(factory, in);
        EXPECT_EQ(reader.name(), "BerReader on stdin");
        for (const proto::ChunkSend& expected : sent) {
            io::waitReady(reader);
            std::unique_ptr<BerConstructed> got = reader.read();
            ASSERT_TRUE(got);
            EXPECT_TRUE(sameValue(*got, expected)) << expected.index;
        }
        io::waitReady(reader);
        expectReadThrows<io::EEndOfStream>(reader, "End of BER stream");
    }
    peer.join();
}

#endif

} // namespace
