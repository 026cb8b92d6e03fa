#include "worker/dispatch.h"

#include "common/error.h"
#include "common/format.h"
#include "common/log.h"
#include "crypto/chunk_codec.h"
#include "restore/file_meta.h"
#include "worker/restore_totals.h"

#include <optional>

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

struct FileTable {
    std::set<std::string> completed;
    std::set<std::string> failed;
    const proto::FileMetaData* current = nullptr;
    std::unique_ptr<RestoreWriter> writer;
    // The index of `indexedJob`, made when that job's first object begins.
    std::optional<JobIndex> index;
    const proto::ClientRestoreJob* indexedJob = nullptr;
};

FileTable& table()
{
    static FileTable t;
    return t;
}

const JobIndex& jobIndex(FileTable& t)
{
    if (!t.index || t.indexedJob != restoreTotals().currentJob) {
        t.index.reset();
        t.index = restoreTotals().currentJob ? JobIndex(*restoreTotals().currentJob) : JobIndex();
        t.indexedJob = restoreTotals().currentJob;
    }
    return *t.index;
}

// The name between double quotes, as it stands (no escaping, unlike ::quoted).
std::string inQuotes(const std::string& name)
{
    return "\"" + name + "\"";
}

// Records that object `name` failed, and why.
void fail(FileTable& t, const std::string& name, const error::Exception& e)
{
    if (logEnabled(1))
        logMessage("Failing restore of object " + inQuotes(name) + ": " + e.fullText(), 1, false);
    t.failed.insert(name);
}

// Completes the active writer and releases it. When completing fails, its object fails
// under its own name and is abandoned. True when it completed.
bool completeActive(FileTable& t)
{
    std::unique_ptr<RestoreWriter> writer = std::move(t.writer);
    const std::string name = t.current != nullptr ? t.current->name : std::string();
    try {
        writer->complete();
        return true;
    } catch (const error::Exception& e) {
        fail(t, name, e);
        writer->abandon();
        return false;
    }
}

void dispatch(FileTable& t, WriterContext& context, const proto::ChunkResponse& chunk)
{
    const std::string& name = chunk.name;
    if (t.completed.count(name) != 0)
        throw ERestore("Server sent file " + inQuotes(name) + " chunks after completion!");

    if (t.current == nullptr || t.current->name != name) {
        const proto::FileMetaData* record = jobIndex(t).find(name);
        if (record == nullptr)
            throw ERestore("No metadata for file " + inQuotes(name));
        if (t.writer && completeActive(t))
            t.completed.insert(t.current->name);
        t.current = nullptr;
        t.writer = createWriter(restoreTotals().currentJob->restoreRoot, *record, context);
        t.current = record;
    }

    if (!t.writer)
        throw ERestore("No writer active when the time came to write a chunk.");

    std::string plain;
    decodeChunk(chunk.data, FileMetaVariant(*t.current).chunkObject(), plain, chunk.chunkIndex);
    const std::uint64_t offset = std::uint64_t(chunk.chunkIndex) * kChunkSize;
    if (logEnabled(3))
        logMessage("Writing chunk at offset " + formatUnsigned64(offset), 3, false);
    t.writer->writeChunk(plain, offset);
}

} // namespace

void dispatchChunk(WriterContext& context, const proto::ChunkResponse& chunk)
{
    FileTable& t = table();
    const std::string& name = chunk.name;
    if (t.failed.count(name) != 0) {
        if (logEnabled(3))
            logMessage("File " + name + " failed previously. Skipping chunk " + formatUnsigned(chunk.chunkIndex), 3,
                       false);
        return;
    }
    try {
        dispatch(t, context, chunk);
    } catch (const error::Exception& e) {
        fail(t, name, e);
        // Only a complete object is moved over its target: a writer that failed is dropped
        // without completing, and the target keeps its old contents.
        if (t.writer && t.current != nullptr && t.current->name == name) {
            t.writer->abandon();
            t.writer.reset();
        }
    }
}

bool finishActiveWriter()
{
    FileTable& t = table();
    return t.writer && completeActive(t);
}

const std::set<std::string>& completedObjects()
{
    return table().completed;
}

const std::set<std::string>& failedObjects()
{
    return table().failed;
}

const proto::FileMetaData* currentRecord()
{
    return table().current;
}

RestoreWriter* activeWriter()
{
    return table().writer.get();
}

void indexCurrentJob()
{
    FileTable& t = table();
    t.index = restoreTotals().currentJob ? JobIndex(*restoreTotals().currentJob) : JobIndex();
    t.indexedJob = restoreTotals().currentJob;
}

void resetFileTable()
{
    FileTable& t = table();
    t.writer.reset();
    t.current = nullptr;
    t.completed.clear();
    t.failed.clear();
    t.index.reset();
    t.indexedJob = nullptr;
}
