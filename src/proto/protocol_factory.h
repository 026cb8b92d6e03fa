#pragma once
// The message factory: the object for a received top-level tag.
#include "proto/messages.h"

namespace proto {

class Protocol : public protocol::BerProtocol {
public:
    // A new, default-constructed top-level message ([APPLICATION n]) for the internal tag,
    // the same for both encodings. Any other tag throws EBer "Unknown tag " + tag.
    protocol::BerConstructed* create(std::uint32_t tag, bool legacy) override;
};

} // namespace proto
