#pragma once
// What the parent answers: the log level, the server's status, and the backup set's chunks
// object by object in job order, each object's chunks in order, then ChunkNone. Each chunk
// says how many chunks of the whole restore remain after it, from which the worker reports
// its percentage and time left. The faults
// of the options bend the conversation on purpose.
#include "host_options.h"

#include "backupset/chunk_store.h"
#include "protocol/ber_value.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

// One thing to send: a message, or bytes as they stand when `message` is empty.
struct Outgoing {
    std::unique_ptr<protocol::BerConstructed> message;
    std::string raw;
};

class Conversation {
public:
    // Serves the chunks of the first `servedObjects` objects of the job (all, when the job has
    // fewer).
    Conversation(const backupset::ChunkStore& store, std::int32_t logLevel, const Faults& faults,
                 std::size_t servedObjects = SIZE_MAX);

    // The replies to one message from the worker, in order; none for reports and log records.
    // A message the parent does not answer gets nothing.
    std::vector<Outgoing> answer(const protocol::BerConstructed& message);

    // True once the fault asks to close the worker's input, counting every message from it.
    bool inputShouldClose() const;
    // Objects whose chunks were all served (the first ones of the job, as it is served in
    // order), and the plain bytes of the chunks served.
    std::uint64_t objectsServed() const { return objectsServed_; }
    std::uint64_t bytesServed() const { return bytesServed_; }

    // The name of a chunk that belongs to no object of any job made here.
    static const char kForeignName[];

private:
    std::vector<Outgoing> answerInquiry();
    std::vector<Outgoing> answerChunkRequest();
    // The reply for the next chunk of the set, or ChunkNone after the last one.
    std::unique_ptr<protocol::BerConstructed> nextChunk();
    // Moves to the next object that has chunks to send; false after the last one.
    bool openNextObject();
    // How many of the `stored` chunks of the object at `position` are served.
    std::uint32_t chunksToServe(std::size_t position, std::uint32_t stored) const;

    const backupset::ChunkStore& store_;
    const std::size_t servedObjects_;
    std::int32_t logLevel_;
    Faults faults_;
    std::uint64_t messagesFromWorker_ = 0;
    std::uint64_t inquiries_ = 0;
    std::uint64_t chunkRequests_ = 0;
    std::uint64_t objectsServed_ = 0;
    std::uint64_t bytesServed_ = 0;
    // Chunks of the set not yet served.
    std::uint64_t setChunksLeft_ = 0;

    // The only chunk of each small object, read when the conversation begins; taken out as it
    // is served.
    static constexpr std::uint64_t kKeptObjectSize = 64 * 1024;
    static constexpr std::uint64_t kKeptTotal = 64 * 1024 * 1024;
    std::unordered_map<std::size_t, std::string> kept_;

    // The object being served: its chunk file, or its kept chunk.
    std::size_t position_ = 0;
    bool started_ = false;
    bool objectOpen_ = false;
    std::optional<backupset::ChunkFileReader> reader_;
    std::optional<std::string> keptChunk_;
    std::uint32_t chunkIndex_ = 0;
    std::uint32_t chunksToSend_ = 0;
    // A chunk kept to be sent again once its object completed, and whether the next object
    // has begun (which completes it).
    std::unique_ptr<protocol::BerConstructed> repeat_;
    bool repeatDue_ = false;
};

} // namespace host
