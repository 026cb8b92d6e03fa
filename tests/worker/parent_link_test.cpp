// The parent link over real overlapped named pipes, with the parent in the test's process.
#include "worker/parent_link.h"

#include "io/child_process.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "worker/link_peer.h"

#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using support::expectThrows;

using link_test::encode;
using link_test::LinkedToPeer;
using link_test::Message;

std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

proto::MessageExchangeResponse wrapped(protocol::BerConstructed* response, std::uint32_t exchangeNumber = 0)
{
    proto::MessageExchangeResponse wrapper;
    wrapper.exchangeNumber = exchangeNumber;
    wrapper.response.reset(response);
    return wrapper;
}

proto::RestoreStatus* restoreStatus(std::int32_t status, std::uint32_t code)
{
    auto* reply = new proto::RestoreStatus;
    reply->status = status;
    reply->code = code;
    return reply;
}

proto::CurrentLogLevel currentLogLevel(std::int32_t level)
{
    proto::CurrentLogLevel message;
    message.level = level;
    return message;
}

std::string inquiryWire()
{
    return bytes({0x7F, 0x3C, 0x80, 0x02, 0x01, 0x00, 0xAB, 0x80, 0x00, 0x00, 0x00, 0x00});
}

std::string chunkRequestWire()
{
    return bytes({0x7F, 0x3C, 0x80, 0x02, 0x01, 0x00, 0xAC, 0x80, 0x00, 0x00, 0x00, 0x00});
}

class ParentLinkTest : public ::testing::Test, protected LinkedToPeer {};

// ---------------------------------------------------------------------------------------
// What goes out

TEST_F(ParentLinkTest, MessagesGoOutWithExactlyTheirOwnBytes)
{
    struct Case {
        const char* what;
        std::function<void()> send;
        std::string wire;
    };
    const Case cases[] = {
        {"restore inquiry, wrapped", [&] { link->request(proto::RestoreInquiry()); }, inquiryWire()},
        {"chunk request, wrapped", [&] { link->request(proto::ChunkRequest()); }, chunkRequestWire()},
        {"log level question, bare", [&] { link->write(proto::GetLogLevel()); },
         bytes({0x7F, 0x82, 0x35, 0x80, 0x00, 0x00})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.send();
        // Nothing else follows: the filler step adds no byte on a pipe.
        EXPECT_EQ(peer.takeBytes(), c.wire);
    }
    EXPECT_FALSE(link->parentGone());
}

// ---------------------------------------------------------------------------------------
// What comes in

TEST_F(ParentLinkTest, ReadUnwrapsResponsesAndPassesOtherMessagesAsTheyAre)
{
    proto::ChunkNone chunkNone;
    proto::RestoreStatus status;
    status.status = 2;
    status.code = 7;
    const proto::CurrentLogLevel level = currentLogLevel(1);
    struct Case {
        const char* what;
        std::string wire;
        const protocol::BerValue& expected;
    };
    const Case cases[] = {
        {"chunk none in a response numbered 5, complete",
         bytes({0x7F, 0x3D, 0x80, 0x02, 0x01, 0x05, 0xAA, 0x80, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00}), chunkNone},
        {"restore status in a response", encode(wrapped(restoreStatus(2, 7))), status},
        {"bare current log level", encode(level), level},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.send(c.wire);
        Message got = link->read();
        ASSERT_TRUE(got);
        EXPECT_TRUE(*got == c.expected);
    }
}

TEST_F(ParentLinkTest, BareRestoreStatusIsRefusedByTheReader)
{
    peer.send(bytes({0xA8, 0x80, 0x0A, 0x01, 0x02, 0x02, 0x01, 0x00, 0x00, 0x00}));
    expectThrows<io::EInputOutput>([&] { link->read(); },
                                   "Unknown tag " + std::to_string(proto::RestoreStatus::wireTag(false)));
}

TEST_F(ParentLinkTest, MessagesTheParentSendsAheadAreKeptForRead)
{
    const std::string second = encode(wrapped(restoreStatus(1, 0)));
    // One whole message and the first half of the next before the worker writes twice.
    peer.send(encode(currentLogLevel(0)) + second.substr(0, second.size() / 2));
    link->write(proto::GetLogLevel());
    link->request(proto::RestoreInquiry());
    peer.send(second.substr(second.size() / 2));

    Message first = link->read();
    ASSERT_TRUE(first);
    EXPECT_TRUE(*first == currentLogLevel(0));
    Message next = link->read();
    ASSERT_TRUE(next);
    auto* status = dynamic_cast<proto::RestoreStatus*>(next.get());
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->status, 1);
    EXPECT_EQ(peer.takeBytes(), encode(proto::GetLogLevel()) + inquiryWire());
}

// ---------------------------------------------------------------------------------------
// The parent going away

TEST_F(ParentLinkTest, InputClosedBeforeTheFirstWriteEndsThatWrite)
{
    peer.closeWorkerInput();
    expectThrows<io::EEndOfStream>([&] { link->write(proto::GetLogLevel()); },
                                   "EOS on PipeIStream read during parent_write");
    EXPECT_TRUE(link->parentGone());
    // The message itself was written before the input was looked at.
    EXPECT_EQ(peer.takeBytes(), encode(proto::GetLogLevel()));
}

TEST_F(ParentLinkTest, InputClosedAfterAnExchangeEndsTheNextWriteAndLaterWritesSkipTheCheck)
{
    link->write(proto::GetLogLevel());
    peer.send(currentLogLevel(2));
    Message reply = link->read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(peer.takeBytes(), encode(proto::GetLogLevel()));

    peer.closeWorkerInput();
    try {
        link->request(proto::RestoreInquiry());
        ADD_FAILURE() << "the closed input went unnoticed";
    } catch (const io::EEndOfStream& e) {
        const std::string suffix = " during parent_write";
        ASSERT_GE(e.fullText().size(), suffix.size());
        EXPECT_EQ(e.fullText().substr(e.fullText().size() - suffix.size()), suffix);
        EXPECT_EQ(e.context, suffix);
    }
    EXPECT_TRUE(link->parentGone());

    // The output still works and is no longer followed by the check.
    link->request(proto::ChunkRequest());
    link->write(proto::GetLogLevel());
    EXPECT_EQ(peer.takeBytes(), inquiryWire() + chunkRequestWire() + encode(proto::GetLogLevel()));
    // Reading now finds the end of the input.
    EXPECT_THROW(link->read(), io::EEndOfStream);
}

TEST_F(ParentLinkTest, DataWaitingWhenTheParentLeavesIsReadFirst)
{
    peer.send(currentLogLevel(1));
    peer.closeWorkerInput();
    link->write(proto::GetLogLevel()); // bytes are waiting: not the end yet
    EXPECT_FALSE(link->parentGone());
    Message reply = link->read();
    ASSERT_TRUE(reply);
    EXPECT_TRUE(*reply == currentLogLevel(1));
    expectThrows<io::EEndOfStream>([&] { link->write(proto::GetLogLevel()); },
                                   "EOS on PipeIStream read during parent_write");
}

// ---------------------------------------------------------------------------------------
// A broken output

TEST_F(ParentLinkTest, OutputFailuresAreInputOutputErrorsAndLeaveTheParentThere)
{
    struct Case {
        const char* what;
        decltype(sys::calls.WriteFileEx) writeFileEx;
        std::string textStart;
    };
    const Case cases[] = {
        {"write refused", link_test::faults::writeRefused, "Unable to write data to: stdout : "},
        {"write completes with an error", link_test::faults::writeCompletesWithError,
         "Unhandled error writing to pipe stdout: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        link_test::Peer otherPeer;
        std::unique_ptr<ParentLink> otherLink = otherPeer.makeLink();
        sys::Override broken(sys::calls.WriteFileEx, c.writeFileEx);
        try {
            otherLink->write(proto::GetLogLevel());
            ADD_FAILURE() << "the broken output went unnoticed";
        } catch (const io::EEndOfStream& e) {
            ADD_FAILURE() << "taken for the parent's departure: " << e.fullText();
        } catch (const io::EInputOutput& e) {
            EXPECT_EQ(e.fullText().substr(0, c.textStart.size()), c.textStart) << e.fullText();
        }
        EXPECT_FALSE(otherLink->parentGone());
        // The failure stays: the next write reports it too.
        EXPECT_THROW(otherLink->write(proto::GetLogLevel()), io::EInputOutput);
    }
}

// ---------------------------------------------------------------------------------------
// Typed exchanges

TEST_F(ParentLinkTest, TypedExchangeHoldsTheExpectedReplyAndRefusesAnyOther)
{
    struct Case {
        const char* what;
        std::string reply;
        bool accepted;
    };
    const Case cases[] = {
        {"restore status in a response", encode(wrapped(restoreStatus(2, 9))), true},
        {"chunk none in a response", encode(wrapped(new proto::ChunkNone)), false},
        {"bare current log level", encode(currentLogLevel(3)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        peer.send(c.reply);
        if (c.accepted) {
            pfreply_t<proto::RestoreStatus> status{*link, proto::RestoreInquiry()};
            ASSERT_NE(status.get(), nullptr);
            EXPECT_EQ(status->status, 2);
            EXPECT_EQ((*status).code, 9u);
        } else {
            expectThrows<error::EFatal>(
                [&] {
                    pfreply_t<proto::RestoreStatus> status{*link, proto::RestoreInquiry()};
                },
                "Bad reply in pfreply_t");
        }
        EXPECT_EQ(peer.takeBytes(), inquiryWire());
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// The process-wide link of a worker whose standard handles are the parent's pipes

namespace {

class ChildWorker : public io::ChildProcess {
public:
    ChildWorker() : ChildProcess(io::besideThisProgram(L"parent_link_child.exe"), L"", L"") {}
    void send(const std::string& bytes) { ASSERT_TRUE(ChildProcess::send(bytes)); }
    std::string receiveRest() { return receive(SIZE_MAX); }
};

TEST(ProcessWideParentLink, ChildTakesItsLevelAndExchangesOverItsStandardHandles)
{
    ChildWorker child;
    const std::string question = encode(proto::GetLogLevel());
    EXPECT_EQ(child.receive(question.size()), question);
    child.send(encode(currentLogLevel(1)));
    EXPECT_EQ(child.receive(inquiryWire().size()), inquiryWire());
    child.send(encode(wrapped(restoreStatus(2, 0))));

    // Level 1: the level-2 line stays unsent, the level-1 line goes as a record.
    proto::ClientWorkerLog status;
    status.severity = 1;
    status.text = "status 2";
    EXPECT_EQ(child.receiveRest(), encode(status));
    EXPECT_EQ(child.exitCode(60000), 0u);
}

TEST(ProcessWideParentLink, ChildWhoseParentLeavesEndsQuietly)
{
    ChildWorker child;
    const std::string question = encode(proto::GetLogLevel());
    EXPECT_EQ(child.receive(question.size()), question);
    child.closeInput();
    EXPECT_EQ(child.receiveRest(), "");
    EXPECT_EQ(child.exitCode(60000), 1u);
}

} // namespace
