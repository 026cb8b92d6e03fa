#pragma once
// The record list of a restore job as the worker holds it. A job may list a million objects:
// as message objects, with their strings, the name index and the sets of names around them,
// each record cost some 500 bytes, five times its size in the job file. Here a record is kept
// as its name followed by a compact encoding of the rest, one after another in large blocks,
// with a one-byte state of its object in the run; a table of record numbers finds the first
// record of a name. A record is decoded again when its object begins.
//
// The job file is read straight into it: the message of the job keeps no list of its own.
#include "proto/messages.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_value.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class JobRecords {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // What became of a record's object in this run.
    enum class State : std::uint8_t { Pending, Completed, Failed };

    JobRecords() = default;
    JobRecords(const JobRecords&) = delete;
    JobRecords& operator=(const JobRecords&) = delete;

    // Appends a copy of `record`.
    void add(const proto::FileMetaData& record);
    std::size_t size() const { return entries_.size(); }
    // The number of the first record named `name`, or npos.
    std::size_t find(std::string_view name) const;

    std::string_view name(std::size_t record) const;
    bool isDirectory(std::size_t record) const;
    // The record as it was added.
    std::unique_ptr<proto::FileMetaData> record(std::size_t record) const;

    State state(std::size_t record) const;
    void setState(std::size_t record, State state);

    // Directories among the records, and the sum of all their sizes.
    std::uint64_t directories() const { return directories_; }
    std::uint64_t bytes() const { return bytes_; }

private:
    unsigned char* allocate(std::size_t size);
    void buildTable() const;

    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t blockSize_ = 0;
    std::size_t blockUsed_ = 0;
    std::vector<unsigned char*> entries_; // each record's first byte
    std::uint64_t directories_ = 0;
    std::uint64_t bytes_ = 0;
    std::string encoded_; // scratch of add
    std::string meta_;    // scratch of add
    // Open addressing: record number + 1 in each used slot; made on the first find after an add.
    mutable std::vector<std::uint32_t> table_;
    mutable std::size_t tabled_ = 0;
};

// A restore job: the fields of its message and its records.
struct RestoreJob {
    std::uint32_t jobNumber = 0;
    std::string restoreRoot;
    bool hasFiles = false; // a job without a record list restores nothing
    JobRecords records;
};

// The message factory for reading a job file into `job`: a ClientRestoreJob hands each record
// of its list to job.records as soon as it is complete and its own fields to `job` at its end;
// every other message is made as proto::Protocol makes it.
class JobFileProtocol : public protocol::BerProtocol {
public:
    explicit JobFileProtocol(RestoreJob& job) : job_(job) {}
    protocol::BerConstructed* create(std::uint32_t tag, bool legacy) override;

private:
    RestoreJob& job_;
    proto::Protocol messages_;
};
