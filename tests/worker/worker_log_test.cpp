// The worker's log on a real parent link: records for the parent, the log level from the
// parent, the local file when the output is broken, and the fatal report.
#include "worker/worker_log.h"

#include "common/log.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "worker/link_peer.h"
#include "worker/log_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using link_test::encode;
using link_test::InTemporaryDirectory;
using link_test::Message;

// Letters that differ from one position to the next (the log escapes control characters).
std::string letters(std::size_t n)
{
    std::string text = support::patterned(n);
    for (char& c : text)
        c = static_cast<char>('A' + static_cast<unsigned char>(c) % 26);
    return text;
}

// "worker 2: text" for a ClientWorkerLog, "client 2: text" for a ClientLogMessage.
std::vector<std::string> records(const std::vector<Message>& messages)
{
    std::vector<std::string> out;
    for (const Message& m : messages) {
        if (auto* w = dynamic_cast<proto::ClientWorkerLog*>(m.get()))
            out.push_back("worker " + std::to_string(w->severity) + ": " + w->text);
        else if (auto* c = dynamic_cast<proto::ClientLogMessage*>(m.get()))
            out.push_back("client " + std::to_string(c->severity) + ": " + c->text);
        else
            out.push_back("not a log message");
    }
    return out;
}

class WorkerLogTest : public ::testing::Test, protected link_test::LinkedToPeer {
protected:
    ~WorkerLogTest() override { logLevel = 3; }
};

// Each record goes to the parent, and again as a ClientLogMessage when forwarded.
TEST_F(WorkerLogTest, TextsGoToTheParentInRecordsForwardedOnRequest)
{
    const std::string text = letters(1025);
    const std::string first = text.substr(0, 1005) + std::string(kContinuedMarker);
    logMessage(text, 1, true);
    EXPECT_EQ(records(peer.takeMessages()),
              (std::vector<std::string>{"worker 1: " + first, "client 1: " + first, "worker 1: " + text.substr(1005),
                                        "client 1: " + text.substr(1005)}));
    logMessage(text.substr(0, 5), 2, false);
    logMessage("", 0, true);
    EXPECT_EQ(records(peer.takeMessages()), std::vector<std::string>{"worker 2: " + text.substr(0, 5)});
}

// Only a CurrentLogLevel sets the level; any other reply is said at level 1, whatever the
// level is.
TEST_F(WorkerLogTest, LogLevelComesFromTheParentsCurrentLogLevelOnly)
{
    proto::CurrentLogLevel one;
    one.level = 1;
    const std::tuple<std::string, int, int> cases[] = {{encode(one), 3, 1}, {encode(proto::GetLogLevel()), 0, 0}};
    for (const auto& [reply, before, after] : cases) {
        logLevel = before;
        peer.send(reply);
        setupLogLevel(*link);
        EXPECT_EQ(logLevel, after);
        std::vector<Message> sent = peer.takeMessages();
        ASSERT_FALSE(sent.empty());
        EXPECT_TRUE(*sent[0] == proto::GetLogLevel());
        sent.erase(sent.begin());
        EXPECT_EQ(records(sent),
                  std::vector<std::string>(after == before,
                                           "worker 1: Unable to setup log level, will maintain current level"));
    }
}

// The parent's departure ends the run without a local file; any other failure of the
// output replaces the local file with the whole line and returns as if it had been sent.
TEST_F(WorkerLogTest, BrokenOutputKeepsTheWholeLineInTheLocalFile)
{
    const std::string longText = letters(1500);
    struct Case {
        decltype(sys::calls.WriteFileEx) writeFileEx;
        int writesBeforeFailure;
        std::string text;
        int level;
        bool forward;
        std::string line; // in the local file
        std::size_t recordsSent;
    };
    const Case cases[] = {
        {link_test::faults::writeCompletesWithError, 0, "at C:\\data", 2, false, "2,false: at C:\\data\r\n", 0},
        {link_test::faults::writeRefused, 0, "at C:\\data", 1, true, "1,true: at C:\\data\r\n", 0},
        {link_test::faults::writeThenRefuse, 1, longText, 3, false, "3,false: " + longText + "\r\n", 1},
    };
    for (const Case& c : cases) {
        InTemporaryDirectory here;
        // An earlier, longer file is replaced, not appended to or overwritten in part.
        support::writeFile(here / "wdiag.log", std::string(4000, 'o'));
        link_test::LinkedToPeer other;
        link_test::faults::writesLeft = c.writesBeforeFailure;
        {
            sys::Override broken(sys::calls.WriteFileEx, c.writeFileEx);
            logMessage(c.text, c.level, c.forward);
        }
        EXPECT_EQ(support::readFile(here / "wdiag.log"), c.line);
        EXPECT_EQ(other.peer.takeMessages().size(), c.recordsSent);
    }

    InTemporaryDirectory here;
    peer.closeWorkerInput();
    support::expectThrows<io::EEndOfStream>([] { logMessage("nobody listens", 2, false); },
                                            "EOS on PipeIStream read during parent_write");
    EXPECT_FALSE(support::exists(here / "wdiag.log"));
}

} // namespace
