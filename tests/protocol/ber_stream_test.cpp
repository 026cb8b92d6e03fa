// The reader and the writer of the message stream, over streams that lend or take bytes in
// pieces. Over named pipes they carry every end-to-end restore.
#include "protocol/ber_reader.h"
#include "protocol/ber_writer.h"

#include "io/memory_stream.h"
#include "io/selector.h"
#include "proto/protocol_factory.h"
#include "support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using protocol::BerConstructed;
using protocol::BerReader;
using protocol::BerValue;
using protocol::BerWriter;

using support::unhex;

std::string encode(const BerValue& value)
{
    std::string out;
    protocol::StringIo io(out);
    value.write(io, false);
    return out;
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

// ---------------------------------------------------------------- reader

// Polls the reader once without sleeping (so a test that expects too much fails instead of
// hanging) and reads.
std::unique_ptr<BerConstructed> next(BerReader& reader)
{
    io::Selector<int> selector;
    selector.add(reader, 0);
    selector.pollNonBlocking();
    return reader.read();
}

// Read reports the end of the stream or the failure, again at every later read.
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

// Whatever each read of the stream lends, from one byte to all, the messages come out one
// at a time, then the end of the stream.
TEST(BerReader, MessagesLentInAnyWindowDecodeAlike)
{
    const proto::ChunkSend first = chunkSend(1, 300);
    const proto::ErrorDuplicateLogin second;
    const proto::ChunkSend third = chunkSend(2, 70000);
    const std::vector<const BerValue*> messages = {&first, &second, &third};
    std::string wire;
    for (const BerValue* m : messages)
        wire += encode(*m);
    for (std::size_t window : {std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(1000), wire.size()}) {
        SCOPED_TRACE("window " + std::to_string(window));
        proto::Protocol factory;
        io::MemoryIStream stream(wire, window);
        BerReader reader(factory, stream);
        for (const BerValue* expected : messages) {
            const std::unique_ptr<BerConstructed> got = next(reader);
            ASSERT_TRUE(got);
            EXPECT_TRUE(*got == *expected);
            EXPECT_EQ(reader.lastMessageSize(), encode(*expected).size());
        }
        expectReadThrows<io::EEndOfStream>(reader, "End of BER stream");
    }
}

TEST(BerReader, EndOfStreamInsideAMessageAndMalformedInput)
{
    const std::string none = encode(proto::ErrorDuplicateLogin());
    const struct {
        std::string bytes;
        bool messageFirst;
        std::string text;
    } cases[] = {
        {none + encode(chunkSend(1, 10)).substr(0, 9), true, "End of BER stream"},
        {unhex("30 80 00 00"), false, "Unknown tag 129"},
        {none + unhex("7F 51 85"), true, "Length field too long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        proto::Protocol factory;
        io::MemoryIStream stream(c.bytes, 3);
        BerReader reader(factory, stream);
        if (c.messageFirst) {
            EXPECT_TRUE(next(reader));
        }
        if (c.text == "End of BER stream")
            expectReadThrows<io::EEndOfStream>(reader, c.text);
        else
            expectReadThrows<io::EInputOutput>(reader, c.text);
    }
}

// ---------------------------------------------------------------- writer

// An output stream with a small window that takes every commit at once, and fails with
// `failure` once it is set.
class WindowStream : public io::ByteOStream {
public:
    explicit WindowStream(std::size_t window) : buffer_(window) {}
    ~WindowStream() override { leaveAllSelectors(); }
    std::string name() const override { return "window"; }
    bool isReady() const override { return true; }
    std::size_t getWriteBuffer(unsigned char** data) override
    {
        checkWritable();
        *data = buffer_.data();
        return buffer_.size();
    }
    void writeCommit(std::size_t n) override
    {
        wire.append(reinterpret_cast<const char*>(buffer_.data()), n);
        notifyReady();
    }
    void refresh() override
    {
        checkWritable();
        notifyReady();
    }
    void checkWritable() override
    {
        if (!failure.empty())
            throw io::EInputOutput(failure);
    }
    void close() override {}

    std::string wire;
    std::string failure;

private:
    std::vector<unsigned char> buffer_;
};

// Drives the writer until it is ready, without ever sleeping.
void drain(BerWriter& writer)
{
    io::Selector<int> selector;
    selector.add(writer, 0);
    selector.pollNonBlocking();
}

// A failure of the stream, while bytes drain or at the filler step, is kept and reported
// by every later call.
TEST(BerWriter, StreamFailureIsKeptAndReported)
{
    const std::string text = "Unhandled error writing to pipe window: gone";
    for (bool atFiller : {false, true}) {
        WindowStream stream(10);
        BerWriter writer(stream);
        writer.write(chunkSend(2, 100));
        if (atFiller) {
            drain(writer);
            writer.sendFiller();
        }
        stream.failure = text;
        drain(writer); // the failure ends the wait: the writer is ready
        EXPECT_TRUE(writer.failed());
        support::expectThrows<io::EInputOutput>([&] { writer.checkFailed(); }, text);
        support::expectThrows<io::EInputOutput>([&] { writer.write(proto::ErrorDuplicateLogin()); }, text);
        support::expectThrows<io::EInputOutput>([&] { writer.sendFiller(); }, text);
        EXPECT_EQ(stream.wire.size(), atFiller ? encode(chunkSend(2, 100)).size() : 0);
    }
}

} // namespace
