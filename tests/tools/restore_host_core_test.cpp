// The parent program's portable parts: its command line, fault scripts and the paths it is
// given, and the transcript's JSON. The conversation it holds with the worker, faults and
// counts of what it served included, is proven by the end-to-end tests.
#include "host_options.h"
#include "transcript.h"

#include "support.h"
#include "proto/messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace host;
using support::ScratchDir;

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
    // The end-to-end tests run the host with the other options.
    const Options o = parse({"set", "--fault", "status=-1", "--serve", "100000", "--no-config"});
    EXPECT_EQ(o.faults.status, -1);
    EXPECT_EQ(o.servedObjects, 100000u);
    EXPECT_TRUE(o.noConfig);
    Faults scripted;
    addFaultScript(scripted, "# a comment\n\n  wrong-reply  \r\nclose-input=5\nchunk-after-complete=0\n");
    EXPECT_TRUE(scripted.wrongReplyType);
    EXPECT_EQ(scripted.closeInputAfter, 5u);
    EXPECT_EQ(scripted.repeatAfterComplete, 0u);
    EXPECT_FALSE(scripted.bareStatus);

    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{}, "restore-host takes one backup set directory"},
        {{"set", "--work"}, "missing value after --work"},
        {{"set", "--log-level", "4"}, "--log-level takes 0, 1, 2 or 3"},
        {{"set", "--bogus"}, "unknown option --bogus"},
        {{"set", "--config", "c", "--no-config"}, "--config and --no-config exclude each other"},
        {{"set", "--fault", "not-ready"}, "fault 'not-ready' needs '=N'"},
        {{"set", "--fault", "wrong-reply=1"}, "fault 'wrong-reply' takes no value"},
        {{"set", "--fault", "corrupt=x"}, "fault 'corrupt=x' needs a number"},
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

TEST(HostTranscript, JsonOfTextsAndMessages)
{
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
}

TEST(HostOptions, PathsThatNameNothingUsable)
{
    ScratchDir dir;
    const std::string set = dir / "set";
    std::filesystem::create_directories(support::toPath(set));
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
    support::writeFile(set + "/restore.job", "");
    EXPECT_EQ(problem({set}), set + " has no harbex.cfg (--no-config runs the worker without a configuration)");
    EXPECT_EQ(problem({set, "--no-config"}), "");
    support::writeFile(set + "/harbex.cfg", "");
    support::writeFile(dir / "file", "");
    EXPECT_EQ(problem({set, "--job", dir / "file", "--config", dir / "file", "--worker", dir / "file"}), "");
    EXPECT_EQ(problem({set, "--job", dir / "none"}), "no job file " + (dir / "none"));
    EXPECT_EQ(problem({set, "--config", dir / "none"}), "no configuration file " + (dir / "none"));
    EXPECT_EQ(problem({set, "--config", set}), "no configuration file " + set);
    EXPECT_EQ(problem({set, "--worker", dir / "none"}), "no worker program " + (dir / "none"));
}

} // namespace
