#include "worker/job_records.h"

#include "restore/meta_records.h"

#include <gtest/gtest.h>

namespace {

using namespace restore_test;

TEST(JobRecords, KeepEachRecordWholeAndFindTheFirstOfEachName)
{
    std::vector<proto::FileMetaData> records = {ntfsMeta([](proto::FileMetaNTFS& n) {
                                                    n.owner = "BUILTIN\\Administrators";
                                                    n.sddl = std::string(70000, 'S'); // beyond a block's rest
                                                    n.hasSddl = n.hidden = true;
                                                }),
                                                unixMeta([](proto::FileMetaUNIX& u) { u.lastWriteTime = -7; }),
                                                hfsMeta(), proto::FileMetaData()};
    const char* names[] = {"b", "a", "b", ""};
    JobRecords job;
    for (std::size_t r = 0; r < records.size(); ++r) {
        records[r].name = names[r];
        records[r].size = 5000000000 * r;
        records[r].directory = r == 1;
        job.add(records[r]);
    }
    for (std::size_t r = 0; r < records.size(); ++r)
        EXPECT_TRUE(*job.record(r) == records[r]) << r; // a record without metadata too
    EXPECT_EQ(job.directories(), 1u);
    EXPECT_EQ(job.bytes(), 30000000000u);
    EXPECT_EQ(job.find("b"), 0u);
    EXPECT_EQ(job.find(""), 3u);
    EXPECT_EQ(job.find("A"), JobRecords::npos);

    job.setState(1, JobRecords::State::Failed);
    EXPECT_EQ(job.state(1), JobRecords::State::Failed);
    EXPECT_TRUE(job.isDirectory(1)) << "the state leaves the rest of the record alone";
    proto::FileMetaData later = unixMeta();
    later.name = "c";
    job.add(later); // the table follows the records
    EXPECT_EQ(job.find("c"), 4u);
}

} // namespace
