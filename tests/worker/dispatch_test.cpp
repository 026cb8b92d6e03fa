#include "worker/dispatch.h"

#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"
#include "hives/hive_registry.h"
#include "io/fs.h"
#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace restore_test;
using Names = std::set<std::string>;

std::string cleartext(const std::string& plain)
{
    return "CTCN" + plain;
}

std::string testKeyBytes()
{
    std::string key;
    for (int i = 1; i <= 32; ++i)
        key.push_back(static_cast<char>(i * 7));
    return key;
}

const DataKey& testKey()
{
    static const DataKey key(testKeyBytes());
    return key;
}

std::string encrypted(const std::string& plain)
{
    return encodeChunk(plain, ChunkForm::Encrypted, testKey().key());
}

class DispatchTest : public ::testing::Test {
protected:
    // The active writer holds its work file; it goes before the clean-up of the files.
    void TearDown() override { dispatcher_.reset(); }

    // A dispatcher for a job of these records (a job without a record list when `withList`
    // is false) restoring below the scratch directory, as the driver makes it; the
    // previous one is dropped without completing its writer.
    void useJob(const std::vector<proto::FileMetaData>& records, bool withList = true)
    {
        dispatcher_.reset();
        job_.restoreRoot = dir_.path();
        job_.hasFiles = withList;
        job_.files.clear();
        for (const proto::FileMetaData& r : records)
            job_.files.emplace_back(new proto::FileMetaData(r));
        dispatcher_ = std::make_unique<ChunkDispatcher>(job_, testKey(), context_);
    }
    const proto::FileMetaData* recordAt(std::size_t i) const { return job_.files.at(i).get(); }

    void send(const std::string& name, std::uint32_t index, const std::string& data)
    {
        proto::ChunkResponse chunk;
        chunk.name = name;
        chunk.chunkIndex = index;
        chunk.data = data;
        dispatcher_->dispatch(chunk);
    }

    // Where a UNIX object named /<a>/<b> is restored; its work file is removed at the end.
    std::string target(const std::string& relative)
    {
        const std::string path = dir_ / relative;
        workFiles_.push_back(std::make_unique<RemoveAtEnd>(delayedWorkFile(path)));
        return path;
    }
    // The dispatcher's view of the run.
    const std::set<std::string>& completedObjects() const { return dispatcher_->completedObjects(); }
    const std::set<std::string>& failedObjects() const { return dispatcher_->failedObjects(); }
    const proto::FileMetaData* currentRecord() const { return dispatcher_->currentRecord(); }
    RestoreWriter* activeWriter() const { return dispatcher_->activeWriter(); }
    bool finishActiveWriter() { return dispatcher_->finishActiveWriter(); }
    std::string activePath() const { return activeWriter() ? activeWriter()->restorePath() : std::string("(none)"); }

    ScratchDir dir_;
    HiveRegistry hives_{std::set<std::wstring>{}};
    WriterContext context_{hives_};

private:
    std::vector<std::unique_ptr<RemoveAtEnd>> workFiles_;
    proto::ClientRestoreJob job_;
    std::unique_ptr<ChunkDispatcher> dispatcher_;
};

std::string failing(const std::string& name, const std::string& text)
{
    return "Failing restore of object \"" + name + "\": " + text;
}

// Objects in turn ---------------------------------------------------------------------------

TEST_F(DispatchTest, EachObjectGetsOneWriterThatCompletesWhenTheNextBegins)
{
    useJob({unixRecord("/a/one", 1048576 + 3), unixRecord("/a/two", 5), unixRecord("/a/three", 0, true)});
    const std::string one = target("a\\one"), two = target("a\\two"), three = dir_ / "a\\three";
    LogCapture log;

    send("/a/one", 0, cleartext(std::string(1048576, 'x')));
    EXPECT_EQ(currentRecord(), recordAt(0));
    EXPECT_EQ(activePath(), delayedWorkFile(one));
    EXPECT_FALSE(exists(one));
    send("/a/one", 1, cleartext("end"));
    EXPECT_EQ(activePath(), delayedWorkFile(one));
    EXPECT_TRUE(log.has(3, "Writing chunk at offset 0"));
    EXPECT_TRUE(log.has(3, "Writing chunk at offset 1048576"));
    EXPECT_TRUE(completedObjects().empty());
    EXPECT_FALSE(exists(one));

    // The second object's first chunk completes the first.
    send("/a/two", 0, encrypted("hello"));
    EXPECT_EQ(completedObjects(), Names({"/a/one"}));
    EXPECT_EQ(readFile(one), std::string(1048576, 'x') + "end");
    EXPECT_FALSE(exists(delayedWorkFile(one)));
    EXPECT_EQ(currentRecord(), recordAt(1));
    EXPECT_EQ(activePath(), delayedWorkFile(two));
    EXPECT_FALSE(exists(two));

    send("/a/three", 0, "");
    EXPECT_EQ(completedObjects(), Names({"/a/one", "/a/two"}));
    EXPECT_EQ(readFile(two), "hello");
    EXPECT_EQ(currentRecord(), recordAt(2));
    EXPECT_EQ(activePath(), three);
    EXPECT_TRUE(attributesOf(three) & FILE_ATTRIBUTE_DIRECTORY);

    // The last object stays active for the driver.
    EXPECT_TRUE(failedObjects().empty());
    finishActiveWriter();
    EXPECT_EQ(activeWriter(), nullptr);
    EXPECT_EQ(completedObjects(), Names({"/a/one", "/a/two"}));
    EXPECT_TRUE(failedObjects().empty());
    EXPECT_FALSE(log.mentions("Failing restore"));
    // Nothing is left to finish.
    EXPECT_NO_THROW(finishActiveWriter());
}

TEST_F(DispatchTest, ChunkAfterCompletionFailsTheObjectAndLeavesItsFileAlone)
{
    useJob({unixRecord("/a/one", 3), unixRecord("/a/two", 1048576 + 3)});
    const std::string one = target("a\\one"), two = target("a\\two");
    LogCapture log;

    send("/a/one", 0, cleartext("abc"));
    send("/a/two", 0, cleartext(std::string(1048576, 'd')));
    ASSERT_EQ(readFile(one), "abc");
    send("/a/one", 0, cleartext("XYZ"));
    EXPECT_EQ(log.lines.back(),
              (LogLine{1, failing("/a/one", "Server sent file \"/a/one\" chunks after completion!")}));
    EXPECT_EQ(failedObjects(), Names({"/a/one"}));
    EXPECT_EQ(readFile(one), "abc");

    log.lines.clear();
    send("/a/one", 1, cleartext("XYZ"));
    EXPECT_EQ(log.lines, (std::vector<LogLine>{{3, "File /a/one failed previously. Skipping chunk 1"}}));

    // The object being received goes on.
    EXPECT_EQ(currentRecord(), recordAt(1));
    send("/a/two", 1, cleartext("ghi"));
    finishActiveWriter();
    const std::string restored = readFile(two);
    EXPECT_EQ(restored.substr(0, 3), "ddd");
    EXPECT_EQ(restored.substr(1048576), "ghi");
    EXPECT_EQ(readFile(one), "abc");
    EXPECT_EQ(failedObjects(), Names({"/a/one"}));
}

TEST_F(DispatchTest, ObjectNotInTheJobIsLoggedAndSkippedAtEveryLogLevel)
{
    struct Case {
        int level;
        bool failureLine, skipLine;
    };
    const Case cases[] = {{3, true, true}, {2, true, false}, {1, true, false}, {0, false, false}};
    for (const Case& c : cases) {
        useJob({unixRecord("/a/one", 6)});
        const std::string one = target("a\\one");
        LogCapture log(c.level);

        send("/a/one", 0, cleartext("abc"));
        send("/nowhere", 0, cleartext("zzz"));
        EXPECT_EQ(failedObjects(), Names({"/nowhere"})) << c.level;
        EXPECT_EQ(log.has(1, failing("/nowhere", "No metadata for file \"/nowhere\"")), c.failureLine) << c.level;
        send("/nowhere", 1, cleartext("zzz"));
        EXPECT_EQ(log.has(3, "File /nowhere failed previously. Skipping chunk 1"), c.skipLine) << c.level;
        EXPECT_EQ(log.mentions("Writing chunk at offset"), c.level >= 3) << c.level;

        // The unknown name did not disturb the object being received.
        EXPECT_EQ(currentRecord(), recordAt(0)) << c.level;
        send("/a/one", 0, cleartext("ab"));
        send("/a/one", 0, cleartext("abc")); // the same chunk again just writes again
        EXPECT_TRUE(completedObjects().empty()) << c.level;
        EXPECT_EQ(failedObjects(), Names({"/nowhere"})) << c.level;
        useJob({}); // the writer is dropped, its work file kept as a killed run would
        EXPECT_EQ(readFile(delayedWorkFile(one)).substr(0, 3), "abc") << c.level;
    }
}

TEST_F(DispatchTest, JobWithoutRecordsKnowsNoObject)
{
    for (bool withList : {false, true}) {
        useJob({}, withList);
        LogCapture log;
        // A control character in a name reaches the log escaped: a name cannot forge a line.
        send("/a/\x1b[2J\none", 0, cleartext("abc"));
        EXPECT_TRUE(log.has(1, failing("/a/\\x1b[2J\\x0aone", "No metadata for file \"/a/\\x1b[2J\\x0aone\"")))
            << withList;
        EXPECT_EQ(failedObjects(), Names({"/a/\x1b[2J\none"})) << withList;
        EXPECT_EQ(currentRecord(), nullptr);
        EXPECT_EQ(activeWriter(), nullptr);
    }
}

TEST_F(DispatchTest, FirstRecordOfADuplicatedNameIsUsed)
{
    useJob({unixRecord("/a/other", 1), unixRecord("/a/dup", 4), unixRecord("/a/dup", 9), unixRecord("/a/last", 2)});
    const std::string dup = target("a\\dup"), last = target("a\\last");
    target("a\\other");
    LogCapture log;

    send("/a/dup", 0, cleartext("four"));
    EXPECT_EQ(currentRecord(), recordAt(1));
    send("/a/last", 0, encrypted("hi"));
    EXPECT_EQ(currentRecord(), recordAt(3));
    finishActiveWriter();
    // The work file was made with the first record's length.
    EXPECT_EQ(readFile(dup), "four");
    EXPECT_EQ(readFile(last), "hi");
    EXPECT_TRUE(failedObjects().empty());
}

TEST_F(DispatchTest, CorruptedChunkFailsOnlyItsObject)
{
    std::string notPadded = "ENCN" + std::string(17, 'q');
    std::string garbageStream = encrypted(std::string(32, 'g'));
    garbageStream.replace(0, 4, std::string("ENZ\0", 4));
    struct Case {
        const char* what;
        std::string data, text;
    };
    const Case cases[] = {
        {"unknown container", "XXXXrest", "Unknown tag \"XXXX\""},
        {"too short for a tag", "CT", "Cannot make sense of input chunk; too short"},
        {"ciphertext not in whole blocks", notPadded, "AES block decryption called with non-padded buffer"},
        {"compressed stream that does not inflate", garbageStream, "Z_DATA_ERROR"},
    };
    for (const Case& c : cases) {
        useJob({unixRecord("/a/f", 1048576 + 4), unixRecord("/a/g", 5)});
        const std::string f = target("a\\f"), g = target("a\\g");
        ::CreateDirectoryW(toWide(dir_ / "a").c_str(), nullptr);
        writeFile(f, "precious");
        LogCapture log;

        send("/a/f", 0, cleartext("half"));
        send("/a/f", 1, c.data);
        EXPECT_EQ(log.lines.back(), (LogLine{1, failing("/a/f", c.text)})) << c.what;
        EXPECT_EQ(failedObjects(), Names({"/a/f"})) << c.what;
        send("/a/f", 2, cleartext("more"));
        EXPECT_EQ(log.lines.back(), (LogLine{3, "File /a/f failed previously. Skipping chunk 2"})) << c.what;
        // The failed writer is dropped, never completed, and its work file removed: the
        // target keeps its contents for good.
        EXPECT_EQ(readFile(f), "precious") << c.what;
        EXPECT_EQ(activeWriter(), nullptr) << c.what;
        EXPECT_FALSE(fileExists(delayedWorkFile(f))) << c.what;

        // The next object is restored; the failed one is never moved over its target.
        send("/a/g", 0, encrypted("fresh"));
        EXPECT_TRUE(completedObjects().empty()) << c.what;
        finishActiveWriter();
        EXPECT_EQ(readFile(g), "fresh") << c.what;
        EXPECT_EQ(readFile(f), "precious") << c.what;
        EXPECT_EQ(failedObjects(), Names({"/a/f"})) << c.what;
    }
}

TEST_F(DispatchTest, WriterThatCannotBeMadeFailsOnlyItsObject)
{
    proto::FileMetaData noKind = record("/a/broken", 1, false); // no metadata of any known kind
    useJob({unixRecord("/a/one", 3), noKind, unixRecord("/a/three", 3)});
    const std::string one = target("a\\one"), three = target("a\\three");
    LogCapture log;

    send("/a/one", 0, cleartext("abc"));
    send("/a/broken", 0, cleartext("z"));
    EXPECT_TRUE(
        log.has(1, failing("/a/broken", "Attempted to construct FileMetaVariant from invalid source metadata")));
    // The previous object was completed before the new one failed.
    EXPECT_EQ(readFile(one), "abc");
    EXPECT_EQ(completedObjects(), Names({"/a/one"}));
    EXPECT_EQ(activeWriter(), nullptr);
    EXPECT_EQ(currentRecord(), nullptr);

    send("/a/broken", 1, cleartext("z"));
    EXPECT_EQ(log.lines.back(), (LogLine{3, "File /a/broken failed previously. Skipping chunk 1"}));
    send("/a/three", 0, cleartext("xyz"));
    EXPECT_TRUE(finishActiveWriter());
    EXPECT_EQ(readFile(three), "xyz");
    EXPECT_EQ(failedObjects(), Names({"/a/broken"}));
}

// An object is placed only when its chunks cover its recorded size; otherwise it fails under
// its own name (also when that shows only as the next object begins), its work file goes and
// its target keeps what it held.
TEST_F(DispatchTest, ObjectWhoseChunksDoNotCoverItsSizeFailsUnderItsOwnName)
{
    struct Case {
        const char* what;
        std::uint64_t size;
        std::vector<std::pair<std::uint32_t, std::string>> chunks;
        std::string text;
    };
    const Case cases[] = {
        {"fewer bytes", 10, {{0, "abc"}}, "Only 3 of 10 bytes of the object arrived"},
        {"chunk index missing", 1048576 + 3, {{1, "xyz"}}, "Only 3 of 1048579 bytes of the object arrived"},
        {"bytes past its size",
         3,
         {{0, "abcd"}},
         "Chunk of 4 bytes at offset 0 reaches past the object's size of 3 bytes"},
        // The whole 64-bit offset reaches the writer.
        {"index 5000",
         3,
         {{0, "abc"}, {5000, "x"}},
         "Chunk of 1 bytes at offset 5242880000 reaches past the object's size of 3 bytes"},
        {"last index",
         3,
         {{4294967295u, "x"}},
         "Chunk of 1 bytes at offset 4503599626321920 reaches past the object's size of 3 bytes"},
    };
    for (bool last : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (last ? ", last object" : ""));
            useJob({unixRecord("/a/f", c.size), unixRecord("/a/g", 5)});
            const std::string f = target("a\\f"), g = target("a\\g");
            ::CreateDirectoryW(toWide(dir_ / "a").c_str(), nullptr);
            writeFile(f, "precious");
            LogCapture log;

            for (const auto& [index, bytes] : c.chunks)
                send("/a/f", index, cleartext(bytes));
            if (last) {
                EXPECT_FALSE(finishActiveWriter());
            } else {
                send("/a/g", 0, cleartext("fresh"));
                EXPECT_TRUE(finishActiveWriter());
                EXPECT_EQ(readFile(g), "fresh");
            }
            EXPECT_TRUE(log.has(1, failing("/a/f", c.text)));
            EXPECT_EQ(failedObjects(), Names({"/a/f"}));
            EXPECT_EQ(completedObjects().count("/a/f"), 0u);
            EXPECT_EQ(readFile(f), "precious");
            EXPECT_FALSE(fileExists(delayedWorkFile(f)));
        }
    }
}

TEST(JobIndex, FindsTheFirstRecordOfEachName)
{
    proto::ClientRestoreJob job;
    job.hasFiles = true;
    for (const char* name : {"b", "a", "b", "", "a"})
        job.files.emplace_back(new proto::FileMetaData(unixRecord(name, 0)));
    job.files.emplace_back(); // an empty slot is no record
    const JobIndex index(job);
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(index.find("a"), job.files[1].get());
    EXPECT_EQ(index.find("b"), job.files[0].get());
    EXPECT_EQ(index.find(""), job.files[3].get());
    EXPECT_EQ(index.find("c"), nullptr);
    EXPECT_EQ(index.find("A"), nullptr);

    job.hasFiles = false;
    EXPECT_EQ(JobIndex(job).find("a"), nullptr);
}

} // namespace
