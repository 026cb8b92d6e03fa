#include "worker/dispatch.h"

#include "common/error.h"
#include "common/format.h"
#include "common/log.h"
#include "restore/file_meta.h"

namespace {

// The name between double quotes, as it stands (no escaping, unlike ::quoted).
std::string inQuotes(const std::string& name)
{
    return "\"" + name + "\"";
}

} // namespace

ChunkDispatcher::ChunkDispatcher(RestoreJob& job, const DataKey& key, WriterContext& writers)
    : job_(job), key_(key), writers_(writers)
{
}

std::size_t ChunkDispatcher::recordOf(const std::string& name) const
{
    if (current_ != JobRecords::npos && job_.records.name(current_) == name)
        return current_;
    return job_.records.find(name);
}

void ChunkDispatcher::fail(std::size_t record, const std::string& name, const error::Exception& e)
{
    if (logEnabled(1))
        logMessage("Failing restore of object " + inQuotes(name) + ": " + e.fullText(), 1, false);
    if (record != JobRecords::npos)
        job_.records.setState(record, JobRecords::State::Failed);
    else
        failedUnknown_.insert(name);
}

bool ChunkDispatcher::completeActive()
{
    std::unique_ptr<RestoreWriter> writer = std::move(writer_);
    try {
        writer->complete();
        if (current_ != JobRecords::npos)
            job_.records.setState(current_, JobRecords::State::Completed);
        return true;
    } catch (const error::Exception& e) {
        fail(current_, current_ != JobRecords::npos ? std::string(job_.records.name(current_)) : std::string(), e);
        writer->abandon();
        return false;
    }
}

void ChunkDispatcher::receive(const proto::ChunkResponse& chunk, std::size_t record)
{
    const std::string& name = chunk.name;
    if (record != JobRecords::npos && job_.records.state(record) == JobRecords::State::Completed)
        throw ERestore("Server sent file " + inQuotes(name) + " chunks after completion!");

    if (current_ == JobRecords::npos || current_ != record) {
        if (record == JobRecords::npos)
            throw ERestore("No metadata for file " + inQuotes(name));
        if (writer_)
            completeActive();
        current_ = JobRecords::npos;
        const std::unique_ptr<proto::FileMetaData> metadata = job_.records.record(record);
        writer_ = createWriter(job_.restoreRoot, *metadata, writers_);
        object_ = FileMetaVariant(*metadata).chunkObject();
        current_ = record;
    }

    if (!writer_)
        throw ERestore("No writer active when the time came to write a chunk.");

    const std::string_view plain = decodeChunk(chunk.data, object_, buffers_, chunk.chunkIndex, key_);
    const std::uint64_t offset = std::uint64_t(chunk.chunkIndex) * kChunkSize;
    if (logEnabled(3))
        logMessage("Writing chunk at offset " + formatUnsigned64(offset), 3, false);
    writer_->writeChunk(plain, offset);
}

void ChunkDispatcher::dispatch(const proto::ChunkResponse& chunk)
{
    const std::string& name = chunk.name;
    const std::size_t record = recordOf(name);
    const bool failed = record != JobRecords::npos ? job_.records.state(record) == JobRecords::State::Failed
                                                   : failedUnknown_.count(name) != 0;
    if (failed) {
        if (logEnabled(3))
            logMessage("File " + name + " failed previously. Skipping chunk " + formatUnsigned(chunk.chunkIndex), 3,
                       false);
        return;
    }
    try {
        receive(chunk, record);
    } catch (const error::Exception& e) {
        fail(record, name, e);
        // Only a complete object is moved over its target: a writer that failed is dropped
        // without completing, and the target keeps its old contents.
        if (writer_ && current_ != JobRecords::npos && current_ == record) {
            writer_->abandon();
            writer_.reset();
        }
    }
}

bool ChunkDispatcher::finishActiveWriter()
{
    return writer_ && completeActive();
}

std::set<std::string> ChunkDispatcher::failedObjects() const
{
    std::set<std::string> names = failedUnknown_;
    for (std::size_t r = 0; r < job_.records.size(); ++r) {
        if (job_.records.state(r) == JobRecords::State::Failed)
            names.emplace(job_.records.name(r));
    }
    return names;
}
