#pragma once
// The chunk dispatcher and its file table. The server sends the chunks of one object after
// another; the dispatcher finds each new object's record in the job, keeps one restore
// writer open for the object being received, decodes every chunk and has the writer put it
// at its offset. A failure costs only its own object: the object is logged and remembered
// as failed, its later chunks are skipped, and the run goes on.
#include "common/error.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"
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

// The file table of one run: the objects completed and failed, the object being received
// and its writer. Handles every chunk of the run in turn.
class ChunkDispatcher {
public:
    // Restores the objects of `job` below the job's root, decrypting with `key` and passing
    // `writers` to every writer; all three outlive the dispatcher.
    ChunkDispatcher(const proto::ClientRestoreJob& job, const DataKey& key, WriterContext& writers);

    // Handles one chunk. Returns normally also when the chunk's object fails; only
    // exceptions that are not error::Exception pass. A failed object is abandoned (its work
    // file removed) and never completed; when completing the previous object fails, that
    // object fails under its own name and the new one goes on.
    void dispatch(const proto::ChunkResponse& chunk);

    // After the last chunk: completes the writer of the last object, if one is active, and
    // releases it. True when it completed; when completing fails, the object is failed and
    // abandoned as any other.
    bool finishActiveWriter();

    // Objects whose writer was completed because a later object began.
    const std::set<std::string>& completedObjects() const { return completed_; }
    // Objects whose restore failed, in byte-wise order of their names.
    const std::set<std::string>& failedObjects() const { return failed_; }
    // The record of the object being received (pointing into the job), or null.
    const proto::FileMetaData* currentRecord() const { return current_; }
    // The writer of that object, or null.
    RestoreWriter* activeWriter() const { return writer_.get(); }

private:
    void receive(const proto::ChunkResponse& chunk);
    void fail(const std::string& name, const error::Exception& e);
    bool completeActive();

    const proto::ClientRestoreJob& job_;
    JobIndex index_;
    const DataKey& key_;
    WriterContext& writers_;
    std::set<std::string> completed_;
    std::set<std::string> failed_;
    const proto::FileMetaData* current_ = nullptr;
    ChunkObject object_; // what decoding needs of the current object
    std::unique_ptr<RestoreWriter> writer_;
    std::string plain_; // the decoded chunk; its storage serves every chunk
};
