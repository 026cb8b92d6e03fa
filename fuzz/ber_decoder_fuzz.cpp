// Arbitrary bytes into the BER decoder. Every input must end in finished messages, an
// unfinished one, or protocol::EBer: any other exception, a crash, a sanitizer report or
// a leak is a finding. Finished messages are written again and the writing read back,
// which must give the same bytes.
#include "protocol/ber_decoder.h"
#include "protocol/sample_messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// The message family under test.
using FuzzFactory = sample::SampleFactory;

std::string writeMessage(const protocol::BerValue& message)
{
    std::string out;
    protocol::StringIo io(out);
    message.write(io, false);
    return out;
}

// Decodes exactly one message from the bytes, which must be used up by it.
std::unique_ptr<protocol::BerConstructed> readBack(const std::string& bytes)
{
    FuzzFactory factory;
    protocol::BerDecoder decoder(factory);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (decoder.process(data, bytes.size()) != bytes.size() || !decoder.hasMessage())
        std::abort();
    std::uint64_t size = 0;
    auto message = decoder.take(&size);
    if (size != bytes.size())
        std::abort();
    return message;
}

void checkRewrite(const protocol::BerConstructed& message)
{
    const std::string written = writeMessage(message);
    const auto again = readBack(written);
    if (writeMessage(*again) != written)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzFactory factory;
    protocol::BerDecoder decoder(factory);
    std::size_t offset = 0;
    std::uint64_t total = 0;
    try {
        while (offset < size) {
            const std::size_t used = decoder.process(data + offset, size - offset);
            offset += used;
            std::uint64_t messageSize = 0;
            auto message = decoder.take(&messageSize);
            if (message) {
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
