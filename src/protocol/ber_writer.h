#pragma once
// BerWriter: messages into an output byte stream without blocking. A message is encoded at
// once into the pending bytes, which drain into the stream whenever it can take them, driven
// by the selector loop: the writer is a stacked selectable over its stream, busy while bytes
// (or a filler step) remain and ready when all is sent. Stream failures are kept and
// reported by the next write, sendFiller or checkFailed.
#include "io/byte_stream.h"
#include "io/selectable.h"
#include "protocol/ber_value.h"

#include <cstddef>
#include <string>

namespace protocol {

class BerWriter : public io::StackedSelectable {
public:
    static constexpr unsigned char kFiller = 0x19;

    // The stream must outlive the writer.
    explicit BerWriter(io::ByteOStream& stream);

    std::string name() const override { return "BerWriter on " + stream_.name(); }

    // Encodes `message` and queues its bytes.
    void write(const BerValue& message);
    // Queues a filler step after the pending bytes: a one-byte put on the stream.
    void sendFiller();
    // The stream can take bytes: hand it the next part of the pending bytes.
    using StackedSelectable::underlyingIsReady;
    void underlyingIsReady() override;
    // Throws io::EInputOutput with the stream's failure, if one happened.
    void checkFailed() const;

    bool failed() const { return failed_; }
    std::size_t pendingBytes() const { return pending_.size() - sent_; }

private:
    void consume(std::size_t n);
    void busy();

    io::ByteOStream& stream_;
    // pending_[sent_, end) is still to be handed to the stream.
    std::string pending_;
    std::size_t sent_ = 0;
    bool fillerPending_ = false;
    bool failed_ = false;
    std::string failure_;
};

} // namespace protocol
