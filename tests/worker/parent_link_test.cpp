// The parent link over real overlapped named pipes, with the parent in the test's process.
#include "worker/parent_link.h"

#include "io/errors.h"
#include "proto/messages.h"
#include "worker/link_peer.h"

#include <gtest/gtest.h>

#include <functional>
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

std::string wrappedStatus(std::int32_t status)
{
    proto::MessageExchangeResponse wrapper;
    wrapper.response.reset(new proto::RestoreStatus);
    static_cast<proto::RestoreStatus*>(wrapper.response.get())->status = status;
    return encode(wrapper);
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
    const std::string status = wrappedStatus(1);
    peer.send(encode(currentLogLevel(0)) + chunkNoneNumbered5 + status.substr(0, 5));
    link->write(proto::GetLogLevel());
    link->request(proto::RestoreInquiry());
    peer.send(status.substr(5));

    Message first = link->read();
    EXPECT_TRUE(first && *first == currentLogLevel(0));
    Message second = link->read();
    EXPECT_TRUE(second && *second == proto::ChunkNone());
    Message third = link->read();
    auto* restoreStatus = dynamic_cast<proto::RestoreStatus*>(third.get());
    ASSERT_NE(restoreStatus, nullptr);
    EXPECT_EQ(restoreStatus->status, 1);
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

// A broken output is an input-output error, not the parent's departure, and it stays.
TEST_F(ParentLinkTest, OutputFailuresAreInputOutputErrorsAndLeaveTheParentThere)
{
    const std::pair<decltype(sys::calls.WriteFileEx), std::string> cases[] = {
        {link_test::faults::writeRefused, "Unable to write data to: stdout : "},
        {link_test::faults::writeCompletesWithError, "Unhandled error writing to pipe stdout: "},
    };
    for (const auto& [writeFileEx, textStart] : cases) {
        link_test::Peer otherPeer;
        std::unique_ptr<ParentLink> otherLink = otherPeer.makeLink();
        sys::Override broken(sys::calls.WriteFileEx, writeFileEx);
        const auto [type, text] = support::thrown([&] { otherLink->write(proto::GetLogLevel()); });
        EXPECT_EQ(type, &typeid(io::EInputOutput)) << text;
        EXPECT_EQ(text.rfind(textStart, 0), 0u) << text;
        EXPECT_FALSE(otherLink->parentGone());
        EXPECT_THROW(otherLink->write(proto::GetLogLevel()), io::EInputOutput);
    }
}

} // namespace
