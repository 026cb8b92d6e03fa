// Arbitrary bytes from a parent or a job file, through the stream-facing BER reader; the first
// byte chooses how many bytes each stream read lends. Every input must end in messages, the
// end of the stream, or io::EInputOutput; anything else (a crash, an assertion, a sanitizer
// report, a leak) is a finding. Each message must write back to bytes that read back alike.
#include "io/memory_stream.h"
#include "io/selector.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "protocol/ber_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

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
    const auto* bytes = reinterpret_cast<const unsigned char*>(written.data());
    if (decoder.process(bytes, written.size()) != written.size() || !decoder.hasMessage())
        std::abort();
    if (writeMessage(*decoder.take()) != written)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t window = data[0] == 0 ? 131072 : data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    proto::Protocol factory;
    io::MemoryIStream stream(input, window);
    protocol::BerReader reader(factory, stream);
    try {
        for (;;) {
            io::waitReady(reader);
            std::unique_ptr<protocol::BerConstructed> message = reader.read();
            if (!message)
                std::abort(); // ready without a message, an end or a failure
            checkRewrite(*message);
        }
    } catch (const io::EInputOutput&) {
        return 0; // the end of the input, or input the reader refused
    }
}
