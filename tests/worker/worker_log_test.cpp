// The worker's log on a real parent link: records for the parent, the log level from the
// parent, the local file when the output is broken, and the fatal report.
#include "worker/worker_log.h"

#include "common/log.h"
#include "io/errors.h"
#include "proto/messages.h"
#include "worker/link_peer.h"
#include "worker/log_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using link_test::encode;
using link_test::InTemporaryDirectory;
using link_test::LinkedToPeer;
using link_test::Message;

std::string numberedText(std::size_t n)
{
    std::string text(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>('A' + (i * 11 + i / 26) % 26);
    return text;
}

std::string fileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Severity and text of a log message of either kind, and which kind it is.
struct Record {
    bool worker; // ClientWorkerLog; else ClientLogMessage
    std::int32_t severity;
    std::string text;
    bool operator==(const Record&) const = default;
};

std::vector<Record> records(const std::vector<Message>& messages)
{
    std::vector<Record> out;
    for (const Message& m : messages) {
        if (auto* w = dynamic_cast<proto::ClientWorkerLog*>(m.get()))
            out.push_back({true, w->severity, w->text});
        else if (auto* c = dynamic_cast<proto::ClientLogMessage*>(m.get()))
            out.push_back({false, c->severity, c->text});
        else
            ADD_FAILURE() << "not a log message";
    }
    return out;
}

class WorkerLogTest : public ::testing::Test, protected LinkedToPeer {
protected:
    ~WorkerLogTest() override { logLevel = 3; }
};

// ---------------------------------------------------------------------------------------
// Records for the parent

TEST_F(WorkerLogTest, TextsGoToTheParentInRecordsOfAtMost1024Bytes)
{
    const std::string marker(kContinuedMarker);
    struct Case {
        std::size_t length;
        std::vector<std::size_t> cuts; // where each record's text starts
    };
    const Case cases[] = {
        {1024, {0}},
        {1025, {0, 1005}},
        {2500, {0, 1005, 2010}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        const std::string text = numberedText(c.length);
        logMessage(text, 2, false);
        std::vector<Record> expected;
        for (std::size_t i = 0; i < c.cuts.size(); ++i) {
            const bool last = i + 1 == c.cuts.size();
            const std::size_t end = last ? text.size() : c.cuts[i + 1];
            std::string piece = text.substr(c.cuts[i], end - c.cuts[i]);
            if (!last)
                piece += marker;
            expected.push_back({true, 2, piece});
        }
        EXPECT_EQ(records(peer.takeMessages()), expected);
    }
}

TEST_F(WorkerLogTest, ForwardSendsEachPieceAgainAsAClientLogMessage)
{
    const std::string text = numberedText(1025);
    const std::string first = text.substr(0, 1005) + std::string(kContinuedMarker);
    const std::string second = text.substr(1005);
    logMessage(text, 1, true);
    const std::vector<Record> expected = {{true, 1, first}, {false, 1, first}, {true, 1, second}, {false, 1, second}};
    EXPECT_EQ(records(peer.takeMessages()), expected);
}

TEST_F(WorkerLogTest, EmptyTextSendsNothing)
{
    logMessage("", 0, true);
    link->write(proto::GetLogLevel()); // a marker to show that nothing came before it
    EXPECT_EQ(peer.takeBytes(), encode(proto::GetLogLevel()));
}

// ---------------------------------------------------------------------------------------
// The log level

TEST_F(WorkerLogTest, LogLevelComesFromTheParentsCurrentLogLevelOnly)
{
    const std::string unable = "Unable to setup log level, will maintain current level";
    proto::CurrentLogLevel one;
    one.level = 1;
    proto::MessageExchangeResponse wrappedStatus;
    wrappedStatus.response.reset(new proto::RestoreStatus);
    proto::ClientLogMessage otherMessage;
    otherMessage.text = "hello";
    struct Case {
        const char* what;
        std::string reply;
        int levelBefore;
        int levelAfter;
        bool complains;
    };
    const Case cases[] = {
        {"current log level 1", encode(one), 3, 1, false},
        {"a wrapped restore status", encode(wrappedStatus), 3, 3, true},
        {"another bare message", encode(otherMessage), 3, 3, true},
        {"another reply while the level is 0", encode(otherMessage), 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logLevel = c.levelBefore;
        peer.send(c.reply);
        setupLogLevel(*link);
        EXPECT_EQ(logLevel, c.levelAfter);
        std::vector<Message> sent = peer.takeMessages();
        ASSERT_EQ(sent.size(), c.complains ? 2u : 1u);
        EXPECT_TRUE(*sent[0] == proto::GetLogLevel());
        if (c.complains) {
            // Sent at level 1 whatever the level is.
            sent.erase(sent.begin());
            const std::vector<Record> expected = {{true, 1, unable}};
            EXPECT_EQ(records(sent), expected);
        }
    }
}

TEST_F(WorkerLogTest, LevelOneFromTheParentDisablesLevelTwo)
{
    proto::CurrentLogLevel one;
    one.level = 1;
    peer.send(one);
    setupLogLevel(*link);
    EXPECT_FALSE(logEnabled(2));
    EXPECT_FALSE(logEnabled(3));
    EXPECT_TRUE(logEnabled(1));
    EXPECT_TRUE(logEnabled(0));
}

// ---------------------------------------------------------------------------------------
// When the parent cannot take a line

TEST_F(WorkerLogTest, ParentGoneLeavesLogMessageAndNoLocalFile)
{
    InTemporaryDirectory here;
    peer.closeWorkerInput();
    try {
        logMessage("nobody listens", 2, false);
        ADD_FAILURE() << "the parent's departure went unnoticed";
    } catch (const io::EEndOfStream& e) {
        EXPECT_EQ(e.fullText(), "EOS on PipeIStream read during parent_write");
    }
    EXPECT_FALSE(std::filesystem::exists(here.path() / "wdiag.log"));
}

TEST_F(WorkerLogTest, BrokenOutputKeepsTheWholeLineInTheLocalFile)
{
    const std::string longText = numberedText(1500);
    struct Case {
        const char* what;
        decltype(sys::calls.WriteFileEx) writeFileEx;
        int writesBeforeFailure; // for writeOnceThenRefuse
        std::string text;
        int level;
        bool forward;
        std::string line;
        std::size_t recordsSent;
    };
    const Case cases[] = {
        {"write completes with error 232", link_test::faults::writeCompletesWithError, 0, "restoring C:\\data", 2,
         false, "2,false: restoring C:\\data\r\n", 0},
        {"write refused", link_test::faults::writeRefused, 0, "restoring C:\\data", 2, false,
         "2,false: restoring C:\\data\r\n", 0},
        {"forwarded line, write refused", link_test::faults::writeRefused, 0, "forwarded", 1, true,
         "1,true: forwarded\r\n", 0},
        {"second record refused", link_test::faults::writeOnceThenRefuse, 1, longText, 3, false,
         "3,false: " + longText + "\r\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InTemporaryDirectory here;
        {
            // An earlier, longer file is replaced, not appended to or overwritten in part.
            std::ofstream old(here.path() / "wdiag.log", std::ios::binary);
            old << std::string(4000, 'o') << "\r\n";
        }
        link_test::Peer otherPeer;
        std::unique_ptr<ParentLink> otherLink = otherPeer.makeLink();
        link_test::faults::writesLeft = c.writesBeforeFailure;
        {
            LogToParent toOther(*otherLink);
            sys::Override broken(sys::calls.WriteFileEx, c.writeFileEx);
            logMessage(c.text, c.level, c.forward); // returns as if the line had been sent
        }
        EXPECT_EQ(fileText(here.path() / "wdiag.log"), c.line);
        EXPECT_EQ(otherPeer.takeMessages().size(), c.recordsSent);
    }
}

TEST_F(WorkerLogTest, UnopenableLocalFileLosesTheLineSilently)
{
    InTemporaryDirectory here;
    std::filesystem::create_directory(here.path() / "wdiag.log"); // a directory cannot be opened for writing
    sys::Override broken(sys::calls.WriteFileEx, link_test::faults::writeRefused);
    EXPECT_NO_THROW(logMessage("lost", 2, false));
    EXPECT_TRUE(std::filesystem::is_directory(here.path() / "wdiag.log"));
}

// ---------------------------------------------------------------------------------------
// The fatal report

struct EventLogCalls {
    bool registerFails = false;
    int registered = 0;
    bool serverWasLocal = false;
    std::wstring source;
    int reported = 0;
    HANDLE reportedOn = nullptr;
    WORD type = 0;
    WORD category = 99;
    DWORD eventId = 0;
    bool noUser = false;
    WORD stringCount = 0;
    DWORD dataSize = 99;
    bool noData = false;
    std::wstring string;
    std::vector<HANDLE> deregistered;
};
EventLogCalls eventLog;
const HANDLE kSourceHandle = reinterpret_cast<HANDLE>(0x4242);

HANDLE WINAPI fakeRegisterEventSourceW(LPCWSTR server, LPCWSTR source)
{
    ++eventLog.registered;
    eventLog.serverWasLocal = server == nullptr;
    eventLog.source = source;
    if (eventLog.registerFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return kSourceHandle;
}

BOOL WINAPI fakeReportEventW(HANDLE source, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
                             DWORD dataSize, LPCWSTR* strings, LPVOID data)
{
    ++eventLog.reported;
    eventLog.reportedOn = source;
    eventLog.type = type;
    eventLog.category = category;
    eventLog.eventId = eventId;
    eventLog.noUser = user == nullptr;
    eventLog.stringCount = stringCount;
    eventLog.dataSize = dataSize;
    eventLog.noData = data == nullptr;
    if (stringCount == 1 && strings != nullptr)
        eventLog.string = strings[0];
    return TRUE;
}

BOOL WINAPI fakeDeregisterEventSource(HANDLE source)
{
    eventLog.deregistered.push_back(source);
    return TRUE;
}

TEST(FatalReport, WritesTheLocalFileAndReportsAnErrorEvent)
{
    const std::string text = "An application error has been detected. Dump in 'C:\\x\\w\xC3\xB6rker.dmp'";
    struct Case {
        const char* what;
        bool registerFails;
    };
    const Case cases[] = {{"event source registered", false}, {"event source refused", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InTemporaryDirectory here;
        eventLog = EventLogCalls{};
        eventLog.registerFails = c.registerFails;
        {
            sys::Override registerSource(sys::calls.RegisterEventSourceW, fakeRegisterEventSourceW);
            sys::Override report(sys::calls.ReportEventW, fakeReportEventW);
            sys::Override deregister(sys::calls.DeregisterEventSource, fakeDeregisterEventSource);
            fatalReport(text);
        }
        EXPECT_EQ(fileText(here.path() / "wdiag.log"), text + "\r\n");
        EXPECT_EQ(eventLog.registered, 1);
        EXPECT_TRUE(eventLog.serverWasLocal);
        EXPECT_EQ(eventLog.source, L"Harbex");
        if (c.registerFails) {
            EXPECT_EQ(eventLog.reported, 0);
            EXPECT_TRUE(eventLog.deregistered.empty());
            continue;
        }
        EXPECT_EQ(eventLog.reported, 1);
        EXPECT_EQ(eventLog.reportedOn, kSourceHandle);
        EXPECT_EQ(eventLog.type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(eventLog.category, 0);
        EXPECT_EQ(eventLog.eventId, 0xC0000004u);
        EXPECT_TRUE(eventLog.noUser);
        EXPECT_EQ(eventLog.stringCount, 1);
        EXPECT_EQ(eventLog.dataSize, 0u);
        EXPECT_TRUE(eventLog.noData);
        EXPECT_EQ(eventLog.string, L"An application error has been detected. Dump in 'C:\\x\\w\u00F6rker.dmp'");
        EXPECT_EQ(eventLog.deregistered, std::vector<HANDLE>{kSourceHandle});
    }
}

TEST(FatalReport, ReplacesAnEarlierLocalFile)
{
    InTemporaryDirectory here;
    {
        std::ofstream old(here.path() / "wdiag.log", std::ios::binary);
        old << "2,false: an earlier line that is longer than the report\r\n";
    }
    sys::Override registerSource(sys::calls.RegisterEventSourceW, fakeRegisterEventSourceW);
    sys::Override report(sys::calls.ReportEventW, fakeReportEventW);
    sys::Override deregister(sys::calls.DeregisterEventSource, fakeDeregisterEventSource);
    eventLog = EventLogCalls{};
    fatalReport("short");
    EXPECT_EQ(fileText(here.path() / "wdiag.log"), "short\r\n");
}

} // namespace
