#include "worker/job_records.h"

#include "common/assertion.h"
#include "common/error.h"
#include "protocol/ber_decoder.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

// An entry: flags (state, directory), the name's length and bytes, the size, and the length
// and encoding of the metadata part (none when the record has none). Numbers are LEB128.
constexpr unsigned char kStateBits = 0x03;
constexpr unsigned char kDirectory = 0x04;
// Blocks hold many entries; a larger entry (a long security descriptor) gets its own.
constexpr std::size_t kBlockSize = 1 << 20;

void putNumber(std::string& out, std::uint64_t value)
{
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

std::uint64_t takeNumber(const unsigned char*& p)
{
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0)
            return value;
    }
}

// The parts of an entry after its flags.
struct Entry {
    std::string_view name;
    std::uint64_t size = 0;
    const unsigned char* meta = nullptr;
    std::size_t metaLength = 0;
};

Entry parse(const unsigned char* entry)
{
    const unsigned char* p = entry + 1;
    Entry parts;
    const std::size_t nameLength = takeNumber(p);
    parts.name = std::string_view(reinterpret_cast<const char*>(p), nameLength);
    p += nameLength;
    parts.size = takeNumber(p);
    parts.metaLength = takeNumber(p);
    parts.meta = p;
    return parts;
}

// The metadata part of a record alone, as the top-level value of its own encoding.
class MetaProtocol : public protocol::BerProtocol {
public:
    protocol::BerConstructed* create(std::uint32_t tag, bool legacy) override
    {
        return proto::detail::findAlternative(proto::unions::FileMeta, tag, legacy, "FileMetaData.this->osmeta").make();
    }
};

} // namespace

unsigned char* JobRecords::allocate(std::size_t size)
{
    if (blocks_.empty() || blockSize_ - blockUsed_ < size) {
        blockSize_ = std::max(kBlockSize, size);
        blocks_.push_back(std::make_unique<unsigned char[]>(blockSize_));
        blockUsed_ = 0;
    }
    unsigned char* at = blocks_.back().get() + blockUsed_;
    blockUsed_ += size;
    return at;
}

void JobRecords::add(const proto::FileMetaData& record)
{
    // The table holds record numbers + 1 in 32 bits.
    if (entries_.size() >= UINT32_MAX - 1)
        throw error::EParseError("The job lists more records than can be restored");
    encoded_.assign(1, static_cast<char>(record.directory ? kDirectory : 0));
    putNumber(encoded_, record.name.size());
    encoded_ += record.name;
    putNumber(encoded_, record.size);
    meta_.clear();
    if (record.osmeta) {
        protocol::StringIo io(meta_);
        record.osmeta->write(io, false);
    }
    putNumber(encoded_, meta_.size());
    encoded_ += meta_;

    unsigned char* entry = allocate(encoded_.size());
    std::memcpy(entry, encoded_.data(), encoded_.size());
    entries_.push_back(entry);
    if (record.directory)
        ++directories_;
    bytes_ += record.size;
}

void JobRecords::buildTable() const
{
    std::size_t capacity = 16;
    while (capacity < 2 * entries_.size())
        capacity *= 2;
    table_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    const std::hash<std::string_view> hash;
    for (std::size_t r = 0; r < entries_.size(); ++r) {
        const std::string_view wanted = name(r);
        std::size_t slot = hash(wanted) & mask;
        // A later record of a name already in the table is not indexed: the first one counts.
        while (table_[slot] != 0 && name(table_[slot] - 1) != wanted)
            slot = (slot + 1) & mask;
        if (table_[slot] == 0)
            table_[slot] = static_cast<std::uint32_t>(r + 1);
    }
    tabled_ = entries_.size();
}

std::size_t JobRecords::find(std::string_view wanted) const
{
    if (table_.empty() || tabled_ != entries_.size())
        buildTable();
    const std::size_t mask = table_.size() - 1;
    for (std::size_t slot = std::hash<std::string_view>()(wanted) & mask; table_[slot] != 0; slot = (slot + 1) & mask) {
        if (name(table_[slot] - 1) == wanted)
            return table_[slot] - 1;
    }
    return npos;
}

std::string_view JobRecords::name(std::size_t record) const
{
    return parse(entries_.at(record)).name;
}

bool JobRecords::isDirectory(std::size_t record) const
{
    return (*entries_.at(record) & kDirectory) != 0;
}

std::unique_ptr<proto::FileMetaData> JobRecords::record(std::size_t record) const
{
    const unsigned char* entry = entries_.at(record);
    const Entry parts = parse(entry);
    auto decoded = std::make_unique<proto::FileMetaData>();
    decoded->name = std::string(parts.name);
    decoded->size = parts.size;
    decoded->directory = (*entry & kDirectory) != 0;
    if (parts.metaLength != 0) {
        MetaProtocol factory;
        protocol::BerDecoder decoder(factory);
        decoder.process(parts.meta, parts.metaLength);
        std::unique_ptr<protocol::BerConstructed> meta = decoder.take();
        // It decoded once from the job file; should it not again, the object fails alone.
        if (!meta)
            throw error::EParseError("A job record's metadata does not decode again");
        decoded->osmeta.reset(meta.release());
    }
    return decoded;
}

JobRecords::State JobRecords::state(std::size_t record) const
{
    return static_cast<State>(*entries_.at(record) & kStateBits);
}

void JobRecords::setState(std::size_t record, State state)
{
    unsigned char& flags = *entries_.at(record);
    flags = static_cast<unsigned char>((flags & ~kStateBits) | static_cast<unsigned char>(state));
}

// ---------------------------------------------------------------------------------------

namespace {

// One record of a job's list being read; complete, it joins the job's records.
class StreamedRecord : public proto::FileMetaData {
public:
    explicit StreamedRecord(JobRecords& records) : records_(records) {}
    void readDone() override { records_.add(*this); }

private:
    JobRecords& records_;
};

// The record list of a job being read: each record is read into an object of its own, which
// lives until the next one begins. Transient, as every list view: the decoder deletes it when
// the list ends.
class RecordStream : public protocol::BerConstructed {
public:
    explicit RecordStream(JobRecords& records) : records_(records) {}

    protocol::BerValue* clone() const override { proto::detail::refuseListCopy("RecordStream"); }
    std::uint32_t tag(bool legacy) const override { return proto::detail::seqTag(legacy); }
    void readDone() override {}
    bool operator==(const protocol::BerValue&) const override { return false; }
    bool operator<(const protocol::BerValue&) const override { return false; }
    bool operator>(const protocol::BerValue&) const override { return false; }
    void write(protocol::BasicIo&, bool) const override { assertion("A record list being read is never written"); }
    protocol::BerValue* child(std::uint32_t, std::uint32_t received, std::uint32_t, bool legacy) override
    {
        proto::detail::expectTag(received, proto::FileMetaData::wireTag(legacy),
                                 legacy ? "BE_FILE_META_DATA_LEGACY" : "BE_FILE_META_DATA_CURRENT");
        record_ = std::make_unique<StreamedRecord>(records_);
        return record_.get();
    }
    std::uint32_t minFields() const override { return 0; }
    bool isTransient() const override { return true; }

private:
    JobRecords& records_;
    std::unique_ptr<StreamedRecord> record_;
};

// The job message, whose list goes to the job's records; its own fields go to the job at its end.
class LoadingJob : public proto::ClientRestoreJob {
public:
    explicit LoadingJob(RestoreJob& job) : job_(job) {}

    protocol::BerValue* child(std::uint32_t position, std::uint32_t received, std::uint32_t reserved,
                              bool legacy) override
    {
        // The third field is the record list (or NULL, which the message reads itself).
        constexpr std::uint32_t kFilesField = 2;
        if (position != kFilesField || received == protocol::BE_NULL)
            return ClientRestoreJob::child(position, received, reserved, legacy);
        proto::detail::expectSeqTag(received, legacy, "BE_SEQ");
        hasFiles = true;
        return new RecordStream(job_.records);
    }
    void readDone() override
    {
        job_.jobNumber = jobNumber;
        job_.restoreRoot = restoreRoot;
        job_.hasFiles = hasFiles;
    }

private:
    RestoreJob& job_;
};

} // namespace

protocol::BerConstructed* JobFileProtocol::create(std::uint32_t tag, bool legacy)
{
    if (tag == proto::ClientRestoreJob::wireTag(legacy))
        return new LoadingJob(job_);
    return messages_.create(tag, legacy);
}
