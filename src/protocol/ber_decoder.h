#pragma once
// The incremental BER decoder: bytes in, complete top-level messages out. It keeps the
// stack of open constructed values between calls, so a message may arrive in any number
// of pieces. The stream-facing BerReader feeds it.
#include "protocol/ber_value.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace protocol {

class BerDecoder {
public:
    // Constructed values nested deeper than this are refused (EBer): deeper nesting than
    // any message uses, and it keeps the recursive destructors, comparisons and writers
    // of the message classes within the stack.
    static constexpr std::size_t kMaxDepth = 1024;

    explicit BerDecoder(BerProtocol& factory, bool legacy = false);
    ~BerDecoder(); // releases a partly decoded message
    BerDecoder(const BerDecoder&) = delete;
    BerDecoder& operator=(const BerDecoder&) = delete;

    // Consumes bytes until they are used up or a top-level message is finished, and
    // returns how many it consumed (0 while a finished message waits to be taken). Throws
    // EBer for malformed input and releases the partial message; every later call throws
    // EBer with the same text.
    std::size_t process(const unsigned char* data, std::size_t count);

    bool hasMessage() const;
    // The finished message (ownership to the caller) and its size in bytes, counted from
    // the end of the previous message (filler and zero bytes before it included); empty
    // and 0 when none is finished.
    std::unique_ptr<BerConstructed> take(std::uint64_t* size = nullptr);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace protocol
