#include "protocol/ber_writer.h"

#include "io/selector.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "protocol/ber_reader.h"

#include "protocol/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include "common/error.h"
#include "io/pipe_pair.h"
#include "io/pipe_stream.h"

#include <thread>
#endif

namespace {

using protocol::BerConstructed;
using protocol::BerValue;
using protocol::BerWriter;

using bertest::encode;

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

bool sameValue(const BerValue& a, const BerValue& b)
{
    return a == b;
}

TEST(BerWriter, MessageLargerThanThePipeBufferReachesThePeerWhole)
{
    testing_pipe::PipePair pipe = testing_pipe::makePipePair(PIPE_ACCESS_OUTBOUND);
    const proto::ChunkSend big = chunkSend(3, 400000);
    const std::string expected = encode(big) + encode(proto::ErrorDuplicateLogin());
    std::string received;
    std::thread peer([&] { received = testing_pipe::readUpTo(pipe.client.get(), expected.size() + 1); });
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
    testing_pipe::PipePair pipe = testing_pipe::makePipePair(PIPE_ACCESS_DUPLEX);
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
    writesIssued = 0;
    testing_pipe::PipePair pipe = testing_pipe::makePipePair(PIPE_ACCESS_OUTBOUND);
    sys::Override closing(sys::calls.WriteFileEx, +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED ov,
                                                      LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
        ++writesIssued;
        routine = done;
        overlapped = ov;
        QueueUserAPC(+[](ULONG_PTR) { routine(ERROR_NO_DATA, 0, overlapped); }, GetCurrentThread(), 0);
        return TRUE;
    });
    io::PipeOStream out("stdout", pipe.server.get(), false);
    BerWriter writer(out);
    const std::string text = "Unhandled error writing to pipe stdout: " + error::systemErrorText(232);

    // Without a filler step the last write's failure is found by the next message.
    writer.write(chunkSend(1, 10));
    io::waitReady(writer);
    EXPECT_FALSE(writer.failed());
    writer.write(chunkSend(2, 10));
    io::waitReady(writer);
    EXPECT_EQ(failureOf([&] { writer.checkFailed(); }), text);
    EXPECT_EQ(writesIssued, 1);
}

TEST(BerWriter, FillerStepFindsTheFailureOfTheLastWrite)
{
    static LPOVERLAPPED_COMPLETION_ROUTINE routine;
    static LPOVERLAPPED overlapped;
    testing_pipe::PipePair pipe = testing_pipe::makePipePair(PIPE_ACCESS_OUTBOUND);
    sys::Override closing(sys::calls.WriteFileEx, +[](HANDLE, LPCVOID, DWORD, LPOVERLAPPED ov,
                                                      LPOVERLAPPED_COMPLETION_ROUTINE done) -> BOOL {
        routine = done;
        overlapped = ov;
        QueueUserAPC(+[](ULONG_PTR) { routine(ERROR_NO_DATA, 0, overlapped); }, GetCurrentThread(), 0);
        return TRUE;
    });
    io::PipeOStream out("stdout", pipe.server.get(), false);
    BerWriter writer(out);
    writer.write(chunkSend(1, 10));
    writer.sendFiller();
    io::waitReady(writer);
    const std::string text = "Unhandled error writing to pipe stdout: " + error::systemErrorText(232);
    EXPECT_EQ(failureOf([&] { writer.checkFailed(); }), text);
    EXPECT_EQ(failureOf([&] { writer.write(proto::ErrorDuplicateLogin()); }), text);
    EXPECT_EQ(failureOf([&] { writer.sendFiller(); }), text);
}

#endif

} // namespace
