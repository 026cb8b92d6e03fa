#include "worker/dispatch.h"

#include "hives/hive_registry.h"
#include "restore/restore_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace restore_test;
using Names = std::set<std::string>;

constexpr std::size_t kChunk = 1048576;

std::string cleartext(const std::string& plain)
{
    return "CTCN" + plain;
}

// The key the dispatcher decrypts with; no chunk of these tests is encrypted.
const DataKey& testKey()
{
    static const DataKey key(std::string(32, '\x07'));
    return key;
}

class DispatchTest : public ::testing::Test {
protected:
    // The active writer holds its work file; it goes before the scratch directory.
    void TearDown() override { dispatcher_.reset(); }

    // A dispatcher for a job of these records restoring below the scratch directory, as the
    // driver makes it.
    void useJob(const std::vector<proto::FileMetaData>& records)
    {
        dispatcher_.reset();
        job_ = std::make_unique<RestoreJob>();
        job_->restoreRoot = dir_.path();
        job_->hasFiles = true;
        for (const proto::FileMetaData& r : records)
            job_->records.add(r);
        dispatcher_ = std::make_unique<ChunkDispatcher>(*job_, testKey(), context_);
    }
    void send(const std::string& name, std::uint32_t index, const std::string& data)
    {
        proto::ChunkResponse chunk;
        chunk.name = name;
        chunk.chunkIndex = index;
        chunk.data = data;
        dispatcher_->dispatch(chunk);
    }
    // `name` below the scratch directory, holding `bytes` before the restore.
    std::string existing(const std::string& name, const std::string& bytes)
    {
        ::CreateDirectoryW(toWide(dir_ / "a").c_str(), nullptr);
        writeFile(dir_ / name, bytes);
        return dir_ / name;
    }
    Names completedObjects() const
    {
        Names names;
        for (std::size_t r = 0; r < job_->records.size(); ++r)
            if (job_->records.state(r) == JobRecords::State::Completed)
                names.emplace(job_->records.name(r));
        return names;
    }

    ScratchDir dir_;
    HiveRegistry hives_{std::set<std::wstring>{}};
    WriterContext context_{hives_};
    std::unique_ptr<RestoreJob> job_;
    std::unique_ptr<ChunkDispatcher> dispatcher_;
};

LONG seekLow, seekHigh;

// The whole 64-bit offset of a chunk, its index times the chunk size, reaches Windows.
TEST_F(DispatchTest, ChunkIsWrittenAtItsIndexTimesTheChunkSizeBeyond4GiB)
{
    // An object of 4 PiB, whose length is only asked for; every chunk lands at 0 of the small
    // real file, and the position asked for is recorded.
    sys::Override sized(
        sys::calls.SetEndOfFile, +[](HANDLE) -> BOOL { return TRUE; });
    sys::Override seek(
        sys::calls.SetFilePointer, +[](HANDLE h, LONG low, PLONG high, DWORD) -> DWORD {
            seekLow = low;
            seekHigh = high ? *high : -12345;
            return ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        });
    useJob({unixRecord("/big", std::uint64_t(1) << 52)});
    const std::tuple<std::uint32_t, LONG, LONG> cases[] = {
        {1, 0x100000, 0},
        {4095, LONG(0xFFF00000), 0},
        {4096, 0, 1},
        {5000, 947912704, 1},
        {0xFFFFFFFF, LONG(0xFFF00000), 0xFFFFF},
    };
    for (const auto& [index, low, high] : cases) {
        send("/big", index, cleartext("x"));
        EXPECT_EQ(std::make_pair(seekLow, seekHigh), std::make_pair(low, high)) << index;
    }
    EXPECT_TRUE(dispatcher_->failedObjects().empty());
}

// A failure costs only its object: a chunk that cannot be decoded drops the writer and its
// work file, the target keeps what it held, and a chunk of that object arriving after the
// next object began is skipped (no work file, the object being received goes on). An object
// not in the job, or whose writer cannot be made, fails alone, its name escaped for the log.
TEST_F(DispatchTest, AFailureCostsOnlyItsObjectAndItsLateChunksAreSkipped)
{
    useJob({unixRecord("/a/f", kChunk + 4), unixRecord("/a/g", kChunk + 5), named(proto::FileMetaData(), "/a/bad", 1),
            unixRecord("/a/h", 2)});
    const std::string f = existing("a\\f", "precious"), g = dir_ / "a\\g";
    LogCapture log;

    send("/a/f", 0, cleartext(std::string(kChunk, 'f')));
    send("/a/f", 1, "XXXXrest");
    EXPECT_FALSE(exists(delayedWorkFile(f)));
    send("/a/g", 0, cleartext(std::string(kChunk, 'g')));
    send("/a/f", 1, cleartext("more"));
    EXPECT_FALSE(exists(delayedWorkFile(f)));
    EXPECT_TRUE(exists(delayedWorkFile(g)));
    send("/a/\x1b[2J\nunknown", 0, cleartext("zzz"));
    send("/a/g", 1, cleartext("fresh"));
    send("/a/bad", 0, cleartext("z"));
    EXPECT_EQ(readFile(g), std::string(kChunk, 'g') + "fresh");
    send("/a/h", 0, cleartext("hi"));
    EXPECT_TRUE(dispatcher_->finishActiveWriter());
    EXPECT_FALSE(dispatcher_->finishActiveWriter()) << "nothing left to finish";

    EXPECT_EQ(readFile(dir_ / "a\\h"), "hi");
    EXPECT_EQ(readFile(f), "precious");
    EXPECT_TRUE(log.has(1, "Failing restore of object \"/a/\\x1b[2J\\x0aunknown\": No metadata for file "
                           "\"/a/\\x1b[2J\\x0aunknown\""));
    EXPECT_EQ(completedObjects(), Names({"/a/g", "/a/h"}));
    EXPECT_EQ(dispatcher_->failedObjects(), Names({"/a/\x1b[2J\nunknown", "/a/bad", "/a/f"}));
}

// An object is placed only when its chunks cover its recorded size, and none may reach past
// it; otherwise it fails under its own name (also when that shows only as the next object
// begins), its work file goes and its target keeps what it held.
TEST_F(DispatchTest, ObjectWhoseChunksDoNotCoverItsSizeFailsUnderItsOwnName)
{
    const std::tuple<std::uint64_t, std::string, std::string> cases[] = {
        {10, "abc", "Only 3 of 10 bytes of the object arrived"},
        {3, "abcd", "Chunk of 4 bytes at offset 0 reaches past the object's size of 3 bytes"},
    };
    for (bool last : {false, true}) {
        for (const auto& [size, bytes, text] : cases) {
            SCOPED_TRACE(text + (last ? ", last object" : ""));
            useJob({unixRecord("/a/f", size), unixRecord("/a/g", 5)});
            const std::string f = existing("a\\f", "precious");
            LogCapture log;

            send("/a/f", 0, cleartext(bytes));
            if (!last)
                send("/a/g", 0, cleartext("fresh"));
            EXPECT_EQ(dispatcher_->finishActiveWriter(), !last);
            EXPECT_TRUE(log.has(1, "Failing restore of object \"/a/f\": " + text));
            EXPECT_EQ(dispatcher_->failedObjects(), Names({"/a/f"}));
            EXPECT_EQ(readFile(f), "precious");
            EXPECT_FALSE(exists(delayedWorkFile(f)));
        }
    }
}

} // namespace
