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
#include "worker/job_records.h"

#include <cstddef>
#include <memory>
#include <set>
#include <string>

// The file table of one run: the object being received and its writer; what became of each
// object is kept with its record in the job. Handles every chunk of the run in turn.
class ChunkDispatcher {
public:
    // Restores the objects of `job` below the job's root, decrypting with `key` and passing
    // `writers` to every writer; all three outlive the dispatcher.
    ChunkDispatcher(RestoreJob& job, const DataKey& key, WriterContext& writers);

    // Handles one chunk. Returns normally also when the chunk's object fails; only
    // exceptions that are not error::Exception pass. A failed object is abandoned (its work
    // file removed) and never completed; when completing the previous object fails, that
    // object fails under its own name and the new one goes on.
    void dispatch(const proto::ChunkResponse& chunk);

    // After the last chunk: completes the writer of the last object, if one is active, and
    // releases it. True when it completed; when completing fails, the object is failed and
    // abandoned as any other.
    bool finishActiveWriter();

    // The names of the objects whose restore failed, in byte-wise order: records of the job
    // and names that no record has.
    std::set<std::string> failedObjects() const;
    // The number of the record of the object being received, or JobRecords::npos.
    std::size_t currentRecord() const { return current_; }
    // The writer of that object, or null.
    RestoreWriter* activeWriter() const { return writer_.get(); }

private:
    // The first record named `name`, the current one found without a look-up.
    std::size_t recordOf(const std::string& name) const;
    void receive(const proto::ChunkResponse& chunk, std::size_t record);
    void fail(std::size_t record, const std::string& name, const error::Exception& e);
    bool completeActive();

    RestoreJob& job_;
    const DataKey& key_;
    WriterContext& writers_;
    std::set<std::string> failedUnknown_; // failed names that no record has
    std::size_t current_ = JobRecords::npos;
    ChunkObject object_; // what decoding needs of the current object
    std::unique_ptr<RestoreWriter> writer_;
    ChunkBuffers buffers_; // the decoded chunk; its storage serves every chunk
};
