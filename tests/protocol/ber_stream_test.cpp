// The reader and the writer of the message stream, over streams of the tests' own that lend
// or take bytes in pieces, over a job file and (under Windows) over named pipes.
#include "protocol/ber_reader.h"
#include "protocol/ber_writer.h"

#include "io/selector.h"
#include "io/seq_file_reader.h"
#include "io/temp_dir.h"
#include "proto/protocol_factory.h"
#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#ifdef _WIN32
#include "common/error.h"
#include "io/pipe_pair.h"
#include "io/pipe_stream.h"

#include <thread>
#endif

namespace {

using bertest::encode;
using bertest::unhex;
using protocol::BerConstructed;
using protocol::BerReader;
using protocol::BerValue;
using protocol::BerWriter;

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

template <class Action>
std::string failureOf(Action&& action)
{
    try {
        action();
    } catch (const io::EInputOutput& e) {
        return e.fullText();
    }
    return "(no exception)";
}

// ---------------------------------------------------------------- reader

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

// A reader over a piece stream.
struct PieceReader {
    proto::Protocol factory;
    PieceStream stream;
    BerReader reader{factory, stream};
};

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
        auto [factory, stream, reader] = PieceReader{};
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
    auto [factory, stream, reader] = PieceReader{};
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
    auto [factory, stream, reader] = PieceReader{};
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
    auto [factory, stream, reader] = PieceReader{};
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

// The end of the stream, malformed input and a failing stream: read reports each, again at
// every later read.
TEST(BerReader, EndOfStreamMalformedInputAndStreamFailureAreReportedByRead)
{
    const std::string none = encode(proto::ErrorDuplicateLogin()); // 7F 4E 80 00 00
    const std::string send = encode(chunkSend(1, 1)).substr(0, 2); // identifier of ChunkSend
    const std::string end = "End of BER stream";
    enum class Then { Nothing, Ends, Fails }; // what the stream does after the bytes
    struct Case {
        std::string bytes;
        bool messageFirst;
        Then then;
        std::string text;
    };
    const Case cases[] = {
        {none, true, Then::Ends, end},
        {none + encode(chunkSend(1, 10)).substr(0, 9), true, Then::Ends, end}, // inside a message
        {"", false, Then::Ends, end},
        {send + unhex("85 01 02 03 04 05"), false, Then::Nothing, "Length field too long"},
        {unhex("30 80 00 00"), false, Then::Nothing, "Unknown tag 129"},
        {send + unhex("80 00 00"), false, Then::Nothing, "Got to few fields of constructed value"},
        {send + unhex("80 02 01 05 04 80"), false, Then::Nothing, "Indefinite length on tag 32"},
        {none + send + unhex("85"), true, Then::Nothing, "Length field too long"},
        {encode(chunkSend(1, 5)).substr(0, 5), false, Then::Fails,
         "Unhandled error set by fileInCallBack in pieces: broken"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto [factory, stream, reader] = PieceReader{};
        if (!c.bytes.empty())
            stream.push(c.bytes);
        if (c.then == Then::Ends)
            stream.end();
        if (c.then == Then::Fails)
            stream.fail(c.text);
        if (c.messageFirst) {
            EXPECT_TRUE(next(reader));
        }
        if (c.then == Then::Ends)
            expectReadThrows<io::EEndOfStream>(reader, c.text);
        else
            expectReadThrows<io::EInputOutput>(reader, c.text);
    }
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

// ---------------------------------------------------------------- writer

// An output stream with a small window that takes every commit at once; it records the
// bytes, the size of every commit, and where in the byte sequence each put came.
class WindowStream : public io::ByteOStream {
public:
    explicit WindowStream(std::size_t window) : window_(window), buffer_(window) {}
    ~WindowStream() override { leaveAllSelectors(); }
    std::string name() const override { return "window"; }
    bool isReady() const override { return true; }

    std::size_t getWriteBuffer(unsigned char** data) override
    {
        checkWritable();
        *data = buffer_.data();
        return window_;
    }
    void writeCommit(std::size_t n) override
    {
        commits.push_back(n);
        wire.append(reinterpret_cast<const char*>(buffer_.data()), n);
        notifyReady();
    }
    void refresh() override
    {
        checkWritable();
        notifyReady();
    }
    int put(unsigned char byte) override
    {
        puts.push_back(wire.size());
        return ByteOStream::put(byte);
    }
    void checkWritable() override
    {
        if (!failure.empty())
            throw io::EInputOutput(failure);
    }
    void close() override {}

    std::string wire;
    std::vector<std::size_t> commits;
    std::vector<std::size_t> puts;
    std::string failure;

private:
    std::size_t window_;
    std::vector<unsigned char> buffer_;
};

// Drives the writer until it is ready, without ever sleeping.
void drain(BerWriter& writer)
{
    io::Selector<int> selector;
    selector.add(writer, 0);
    selector.pollNonBlocking();
}

TEST(BerWriter, ReadyWithNothingToSend)
{
    WindowStream stream(100);
    BerWriter writer(stream);
    EXPECT_EQ(writer.name(), "BerWriter on window");
    drain(writer);
    EXPECT_TRUE(writer.isReady());
    EXPECT_TRUE(stream.commits.empty());
    EXPECT_TRUE(stream.puts.empty());
}

TEST(BerWriter, PendingBytesDrainThroughTheWindowInOrder)
{
    struct Case {
        std::size_t window;
        std::size_t dataSize;
    };
    const Case cases[] = {{1000, 5000}, {131072, 300000}, {7, 50}, {1 << 20, 10}};
    for (const Case& c : cases) {
        WindowStream stream(c.window);
        BerWriter writer(stream);
        const proto::ChunkSend big = chunkSend(1, c.dataSize);
        const proto::ErrorDuplicateLogin none;
        writer.write(big);
        writer.write(none);
        writer.sendFiller();
        EXPECT_FALSE(writer.isReady());
        EXPECT_TRUE(stream.commits.empty()); // nothing moves before the selector loop runs
        drain(writer);

        const std::string expected = encode(big) + encode(none);
        EXPECT_EQ(stream.wire.size(), expected.size()) << c.window;
        EXPECT_TRUE(stream.wire == expected) << c.window;
        EXPECT_EQ(stream.commits.size(), (expected.size() + c.window - 1) / c.window) << c.window;
        for (std::size_t i = 0; i + 1 < stream.commits.size(); ++i)
            EXPECT_EQ(stream.commits[i], c.window);
        // The filler step comes after the last byte and adds none.
        EXPECT_EQ(stream.puts, std::vector<std::size_t>{expected.size()});
        EXPECT_EQ(writer.pendingBytes(), 0u);
        EXPECT_TRUE(writer.isReady());
    }
}

TEST(BerWriter, StreamFailureIsKeptAndReported)
{
    WindowStream stream(10);
    BerWriter writer(stream);
    writer.write(chunkSend(2, 100));
    stream.failure = "Unhandled error writing to pipe window: gone";
    drain(writer); // the failure ends the wait: the writer is ready
    EXPECT_TRUE(writer.isReady());
    EXPECT_TRUE(writer.failed());
    const std::string text = "Unhandled error writing to pipe window: gone";
    EXPECT_EQ(failureOf([&] { writer.checkFailed(); }), text);
    EXPECT_EQ(failureOf([&] { writer.write(proto::ErrorDuplicateLogin()); }), text);
    EXPECT_EQ(failureOf([&] { writer.sendFiller(); }), text);
}

TEST(BerWriter, FailureOfTheFillerStepIsKept)
{
    WindowStream stream(1000);
    BerWriter writer(stream);
    writer.write(proto::ErrorDuplicateLogin());
    drain(writer);
    stream.failure = "Trying write on non valid or closed pipe";
    writer.sendFiller();
    drain(writer);
    EXPECT_EQ(failureOf([&] { writer.checkFailed(); }), "Trying write on non valid or closed pipe");
    EXPECT_EQ(stream.wire, encode(proto::ErrorDuplicateLogin()));
}

#ifdef _WIN32

TEST(BerReader, ReadsMessagesFromAPipeAsTheyArrive)
{
    io::PipePair pipe = io::makePipePair(PIPE_ACCESS_INBOUND);
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
            io::writeAll(pipe.client.get(), wire.substr(at, size));
            at += size;
            Sleep(1);
        }
        io::writeAll(pipe.client.get(), wire.substr(at));
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

TEST(BerWriter, MessageLargerThanThePipeBufferReachesThePeerWhole)
{
    io::PipePair pipe = io::makePipePair(PIPE_ACCESS_OUTBOUND);
    const proto::ChunkSend big = chunkSend(3, 400000);
    const std::string expected = encode(big) + encode(proto::ErrorDuplicateLogin());
    std::string received;
    std::thread peer([&] { received = io::readUpTo(pipe.client.get(), expected.size() + 1); });
    {
        io::PipeOStream out("stdout", pipe.server.get(), false);
        BerWriter writer(out);
        writer.write(big);
        writer.write(proto::ErrorDuplicateLogin());
        writer.sendFiller();
        io::waitReady(writer);
        writer.checkFailed();
        EXPECT_EQ(writer.pendingBytes(), 0u);
    }
    pipe.server.reset(); // the peer's read ends: nothing beyond the two messages arrived
    peer.join();
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(received.substr(received.size() - 2), std::string(2, '\0'));
}

TEST(BerWriter, WriterAndReaderOnOnePipeInOneThread)
{
    io::PipePair pipe = io::makePipePair(PIPE_ACCESS_DUPLEX);
    io::PipeOStream out("stdout", pipe.server.get(), false);
    io::PipeIStream in("stdin", pipe.client.get(), false);
    proto::Protocol factory;
    BerWriter writer(out);
    protocol::BerReader reader(factory, in);

    std::vector<proto::ChunkSend> sent;
    for (std::uint32_t i = 0; i < 4; ++i) {
        sent.push_back(chunkSend(i, i * 90000));
        writer.write(sent.back());
    }
    io::Selector<int> selector;
    selector.add(writer, 1);
    selector.add(reader, 2);
    std::size_t got = 0;
    bool written = false;
    while (got < sent.size()) {
        if (selector.poll().second == 1) {
            writer.checkFailed();
            written = true;
            selector.remove(writer); // a ready member is handed out at every poll
            continue;
        }
        std::unique_ptr<BerConstructed> message = reader.read();
        ASSERT_TRUE(message);
        EXPECT_TRUE(sameValue(*message, sent[got])) << got;
        ++got;
    }
    EXPECT_TRUE(written);
}

int writesIssued = 0;

TEST(BerWriter, PipeWriteCompletionErrorFailsTheWriter)
{
    static LPOVERLAPPED_COMPLETION_ROUTINE routine;
    static LPOVERLAPPED overlapped;
    sys::Override closing(
        sys::calls.WriteFileEx,
        +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED ov, LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
            ++writesIssued;
            routine = done;
            overlapped = ov;
            QueueUserAPC(
                +[](ULONG_PTR) { routine(ERROR_NO_DATA, 0, overlapped); }, GetCurrentThread(), 0);
            return TRUE;
        });
    const std::string text = "Unhandled error writing to pipe stdout: " + error::systemErrorText(232);
    for (bool filler : {false, true}) {
        SCOPED_TRACE(filler ? "found by the filler step" : "found by the next message");
        writesIssued = 0;
        io::PipePair pipe = io::makePipePair(PIPE_ACCESS_OUTBOUND);
        io::PipeOStream out("stdout", pipe.server.get(), false);
        BerWriter writer(out);
        writer.write(chunkSend(1, 10));
        if (filler) {
            writer.sendFiller();
            io::waitReady(writer);
        } else {
            // Without a filler step the last write's failure is found by the next message.
            io::waitReady(writer);
            EXPECT_FALSE(writer.failed());
            writer.write(chunkSend(2, 10));
            io::waitReady(writer);
            EXPECT_EQ(writesIssued, 1);
        }
        EXPECT_EQ(failureOf([&] { writer.checkFailed(); }), text);
        EXPECT_EQ(failureOf([&] { writer.write(proto::ErrorDuplicateLogin()); }), text);
        EXPECT_EQ(failureOf([&] { writer.sendFiller(); }), text);
    }
}

#endif

} // namespace
