#pragma once
// The messages that restore-host's transcript shows field by field, those marked
// "transcribed" in protocol.desc. The generator writes visitTranscribed, which hands their
// fields to a FieldVisitor by name, in wire order, so that the transcript holds no list of
// fields of its own.
#include "protocol/ber_value.h"

#include <cstdint>
#include <string>

namespace proto {

class FieldVisitor {
public:
    virtual ~FieldVisitor() = default;

    // An integer or an enumeration.
    virtual void signedNumber(const char* name, std::int64_t value) = 0;
    virtual void unsignedNumber(const char* name, std::uint64_t value) = 0;
    // A string: text.
    virtual void text(const char* name, const std::string& value) = 0;
    // Bytes: binary data.
    virtual void bytes(const char* name, const std::string& value) = 0;
    // The message a union field holds.
    virtual void message(const char* name, const protocol::BerValue& value) = 0;
    // A field that is NULL, missing or empty.
    virtual void absent(const char* name) = 0;
};

// When the class of `message` is transcribed, hands its fields to `visitor` and gives the
// class name; otherwise null, and nothing is handed over.
const char* visitTranscribed(const protocol::BerValue& message, FieldVisitor& visitor);

} // namespace proto
