#include "worker/dispatch.h"

#include "common/error.h"
#include "common/format.h"
#include "common/log.h"
#include "restore/file_meta.h"

JobIndex::JobIndex(const proto::ClientRestoreJob& job)
{
    if (!job.hasFiles)
        return;
    first_.reserve(job.files.size());
    for (const proto::Owned<proto::FileMetaData>& record : job.files) {
        if (record)
            first_.try_emplace(record->name, record.get()); // a later duplicate keeps the first
    }
}

const proto::FileMetaData* JobIndex::find(const std::string& name) const
{
    auto found = first_.find(name);
    return found == first_.end() ? nullptr : found->second;
}

namespace {

// The name between double quotes, as it stands (no escaping, unlike ::quoted).
std::string inQuotes(const std::string& name)
{
    return "\"" + name + "\"";
}

} // namespace

ChunkDispatcher::ChunkDispatcher(const proto::ClientRestoreJob& job, const DataKey& key, WriterContext& writers)
    : job_(job), index_(job), key_(key), writers_(writers)
{
}

void ChunkDispatcher::fail(const std::string& name, const error::Exception& e)
{
    if (logEnabled(1))
        logMessage("Failing restore of object " + inQuotes(name) + ": " + e.fullText(), 1, false);
    failed_.insert(name);
}

bool ChunkDispatcher::completeActive()
{
    std::unique_ptr<RestoreWriter> writer = std::move(writer_);
    const std::string name = current_ != nullptr ? current_->name : std::string();
    try {
        writer->complete();
        return true;
    } catch (const error::Exception& e) {
        fail(name, e);
        writer->abandon();
        return false;
    }
}

void ChunkDispatcher::receive(const proto::ChunkResponse& chunk)
{
    const std::string& name = chunk.name;
    if (completed_.count(name) != 0)
        throw ERestore("Server sent file " + inQuotes(name) + " chunks after completion!");

    if (current_ == nullptr || current_->name != name) {
        const proto::FileMetaData* record = index_.find(name);
        if (record == nullptr)
            throw ERestore("No metadata for file " + inQuotes(name));
        if (writer_ && completeActive())
            completed_.insert(current_->name);
        current_ = nullptr;
        writer_ = createWriter(job_.restoreRoot, *record, writers_);
        object_ = FileMetaVariant(*record).chunkObject();
        current_ = record;
    }

    if (!writer_)
        throw ERestore("No writer active when the time came to write a chunk.");

    decodeChunk(chunk.data, object_, plain_, chunk.chunkIndex, key_);
    const std::uint64_t offset = std::uint64_t(chunk.chunkIndex) * kChunkSize;
    if (logEnabled(3))
        logMessage("Writing chunk at offset " + formatUnsigned64(offset), 3, false);
    writer_->writeChunk(plain_, offset);
}

void ChunkDispatcher::dispatch(const proto::ChunkResponse& chunk)
{
    const std::string& name = chunk.name;
    if (failed_.count(name) != 0) {
        if (logEnabled(3))
            logMessage("File " + name + " failed previously. Skipping chunk " + formatUnsigned(chunk.chunkIndex), 3,
                       false);
        return;
    }
    try {
        receive(chunk);
    } catch (const error::Exception& e) {
        fail(name, e);
        // Only a complete object is moved over its target: a writer that failed is dropped
        // without completing, and the target keeps its old contents.
        if (writer_ && current_ != nullptr && current_->name == name) {
            writer_->abandon();
            writer_.reset();
        }
    }
}

bool ChunkDispatcher::finishActiveWriter()
{
    return writer_ && completeActive();
}
