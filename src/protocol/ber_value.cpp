#include "protocol/ber_value.h"

#include "common/assertion.h"

namespace protocol {

void writeIdentifier(BasicIo& io, std::uint32_t tag)
{
    const auto leading = static_cast<unsigned char>((tag & 7) << 5);
    if (tag < 0xF8) {
        const unsigned char octet = leading | static_cast<unsigned char>(tag >> 3);
        io.write(&octet, 1);
        return;
    }
    // High tag number form: the number in base 128, most significant group first, every
    // octet but the last with its top bit set. A 29-bit number needs at most 5 groups.
    unsigned char octets[6];
    octets[0] = leading | 0x1F;
    std::uint32_t number = tag >> 3;
    unsigned char groups[5];
    std::size_t count = 0;
    do {
        groups[count++] = static_cast<unsigned char>(number & 0x7F);
        number >>= 7;
    } while (number != 0 && count < 5);
    if (number != 0 || groups[count - 1] == 0 || groups[count - 1] > 0x7F)
        assertion("Tag encoding failed");
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char group = groups[count - 1 - i];
        octets[1 + i] = i + 1 < count ? static_cast<unsigned char>(group | 0x80) : group;
    }
    io.write(octets, 1 + count);
}

void writeLength(BasicIo& io, std::uint32_t length)
{
    if (length < 0x80) {
        const auto octet = static_cast<unsigned char>(length);
        io.write(&octet, 1);
        return;
    }
    std::size_t n = 1;
    while (n < 4 && (length >> (8 * n)) != 0)
        ++n;
    unsigned char octets[5];
    octets[0] = static_cast<unsigned char>(0x80 + n);
    for (std::size_t i = 0; i < n; ++i)
        octets[1 + i] = static_cast<unsigned char>(length >> (8 * (n - 1 - i)));
    io.write(octets, 1 + n);
}

} // namespace protocol
