#include "proto/protocol_factory.h"

#include <string>

namespace proto {

protocol::BerConstructed* Protocol::create(std::uint32_t tag, bool)
{
    if (protocol::BerConstructed* message = detail::newTopLevelMessage(tag))
        return message;
    throw protocol::EBer("Unknown tag " + std::to_string(tag));
}

} // namespace proto
