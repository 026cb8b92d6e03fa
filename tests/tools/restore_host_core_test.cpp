// The parent program's portable parts: its command line, fault scripts and the paths it is
// given, the conversation it holds with the worker (faults included), and the transcript's JSON.
#include "conversation.h"
#include "host_options.h"
#include "transcript.h"

#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "crypto/chunk_codec.h"
#include "support.h"
#include "io/temp_dir.h"
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using support::expectThrows;

using namespace host;
using testing_fs::TempDir;

std::string noFile(const std::string& path)
{
    throw UsageError("no file " + path);
}
Options parse(const std::vector<std::string>& args)
{
    return parseArguments(args, noFile);
}

TEST(HostOptions, CommandLineAndFaults)
{
    const Options o =
        parse({"set", "--work", "w", "--transcript", "t.jsonl", "--log-level", "3", "--quiet", "--fault", "not-ready=2",
               "--fault", "corrupt=4", "--fault", "status=-1", "--job", "j", "--no-config", "--serve", "100000"});
    EXPECT_EQ(o.setDirectory, "set");
    EXPECT_EQ(o.workDirectory, "w");
    EXPECT_EQ(o.transcriptPath, "t.jsonl");
    EXPECT_EQ(o.logLevel, 3);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.faults.notReadyRounds, 2u);
    EXPECT_EQ(o.faults.corruptObject, 4u);
    EXPECT_EQ(o.faults.status, -1);
    EXPECT_EQ(o.jobFile, "j");
    EXPECT_TRUE(o.noConfig);
    EXPECT_EQ(o.servedObjects, 100000u);

    Faults scripted;
    addFaultScript(scripted, "# a comment\n\n  wrong-reply  \r\nclose-input=5\nchunk-after-complete=0\nshort=2\n");
    EXPECT_TRUE(scripted.wrongReplyType);
    EXPECT_EQ(scripted.closeInputAfter, 5u);
    EXPECT_EQ(scripted.repeatAfterComplete, 0u);
    EXPECT_EQ(scripted.shortObject, 2u);
    EXPECT_FALSE(scripted.bareStatus);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "restore-host takes one backup set directory"},
        {{"a", "b"}, "restore-host takes one backup set directory"},
        {{"set", "--work"}, "missing value after --work"},
        {{"set", "--log-level", "4"}, "--log-level takes 0, 1, 2 or 3"},
        {{"set", "--bogus"}, "unknown option --bogus"},
        {{"set", "--config", "c", "--no-config"}, "--config and --no-config exclude each other"},
        {{"set", "--fault", "not-ready"}, "fault 'not-ready' needs '=N'"},
        {{"set", "--fault", "wrong-reply=1"}, "fault 'wrong-reply' takes no value"},
        {{"set", "--fault", "corrupt=x"}, "fault 'corrupt=x' needs a number"},
        {{"set", "--fault", "corrupt=-1"}, "fault 'corrupt=-1': number out of range"},
        {{"set", "--fault", "close-input=99999999999"}, "fault 'close-input=99999999999' needs a number"},
        {{"set", "--fault", "explode"}, "unknown fault 'explode'"},
        {{"set", "--script", "s"}, "no file s"},
        {{"set", "--serve", "-1"}, "--serve takes a number of objects"},
    };
    for (const auto& [args, text] : bad) {
        SCOPED_TRACE(text);
        try {
            parse(args);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    }
}

// A set of three objects in job order: a directory, a file of three chunks, a file of one.
class ConversationTest : public ::testing::Test {
protected:
    ConversationTest()
    {
        std::filesystem::create_directories(testing_fs::toPath(source_.path() + "/a"));
        testing_fs::writeFile(source_.path() + "/a/big.bin", std::string(2 * kChunkSize + 10, 'b'));
        testing_fs::writeFile(source_.path() + "/z.txt", "zed");
        backupset::PackOptions options;
        options.key = std::string(32, 'k');
        backupset::pack(source_.path(), set_.path() + "/set", options);
        store_ = std::make_unique<backupset::ChunkStore>(backupset::ChunkStore::open(set_.path() + "/set"));
    }

    // What the host answers to each of `requests` ("level", "inquiry", "chunk"), one short
    // text per reply.
    std::vector<std::string> talk(const std::vector<std::string>& requests, const Faults& faults = {},
                                  std::size_t servedObjects = SIZE_MAX)
    {
        Conversation conversation(*store_, 2, faults, servedObjects);
        std::vector<std::string> said;
        for (const std::string& r : requests) {
            std::unique_ptr<protocol::BerConstructed> message;
            if (r == "level") {
                message = std::make_unique<proto::GetLogLevel>();
            } else {
                auto request = std::make_unique<proto::MessageExchangeRequest>();
                if (r == "inquiry")
                    request->request.reset(new proto::RestoreInquiry);
                else
                    request->request.reset(new proto::ChunkRequest);
                message = std::move(request);
            }
            for (const Outgoing& out : conversation.answer(*message))
                said.push_back(shortText(out));
            if (conversation.inputShouldClose())
                said.push_back("close");
        }
        served_ = {conversation.objectsServed(), conversation.bytesServed()};
        return said;
    }

    static std::string shortText(const Outgoing& out)
    {
        if (!out.message)
            return "raw " + std::to_string(out.raw.size());
        const protocol::BerConstructed* m = out.message.get();
        std::string prefix;
        if (auto* wrapper = dynamic_cast<const proto::MessageExchangeResponse*>(m)) {
            m = wrapper->response.get();
        } else {
            prefix = "bare ";
        }
        if (auto* level = dynamic_cast<const proto::CurrentLogLevel*>(m))
            return prefix + "level " + std::to_string(level->level);
        if (auto* status = dynamic_cast<const proto::RestoreStatus*>(m))
            return prefix + "status " + std::to_string(status->status);
        if (dynamic_cast<const proto::ChunkNone*>(m))
            return prefix + "none";
        auto* chunk = dynamic_cast<const proto::ChunkResponse*>(m);
        if (chunk == nullptr)
            return prefix + "other";
        std::string name = chunk->name.substr(chunk->name.find_last_of('\\') + 1);
        return prefix + name + " " + std::to_string(chunk->chunkIndex) + "/" + std::to_string(chunk->remainingChunks) +
               (chunk->data.rfind("XXXX", 0) == 0 ? " damaged" : "");
    }

    static constexpr std::size_t kChunkSize = 1048576;
    TempDir source_, set_;
    std::unique_ptr<backupset::ChunkStore> store_;
    // Objects and plain bytes served by the last talk.
    std::pair<std::uint64_t, std::uint64_t> served_;
};

const std::vector<std::string> kWholeRun = {"level", "inquiry", "chunk", "chunk", "chunk",
                                            "chunk", "chunk",   "chunk", "chunk"};

TEST_F(ConversationTest, ServesEveryChunkInJobOrderCountingWhatRemainsOfTheRestore)
{
    EXPECT_EQ(talk(kWholeRun), (std::vector<std::string>{"bare level 2", "status 2", "a 0/4", "big.bin 0/3",
                                                         "big.bin 1/2", "big.bin 2/1", "z.txt 0/0", "none", "none"}));
    EXPECT_EQ(served_, std::make_pair(std::uint64_t{3}, std::uint64_t{2 * kChunkSize + 10 + 3}));
    talk({"chunk", "chunk", "chunk"});
    EXPECT_EQ(served_, std::make_pair(std::uint64_t{1}, std::uint64_t{2 * kChunkSize})) << "big.bin is under way";
    Faults shortBig;
    addFault(shortBig, "short=1");
    talk(kWholeRun, shortBig);
    EXPECT_EQ(served_, std::make_pair(std::uint64_t{3}, std::uint64_t{kChunkSize + 3})) << "half of big.bin";
}

// A job measured on its first objects: the others need no chunk file, and the counts of
// what remains cover only the objects served.
TEST_F(ConversationTest, ServesTheFirstObjectsOnlyWhenAsked)
{
    std::filesystem::remove(testing_fs::toPath(backupset::chunkFilePath(set_.path() + "/set", 2)));
    EXPECT_EQ(talk(kWholeRun, {}, 2), (std::vector<std::string>{"bare level 2", "status 2", "a 0/3", "big.bin 0/2",
                                                                "big.bin 1/1", "big.bin 2/0", "none", "none", "none"}));
    EXPECT_EQ(served_, std::make_pair(std::uint64_t{2}, std::uint64_t{2 * kChunkSize + 10}));
}

TEST_F(ConversationTest, FaultsBendTheConversation)
{
    struct Case {
        const char* fault;
        std::vector<std::string> requests;
        std::vector<std::string> replies;
    };
    const Case cases[] = {
        {"not-ready=2", {"inquiry", "inquiry", "inquiry"}, {"status 1", "status 1", "status 2"}},
        {"status=0", {"inquiry"}, {"status 0"}},
        {"wrong-reply", {"inquiry"}, {"none"}},
        {"bare-status", {"inquiry"}, {"bare status 2"}},
        {"malformed", {"inquiry", "inquiry"}, {"raw 10", "status 2"}},
        {"close-input=2", {"level", "inquiry", "chunk"}, {"bare level 2", "status 2", "close", "a 0/4", "close"}},
        {"chunk-none-first", {"chunk", "chunk"}, {"none", "a 0/4"}},
        {"unexpected-reply", {"chunk", "chunk"}, {"status 2", "a 0/4"}},
        {"overrun", {"chunk", "chunk"}, {"raw 14", "a 0/4"}},
        {"foreign-chunk", {"chunk", "chunk"}, {"object.bin 0/5", "a 0/4"}},
        {"corrupt=1", {"chunk", "chunk", "chunk"}, {"a 0/4", "big.bin 0/3 damaged", "big.bin 1/2"}},
        {"short=1", {"chunk", "chunk", "chunk", "chunk"}, {"a 0/2", "big.bin 0/1", "z.txt 0/0", "none"}},
        {"chunk-after-complete=1",
         {"chunk", "chunk", "chunk", "chunk", "chunk", "chunk", "chunk"},
         {"a 0/4", "big.bin 0/3", "big.bin 1/2", "big.bin 2/1", "z.txt 0/0", "big.bin 2/1", "none"}},
        {"chunk-after-complete=2",
         {"chunk", "chunk", "chunk", "chunk", "chunk", "chunk", "chunk"},
         {"a 0/4", "big.bin 0/3", "big.bin 1/2", "big.bin 2/1", "z.txt 0/0", "z.txt 0/0", "none"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Faults faults;
        addFault(faults, c.fault);
        EXPECT_EQ(talk(c.requests, faults), c.replies);
    }
}

TEST_F(ConversationTest, RepliesAnswerAndCompleteTheRequestsExchange)
{
    Faults faults;
    faults.chunkNoneFirst = true;
    Conversation conversation(*store_, 2, faults);
    proto::MessageExchangeRequest request;
    request.exchangeNumber = 5;
    request.request.reset(new proto::ChunkRequest);
    const std::vector<Outgoing> replies = conversation.answer(request);
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_TRUE(replies[0].message);
    std::string bytes;
    protocol::StringIo io(bytes);
    replies[0].message->write(io, false);
    const unsigned char expected[] = {0x7F, 0x3D, 0x80, 0x02, 0x01, 0x05, 0xAA, 0x80,
                                      0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00};
    EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

TEST(HostMalformedReply, IsNoMessageOfTheProtocol)
{
    Faults faults;
    faults.malformedReply = true;
    TempDir source, set;
    backupset::PackOptions options;
    options.key = std::string(32, 'k');
    backupset::pack(source.path(), set.path() + "/set", options);
    const backupset::ChunkStore store = backupset::ChunkStore::open(set.path() + "/set");
    Conversation conversation(store, 2, faults);
    proto::MessageExchangeRequest inquiry;
    inquiry.request.reset(new proto::RestoreInquiry);
    const std::vector<Outgoing> replies = conversation.answer(inquiry);
    ASSERT_EQ(replies.size(), 1u);
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    const auto* bytes = reinterpret_cast<const unsigned char*>(replies[0].raw.data());
    EXPECT_THROW(decoder.process(bytes, replies[0].raw.size()), error::Exception);
}

TEST(HostTranscript, JsonOfTextsAndMessages)
{
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("q\"b\\n\nr\rt\t\x01"), "\"q\\\"b\\\\n\\nr\\rt\\t\\u0001\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9 \xe6\x97\xa5"), "\"caf\xc3\xa9 \xe6\x97\xa5\"");
    // Bytes that are no UTF-8: a lone continuation byte, a cut sequence, a bad lead byte.
    EXPECT_EQ(jsonString("\x80"), "\"\\u0080\"");
    EXPECT_EQ(jsonString("a\xc3"), "\"a\\u00c3\"");
    EXPECT_EQ(jsonString("\xe6\x97z"), "\"\\u00e6\\u0097z\"");
    EXPECT_EQ(jsonString("\xff"), "\"\\u00ff\"");

    proto::MessageExchangeResponse reply;
    auto* chunk = new proto::ChunkResponse;
    chunk->name = "C:\\a";
    chunk->chunkIndex = 1;
    chunk->remainingChunks = 2;
    chunk->data = "abc";
    reply.response.reset(chunk);
    EXPECT_EQ(describeMessage(reply),
              "{\"class\":\"MessageExchangeResponse\",\"exchangeNumber\":0,\"response\":{\"class\":\"ChunkResponse\","
              "\"name\":\"C:\\\\a\",\"chunkIndex\":1,\"remainingChunks\":2,\"data\":{\"length\":3,"
              "\"md5\":\"900150983cd24fb0d6963f7d28e17f72\"}}}");
    proto::UpdateRestoreProgress progress;
    progress.state = 2;
    progress.percentage = 50;
    progress.rate = 1000;
    progress.hasRate = true;
    progress.files = 3;
    progress.bytes = 4;
    EXPECT_EQ(describeMessage(progress),
              "{\"class\":\"UpdateRestoreProgress\",\"state\":2,\"percentage\":50,\"rate\":1000,"
              "\"files\":3,\"bytes\":4,\"timeLeft\":null}");
    EXPECT_EQ(describeMessage(proto::Pong()),
              "{\"class\":\"Other\",\"tag\":" + std::to_string(proto::Pong().tag(false)) + "}");
}

TEST(HostOptions, PathsThatNameNothingUsable)
{
    TempDir dir;
    const std::string set = dir / "set";
    std::filesystem::create_directories(testing_fs::toPath(set));
    auto problem = [](const std::vector<std::string>& args) -> std::string {
        try {
            checkPaths(parse(args));
            return "";
        } catch (const PathError& e) {
            return e.what();
        }
    };
    EXPECT_EQ(problem({dir / "none"}), "no backup set directory " + (dir / "none"));
    EXPECT_EQ(problem({set}), set + " is no backup set: it has no restore.job");
    testing_fs::writeFile(set + "/restore.job", "");
    EXPECT_EQ(problem({set}), set + " has no harbex.cfg (--no-config runs the worker without a configuration)");
    EXPECT_EQ(problem({set, "--no-config"}), "");
    testing_fs::writeFile(set + "/harbex.cfg", "");
    testing_fs::writeFile(dir / "file", "");
    EXPECT_EQ(problem({set, "--job", dir / "file", "--config", dir / "file", "--worker", dir / "file"}), "");
    EXPECT_EQ(problem({set, "--job", dir / "none"}), "no job file " + (dir / "none"));
    EXPECT_EQ(problem({set, "--config", dir / "none"}), "no configuration file " + (dir / "none"));
    EXPECT_EQ(problem({set, "--config", set}), "no configuration file " + set);
    EXPECT_EQ(problem({set, "--worker", dir / "none"}), "no worker program " + (dir / "none"));
}

} // namespace
