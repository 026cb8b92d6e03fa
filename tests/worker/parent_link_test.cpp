// The parent link over real overlapped named pipes, with the parent in the test's process.
#include "worker/parent_link.h"

#include "io/child_process.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using link_test::encode;
using link_test::Message;
using support::unhex;

const std::string kInquiry = unhex("7F 3C 80 02 01 00 AB 80 00 00 00 00");
const std::string kChunkRequest = unhex("7F 3C 80 02 01 00 AC 80 00 00 00 00");
const std::string kGetLogLevel = unhex("7F 82 35 80 00 00");

proto::CurrentLogLevel currentLogLevel(std::int32_t level)
{
    proto::CurrentLogLevel message;
    message.level = level;
    return message;
}

class ParentLinkTest : public ::testing::Test, protected link_test::LinkedToPeer {};

// Requests go wrapped, other messages bare, each with exactly its own bytes: the filler
// step adds none on a pipe.
TEST_F(ParentLinkTest, MessagesGoOutWithExactlyTheirOwnBytes)
{
    link->request(proto::RestoreInquiry());
    EXPECT_EQ(peer.takeBytes(), kInquiry);
    link->request(proto::ChunkRequest());
    EXPECT_EQ(peer.takeBytes(), kChunkRequest);
    link->write(proto::GetLogLevel());
    EXPECT_EQ(peer.takeBytes(), kGetLogLevel);
    EXPECT_FALSE(link->parentGone());
}

// Responses are unwrapped, other messages pass as they are; what the parent sends ahead,
// even half a message, waits for the reads.
TEST_F(ParentLinkTest, ReadUnwrapsResponsesAndKeepsWhatArrivedAhead)
{
    const std::string chunkNoneNumbered5 = unhex("7F 3D 80 02 01 05 AA 80 00 00 01 01 01 00 00");
    peer.send(encode(currentLogLevel(0)) + chunkNoneNumbered5.substr(0, 5));
    link->write(proto::GetLogLevel());
    link->request(proto::RestoreInquiry());
    peer.send(chunkNoneNumbered5.substr(5));

    Message first = link->read();
    EXPECT_TRUE(first && *first == currentLogLevel(0));
    Message second = link->read();
    EXPECT_TRUE(second && *second == proto::ChunkNone());
    EXPECT_EQ(peer.takeBytes(), kGetLogLevel + kInquiry);
}

// A write looks at the input afterwards until it finds the parent gone; bytes still waiting
// are no departure. Later writes skip the look, and reading finds the end.
TEST_F(ParentLinkTest, ClosedInputEndsTheNextWriteOnce)
{
    for (bool waiting : {true, false}) {
        SCOPED_TRACE(waiting ? "a reply waits" : "nothing waits");
        link_test::LinkedToPeer other;
        if (waiting)
            other.peer.send(currentLogLevel(1));
        other.peer.closeWorkerInput();
        if (waiting) {
            other.link->write(proto::GetLogLevel());
            EXPECT_FALSE(other.link->parentGone());
            EXPECT_TRUE(*other.link->read() == currentLogLevel(1));
        }
        support::expectThrows<io::EEndOfStream>([&] { other.link->request(proto::RestoreInquiry()); },
                                                "EOS on PipeIStream read during parent_write");
        EXPECT_TRUE(other.link->parentGone());
        other.link->request(proto::ChunkRequest());
        // The messages themselves went out before the input was looked at.
        EXPECT_EQ(other.peer.takeBytes(), (waiting ? kGetLogLevel : "") + kInquiry + kChunkRequest);
        EXPECT_THROW(other.link->read(), io::EEndOfStream);
    }
}

} // namespace
