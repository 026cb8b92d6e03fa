#include "proto/support.h"

namespace proto::detail {

using protocol::BasicIo;
using protocol::BerValue;
using protocol::EBer;

void expectTag(std::uint32_t received, std::uint32_t expected, const char* expectedName)
{
    if (received != expected)
        throw EBer("Tag mismatch, got " + std::to_string(received) + " expected " + expectedName);
}

void expectSeqTag(std::uint32_t received, bool legacy, const char* constantStem)
{
    if (received == seqTag(legacy))
        return;
    throw EBer("Tag mismatch, got " + std::to_string(received) + " expected " + constantStem +
               (legacy ? "_LEGACY" : "_CURRENT"));
}

BerValue* readBool(bool& target, std::uint32_t received)
{
    expectTag(received, protocol::BE_BOOLEAN, "BE_BOOLEAN");
    return new protocol::BerBoolean(&target);
}

BerValue* readReal(double& target, std::uint32_t received)
{
    expectTag(received, protocol::BE_REAL, "BE_REAL");
    return new protocol::BerReal(&target);
}

BerValue* readBigNum(BigNum& target, std::uint32_t received)
{
    expectTag(received, protocol::BE_INTEGER, "BE_INTEGER");
    return new protocol::BerBigNum(&target);
}

BerValue* readString(std::string& target, std::uint32_t received, bool legacy, std::uint32_t maxLength)
{
    if (legacy)
        expectTag(received, protocol::BE_STRING_LEGACY, "BE_STRING_LEGACY");
    else
        expectTag(received, protocol::BE_STRING_CURRENT, "BE_STRING_CURRENT");
    target.clear();
    return new protocol::BerString(&target, maxLength, received);
}

BerValue* readNull(bool& present)
{
    present = false;
    return new protocol::BerNull();
}

const Alternative& findAlternative(const Union& alternatives, std::uint32_t received, bool legacy, const char* where)
{
    for (std::size_t i = 0; i < alternatives.count; ++i)
        if (alternatives.alternatives[i].wireTag(legacy) == received)
            return alternatives.alternatives[i];
    throw EBer("Unexpected tag " + std::to_string(received) + " received in Union " + where);
}

BerValue* readUnion(Owned<protocol::BerConstructed>& target, const Union& alternatives, std::uint32_t received,
                    bool legacy, const char* where)
{
    target.reset(findAlternative(alternatives, received, legacy, where).make());
    return target.get();
}

void beginConstructed(BasicIo& io, std::uint32_t tag)
{
    protocol::writeIdentifier(io, tag);
    const unsigned char indefinite = 0x80;
    io.write(&indefinite, 1);
}

void endConstructed(BasicIo& io)
{
    const unsigned char endOfContents[2] = {0, 0};
    io.write(endOfContents, 2);
}

void writeBool(BasicIo& io, bool value)
{
    protocol::BerBoolean(&value).write(io, false);
}

void writeReal(BasicIo& io, double value)
{
    protocol::BerReal(&value).write(io, false);
}

void writeBigNum(BasicIo& io, const BigNum& value)
{
    protocol::BerBigNum(const_cast<BigNum*>(&value)).write(io, false);
}

void writeString(BasicIo& io, const std::string& value, bool legacy, std::uint32_t maxLength)
{
    const std::uint32_t tag = legacy ? protocol::BE_STRING_LEGACY : protocol::BE_STRING_CURRENT;
    protocol::BerString(const_cast<std::string*>(&value), maxLength, tag).write(io, legacy);
}

void writeEnumerated(BasicIo& io, std::int32_t value)
{
    protocol::BerEnumerated(&value).write(io, false);
}

void writeNull(BasicIo& io)
{
    protocol::BerNull().write(io, false);
}

void writeRequired(BasicIo& io, const BerValue* value, bool legacy, const char* member)
{
    if (value == nullptr)
        assertion(std::string(member) + " is NULL during BER write");
    value->write(io, legacy);
}

void refuseListCopy(const char* className)
{
    throw EBer(std::string("Copy constructor of ") + className + " invoked");
}

} // namespace proto::detail
