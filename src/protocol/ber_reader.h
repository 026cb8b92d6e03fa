#pragma once
// BerReader: messages out of an input byte stream, decoded as the bytes arrive. It is a
// stacked selectable over its stream: it waits on the stream while it has no complete
// message, and is ready when one is complete or when the stream ended or failed. It never
// blocks: its owner waits for it (io::waitReady) and then calls read.
#include "io/byte_stream.h"
#include "io/selectable.h"
#include "protocol/ber_decoder.h"
#include "protocol/ber_value.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace protocol {

class BerReader : public io::StackedSelectable {
public:
    // `factory` makes the top-level message objects; both must outlive the reader.
    BerReader(BerProtocol& factory, io::ByteIStream& stream);

    std::string name() const override { return "BerReader on " + stream_.name(); }
    // The stream has bytes or has ended: decode what it lends.
    using StackedSelectable::underlyingIsReady;
    void underlyingIsReady() override;

    // The next complete message (ownership to the caller), or null when none is complete
    // yet. Throws io::EEndOfStream "End of BER stream" once the stream has ended, and
    // io::EInputOutput with the original text once decoding or the stream failed.
    std::unique_ptr<BerConstructed> read();
    // The size in bytes of the message that read returned last.
    std::uint64_t lastMessageSize() const { return lastMessageSize_; }

private:
    // Decodes from the window until it is used up or a message is complete; a used-up
    // window is committed to the stream.
    void processInput();
    // Waits on the stream exactly while no message is complete; ready when one is.
    void settle();
    // The stream ended or failed: no more input, and read reports it.
    void stop();

    io::ByteIStream& stream_;
    // The bytes the stream lent: window_[windowPos_, windowEnd_) are not decoded yet.
    const unsigned char* window_ = nullptr;
    std::size_t windowPos_ = 0;
    std::size_t windowEnd_ = 0;
    BerDecoder decoder_;
    bool endOfStream_ = false;
    bool failed_ = false;
    std::string failure_;
    std::uint64_t lastMessageSize_ = 0;
};

} // namespace protocol
