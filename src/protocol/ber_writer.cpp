#include "protocol/ber_writer.h"

#include <algorithm>
#include <cstring>

namespace protocol {

BerWriter::BerWriter(io::ByteOStream& stream) : stream_(stream)
{
    setUnderlying(&stream_, true);
}

void BerWriter::write(const BerValue& message)
{
    checkFailed();
    const std::size_t before = pending_.size();
    try {
        StringIo io(pending_);
        message.write(io, false);
    } catch (...) {
        pending_.resize(before); // no half message on the wire
        throw;
    }
    busy();
}

void BerWriter::sendFiller()
{
    checkFailed();
    fillerPending_ = true;
    busy();
}

void BerWriter::checkFailed() const
{
    if (failed_)
        throw io::EInputOutput(failure_);
}

void BerWriter::underlyingIsReady()
{
    try {
        if (pendingBytes() != 0) {
            unsigned char* window = nullptr;
            const std::size_t size = stream_.getWriteBuffer(&window);
            const std::size_t n = std::min(size, pendingBytes());
            std::memcpy(window, pending_.data() + sent_, n);
            stream_.writeCommit(n);
            consume(n);
            busy();
        } else if (fillerPending_) {
            stream_.put(kFiller);
            fillerPending_ = false;
            busy();
        } else {
            setUnderlying(&stream_, false);
            setReady(true);
        }
    } catch (const io::ENotReady&) {
        busy(); // a write is still outstanding: its completion wakes us again
    } catch (const error::Exception& e) {
        failed_ = true;
        failure_ = e.fullText();
        setUnderlying(&stream_, false);
        setReady(true);
    }
}

void BerWriter::consume(std::size_t n)
{
    sent_ += n;
    if (sent_ == pending_.size()) {
        pending_.clear();
        sent_ = 0;
    } else if (sent_ >= 65536 && sent_ >= pending_.size() / 2) {
        // Drop the sent front once it is most of the buffer, so draining stays linear.
        pending_.erase(0, sent_);
        sent_ = 0;
    }
}

void BerWriter::busy()
{
    setReady(false);
    setUnderlying(&stream_, true);
}

} // namespace protocol
