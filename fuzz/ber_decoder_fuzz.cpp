// Arbitrary bytes into the BER decoder over the protocol's classes, fed whole. Every input
// must end in finished messages, an unfinished one, or protocol::EBer; anything else is a
// finding, and so are message sizes beyond the input's or a message that does not write
// back to bytes that read back alike.
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string writeMessage(const protocol::BerValue& message)
{
    std::string out;
    protocol::StringIo io(out);
    message.write(io, false);
    return out;
}

void checkRewrite(const protocol::BerConstructed& message)
{
    const std::string written = writeMessage(message);
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    std::uint64_t size = 0;
    if (decoder.process(reinterpret_cast<const unsigned char*>(written.data()), written.size()) != written.size() ||
        writeMessage(*decoder.take(&size)) != written || size != written.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    std::uint64_t total = 0;
    try {
        for (std::size_t offset = 0; offset < size;) {
            const std::size_t used = decoder.process(data + offset, size - offset);
            offset += used;
            std::uint64_t messageSize = 0;
            if (auto message = decoder.take(&messageSize)) {
                total += messageSize;
                checkRewrite(*message);
            } else if (used == 0) {
                std::abort(); // no progress without a message
            }
        }
    } catch (const protocol::EBer&) {
        return 0;
    }
    if (total > size)
        std::abort();
    return 0;
}
