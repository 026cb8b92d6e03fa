#include "worker/job_records.h"

#include "restore/meta_records.h"

#include <gtest/gtest.h>

namespace {

using namespace restore_test;

proto::FileMetaData named(proto::FileMetaData record, const std::string& name, std::uint64_t size, bool directory)
{
    record.name = name;
    record.size = size;
    record.directory = directory;
    return record;
}

TEST(JobRecords, KeepEachRecordWholeAndFindTheFirstOfEachName)
{
    const proto::FileMetaData records[] = {
        named(ntfsMeta([](proto::FileMetaNTFS& n) {
                  n.owner = "BUILTIN\\Administrators";
                  n.sddl = std::string(70000, 'S'); // larger than a block's rest
                  n.hasSddl = true;
                  n.hidden = true;
              }),
              "b", 5000000000, false),
        named(unixMeta([](proto::FileMetaUNIX& u) { u.lastWriteTime = -7; }), "a", 0, true),
        named(hfsMeta(), "b", 9, false),
        named(proto::FileMetaData(), "", 1, false), // no metadata part at all
        named(unixMeta(), std::string(200, 'a'), 3, false),
    };
    JobRecords job;
    for (const proto::FileMetaData& r : records)
        job.add(r);

    ASSERT_EQ(job.size(), 5u);
    for (std::size_t r = 0; r < job.size(); ++r) {
        EXPECT_TRUE(*job.record(r) == records[r]) << r;
        EXPECT_EQ(job.name(r), records[r].name) << r;
        EXPECT_EQ(job.isDirectory(r), records[r].directory) << r;
        EXPECT_EQ(job.state(r), JobRecords::State::Pending) << r;
    }
    EXPECT_EQ(job.directories(), 1u);
    EXPECT_EQ(job.bytes(), 5000000013u);

    EXPECT_EQ(job.find("b"), 0u);
    EXPECT_EQ(job.find("a"), 1u);
    EXPECT_EQ(job.find(""), 3u);
    EXPECT_EQ(job.find("c"), JobRecords::npos);
    EXPECT_EQ(job.find("A"), JobRecords::npos);

    job.setState(2, JobRecords::State::Failed);
    job.setState(1, JobRecords::State::Completed);
    EXPECT_EQ(job.state(2), JobRecords::State::Failed);
    EXPECT_EQ(job.state(1), JobRecords::State::Completed);
    EXPECT_TRUE(job.isDirectory(1)) << "the state leaves the rest of the record alone";
    job.add(named(unixMeta(), "c", 1, false)); // the table follows the records
    EXPECT_EQ(job.find("c"), 5u);
    EXPECT_EQ(JobRecords().find("a"), JobRecords::npos);
}

} // namespace
