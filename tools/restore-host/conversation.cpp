#include "conversation.h"

#include "crypto/chunk_codec.h"
#include "proto/messages.h"

#include <algorithm>
#include <cstdint>

namespace host {

const char Conversation::kForeignName[] = "C:\\not-in-this-job\\object.bin";

namespace {

// Bytes that no BER reader accepts: an identifier whose tag number runs on without end.
const char kMalformed[] = "\x7f\xff\xff\xff\xff\xff\xff\xff\x7f\x00";

// A ClientRestoreJob of 5 content bytes whose second field, 5 bytes long, begins at its
// fourth: a value that overruns its definite-length parent.
const char kOverrun[] = "\x7f\x82\x30\x05\x02\x01\x07\x04\x03\x41\x42\x43\x05\x00";

Outgoing wrapped(protocol::BerConstructed* response)
{
    auto wrapper = std::make_unique<proto::MessageExchangeResponse>();
    wrapper->response.reset(response);
    Outgoing out;
    out.message = std::move(wrapper);
    return out;
}

Outgoing wrapped(std::unique_ptr<protocol::BerConstructed> response)
{
    return wrapped(response.release());
}

proto::RestoreStatus* status(std::int32_t value)
{
    auto* reply = new proto::RestoreStatus;
    reply->status = value;
    return reply;
}

std::vector<Outgoing> one(Outgoing out)
{
    std::vector<Outgoing> list;
    list.push_back(std::move(out));
    return list;
}

} // namespace

Conversation::Conversation(const backupset::ChunkStore& store, std::int32_t logLevel, const Faults& faults,
                           std::size_t servedObjects)
    : store_(store), servedObjects_(std::min(servedObjects, store.objectCount())), logLevel_(logLevel), faults_(faults)
{
    std::uint64_t keptBytes = 0;
    for (std::size_t position = 0; position < servedObjects_; ++position) {
        backupset::ChunkFileReader reader = store_.chunks(position);
        setChunksLeft_ += chunksToServe(position, reader.chunkCount());
        // A small object's only chunk is read now: serving it then costs no file of its own,
        // which is most of what serving a tiny object costs.
        if (reader.chunkCount() == 1 && store_.object(position).size <= kKeptObjectSize && keptBytes < kKeptTotal) {
            std::string container;
            reader.next(container);
            keptBytes += container.size();
            kept_.emplace(position, std::move(container));
        }
    }
}

std::uint32_t Conversation::chunksToServe(std::size_t position, std::uint32_t stored) const
{
    return faults_.shortObject == position && stored > 1 ? stored / 2 : stored;
}

bool Conversation::inputShouldClose() const
{
    return faults_.closeInputAfter && messagesFromWorker_ >= *faults_.closeInputAfter;
}

std::vector<Outgoing> Conversation::answer(const protocol::BerConstructed& message)
{
    ++messagesFromWorker_;
    if (dynamic_cast<const proto::GetLogLevel*>(&message)) {
        auto reply = std::make_unique<proto::CurrentLogLevel>();
        reply->level = logLevel_;
        Outgoing out;
        out.message = std::move(reply);
        return one(std::move(out));
    }
    auto* request = dynamic_cast<const proto::MessageExchangeRequest*>(&message);
    if (request == nullptr || !request->request)
        return {};
    std::vector<Outgoing> replies;
    if (dynamic_cast<const proto::RestoreInquiry*>(request->request.get()))
        replies = answerInquiry();
    else if (dynamic_cast<const proto::ChunkRequest*>(request->request.get()))
        replies = answerChunkRequest();
    // Each reply answers the request's exchange, and completes it.
    for (Outgoing& out : replies) {
        if (auto* wrapper = dynamic_cast<proto::MessageExchangeResponse*>(out.message.get())) {
            wrapper->exchangeNumber = request->exchangeNumber;
            wrapper->complete = true;
        }
    }
    return replies;
}

std::vector<Outgoing> Conversation::answerInquiry()
{
    const std::uint64_t round = inquiries_++;
    if (faults_.malformedReply && round == 0) {
        Outgoing out;
        out.raw.assign(kMalformed, sizeof kMalformed - 1);
        return one(std::move(out));
    }
    if (faults_.bareStatus) {
        Outgoing out;
        out.message.reset(status(proto::RestoreStatusType::Ready));
        return one(std::move(out));
    }
    if (faults_.wrongReplyType)
        return one(wrapped(new proto::ChunkNone));
    if (round < faults_.notReadyRounds)
        return one(wrapped(status(proto::RestoreStatusType::NotReady)));
    return one(wrapped(status(faults_.status.value_or(proto::RestoreStatusType::Ready))));
}

std::vector<Outgoing> Conversation::answerChunkRequest()
{
    const std::uint64_t request = chunkRequests_++;
    if (request == 0) {
        if (faults_.chunkNoneFirst)
            return one(wrapped(new proto::ChunkNone));
        if (faults_.unexpectedChunkReply)
            return one(wrapped(status(proto::RestoreStatusType::Ready)));
        if (faults_.overrunReply) {
            Outgoing out;
            out.raw.assign(kOverrun, sizeof kOverrun - 1);
            return one(std::move(out));
        }
        if (faults_.foreignChunk) {
            auto* chunk = new proto::ChunkResponse;
            chunk->name = kForeignName;
            chunk->remainingChunks = static_cast<std::uint32_t>(std::min<std::uint64_t>(setChunksLeft_, UINT32_MAX));
            chunk->data = "CTCNforeign data";
            return one(wrapped(chunk));
        }
    }
    if (repeat_ && repeatDue_)
        return one(wrapped(std::move(repeat_)));
    return one(wrapped(nextChunk()));
}

bool Conversation::openNextObject()
{
    if (started_)
        ++position_;
    started_ = true;
    if (position_ >= servedObjects_)
        return false;
    auto kept = kept_.find(position_);
    if (kept != kept_.end()) {
        keptChunk_ = std::move(kept->second);
        kept_.erase(kept);
        reader_.reset();
    } else {
        keptChunk_.reset();
        reader_.emplace(store_.chunks(position_));
    }
    objectOpen_ = true;
    chunkIndex_ = 0;
    chunksToSend_ = chunksToServe(position_, keptChunk_ ? 1 : reader_->chunkCount());
    return true;
}

std::unique_ptr<protocol::BerConstructed> Conversation::nextChunk()
{
    while (!objectOpen_ || chunkIndex_ >= chunksToSend_) {
        if (!openNextObject()) {
            // A repeat still waiting goes out before the end.
            if (repeat_)
                return std::move(repeat_);
            reader_.reset();
            keptChunk_.reset();
            objectOpen_ = false;
            started_ = true;
            position_ = servedObjects_;
            return std::make_unique<proto::ChunkNone>();
        }
    }
    auto chunk = std::make_unique<proto::ChunkResponse>();
    chunk->name = store_.object(position_).name;
    chunk->chunkIndex = chunkIndex_;
    // As a server counts them: the chunks of the whole restore still to come after this one.
    --setChunksLeft_;
    chunk->remainingChunks = static_cast<std::uint32_t>(std::min<std::uint64_t>(setChunksLeft_, UINT32_MAX));
    if (keptChunk_)
        chunk->data = std::move(*keptChunk_);
    else if (!reader_->next(chunk->data))
        throw backupset::ChunkStoreError("chunk file of object " + std::to_string(position_) + " ends early");
    if (faults_.corruptObject == position_ && chunkIndex_ == 0)
        chunk->data.replace(0, std::min<std::size_t>(4, chunk->data.size()), "XXXX");
    const std::uint64_t size = store_.object(position_).size;
    const std::uint64_t offset = std::uint64_t{chunkIndex_} * kChunkSize;
    bytesServed_ += offset < size ? std::min<std::uint64_t>(kChunkSize, size - offset) : 0;
    ++chunkIndex_;
    if (chunkIndex_ == chunksToSend_)
        ++objectsServed_;
    if (faults_.repeatAfterComplete == position_ && chunkIndex_ == chunksToSend_)
        repeat_.reset(chunk->clone());
    // The object completes when the next one begins: the repeat follows that first chunk.
    repeatDue_ = repeat_ && faults_.repeatAfterComplete < position_;
    return chunk;
}

} // namespace host
