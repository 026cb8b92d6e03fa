#pragma once
// The chunk dispatcher and its file table. The server sends the chunks of one object after
// another; the dispatcher finds each new object's record in the job, keeps one restore
// writer open for the object being received, decodes every chunk and has the writer put it
// at its offset. A failure costs only its own object: the object is logged and remembered
// as failed, its later chunks are skipped, and the run goes on.
#include "proto/messages.h"
#include "restore/writers.h"

#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

// The first record of each name in a job's record list; built once per job.
class JobIndex {
public:
    JobIndex() = default;
    // Indexes the job's records; a job without a record list has none.
    explicit JobIndex(const proto::ClientRestoreJob& job);

    // The first record named `name` in the job's list, or null.
    const proto::FileMetaData* find(const std::string& name) const;
    std::size_t size() const { return first_.size(); }

private:
    std::unordered_map<std::string_view, const proto::FileMetaData*> first_;
};

// Handles one chunk for the job of the restore totals (restoreTotals().currentJob), restoring
// below the job's root with `context` passed to the writers. Returns normally also when the
// chunk's object fails; only exceptions that are not error::Exception pass. A failed object
// is abandoned (its work file removed) and never completed; when completing the previous
// object fails, that object fails under its own name and the new one goes on.
void dispatchChunk(WriterContext& context, const proto::ChunkResponse& chunk);

// After the last chunk: completes the writer of the last object, if one is active, and
// releases it. True when it completed; when completing fails, the object is failed and
// abandoned as any other.
bool finishActiveWriter();

// The file table as the dispatcher left it.
// Objects whose writer was completed because a later object began.
const std::set<std::string>& completedObjects();
// Objects whose restore failed, in byte-wise order of their names.
const std::set<std::string>& failedObjects();
// The record of the object being received (pointing into the job), or null.
const proto::FileMetaData* currentRecord();
// The writer of that object, or null.
RestoreWriter* activeWriter();

// Makes the dispatcher index the job of the restore totals anew before the next new
// object (the driver calls it once the job is loaded; a job that the dispatcher has not
// indexed yet is indexed when its first object begins).
void indexCurrentJob();

// Forgets everything: the two sets, the current object, the index, and the active writer,
// which is destroyed without completion. For tests and for a new run.
void resetFileTable();
