#pragma once
// The BER value model: the run-time classes that messages are built from, that the reader
// fills and that the writer serialises.
//
// A tag is one 32-bit "internal tag": tag number × 8 + class × 2 + constructed bit. For a
// one-octet identifier b it is (b & 0x1F) × 8 | (b >> 5): BOOLEAN 8, INTEGER 16, OCTET
// STRING 32, NULL 40, REAL 72, ENUMERATED 80, SEQUENCE 129, IA5String 176.
#include "io/errors.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace protocol {

// Malformed input, or a value that does not fit its field.
class EBer : public io::EInputOutput {
    using EInputOutput::EInputOutput;
};

constexpr std::uint32_t BE_BOOLEAN = 8;
constexpr std::uint32_t BE_INTEGER = 16;
constexpr std::uint32_t BE_STRING_CURRENT = 32;
constexpr std::uint32_t BE_NULL = 40;
constexpr std::uint32_t BE_REAL = 72;
constexpr std::uint32_t BE_ENUMERATED = 80;
constexpr std::uint32_t BE_SEQ_CURRENT = 129;
constexpr std::uint32_t BE_STRING_LEGACY = 176;
constexpr std::uint32_t BE_SEQ_LEGACY = 1;
constexpr std::uint32_t BE_END_OF_CONTENTS = 0;
constexpr std::uint32_t BE_FILLER = 200; // the byte 0x19, skipped by the reader

constexpr bool isConstructedTag(std::uint32_t tag)
{
    return (tag & 1) != 0;
}

// Where `write` puts its bytes.
class BasicIo {
public:
    virtual ~BasicIo() = default;
    virtual void write(const void* data, std::size_t count) = 0;
    virtual void flush() {}
};

// A BasicIo that appends to a byte buffer.
class StringIo : public BasicIo {
public:
    explicit StringIo(std::string& out) : out_(out) {}
    void write(const void* data, std::size_t count) override { out_.append(static_cast<const char*>(data), count); }

private:
    std::string& out_;
};

// Identifier octets of an internal tag, and the definite length octets.
void writeIdentifier(BasicIo& io, std::uint32_t tag);
void writeLength(BasicIo& io, std::uint32_t length);

class BerValue {
public:
    explicit BerValue(bool owns = false) : owns(owns) {}
    virtual ~BerValue() = default;
    virtual BerValue* clone() const = 0;
    virtual std::uint32_t tag(bool legacy) const = 0;
    // The contents are complete: decode into the target.
    virtual void readDone() = 0;
    virtual bool operator==(const BerValue& other) const = 0;
    virtual bool operator<(const BerValue& other) const = 0;
    virtual bool operator>(const BerValue& other) const = 0;
    virtual void write(BasicIo& io, bool legacy) const = 0;

    // Set when the value owns its target storage (a clone); the reader deletes values
    // whose flag is clear once they are complete.
    bool owns;
};

class BerPrimitive : public BerValue {
public:
    using BerValue::BerValue;
    // The content length is known: prepare for n bytes (throws EBer beyond the maximum).
    virtual void setLength(std::uint32_t n) = 0;
    // A piece of the contents arrived.
    virtual void append(const unsigned char* bytes, std::uint32_t count) = 0;
};

class BerConstructed : public BerValue {
public:
    using BerValue::BerValue;
    // The value that receives field `position` (0-based) arriving with `tag`; throws EBer
    // when the tag does not fit. `reserved` is always 0.
    virtual BerValue* child(std::uint32_t position, std::uint32_t tag, std::uint32_t reserved, bool legacy) = 0;
    // How many leading fields must have arrived when the value ends.
    virtual std::uint32_t minFields() const = 0;
    // True when the reader deletes the value once it is complete (list views, skippers).
    virtual bool isTransient() const { return false; }
};

// Makes the top-level message object for a received tag.
class BerProtocol {
public:
    virtual ~BerProtocol() = default;
    // Throws EBer "Unknown tag " + tag for a tag that is not a top-level message.
    virtual BerConstructed* create(std::uint32_t tag, bool legacy) = 0;
};

} // namespace protocol
