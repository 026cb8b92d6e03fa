#include "protocol/ber_primitives.h"

#include "common/assertion.h"
#include "common/error.h"
#include "protocol/spare_buffer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace protocol {

// ---------------------------------------------------------------------------------------
// BerShortValue

BerShortValue::BerShortValue(std::uint32_t maxLength, bool owns) : BerPrimitive(owns), maxLength_(maxLength)
{
}

BerShortValue::BerShortValue(const BerShortValue& other)
    : BerPrimitive(other.owns), length_(other.length_), filled_(other.filled_), maxLength_(other.maxLength_)
{
    if (other.content_) {
        content_ = std::make_unique<unsigned char[]>(length_);
        if (length_ != 0)
            std::memcpy(content_.get(), other.content_.get(), length_);
    }
}

void BerShortValue::setLength(std::uint32_t n)
{
    if (n > maxLength_)
        throw EBer("Data value exceeds maximum allowed length " + std::to_string(n) + " > " +
                   std::to_string(maxLength_));
    content_ = std::make_unique<unsigned char[]>(n);
    length_ = n;
    filled_ = 0;
}

void BerShortValue::append(const unsigned char* bytes, std::uint32_t count)
{
    if (count > length_ - filled_)
        assertion("BerShortValue::append beyond the announced length");
    if (count != 0)
        std::memcpy(content_.get() + filled_, bytes, count);
    filled_ += count;
}

bool BerShortValue::operator==(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerShortValue*>(&other);
    if (that == nullptr || that->length_ != length_)
        return false;
    return length_ == 0 || std::memcmp(content_.get(), that->content_.get(), length_) == 0;
}

bool BerShortValue::operator<(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerShortValue*>(&other);
    return that != nullptr && length_ < that->length_;
}

bool BerShortValue::operator>(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerShortValue*>(&other);
    return that != nullptr && length_ > that->length_;
}

void BerShortValue::writePrimitive(BasicIo& io, std::uint32_t tag, const unsigned char* bytes, std::uint32_t count)
{
    writeIdentifier(io, tag);
    writeLength(io, count);
    if (count != 0)
        io.write(bytes, count);
}

// ---------------------------------------------------------------------------------------
// BerBoolean

BerBoolean::BerBoolean(bool* target, std::uint32_t tag) : BerShortValue(1), target_(target), tag_(tag)
{
}

BerBoolean::~BerBoolean()
{
    if (owns)
        delete target_;
}

BerBoolean::BerBoolean(const BerBoolean& other)
    : BerShortValue(other), target_(new bool(*other.target_)), tag_(other.tag_)
{
    owns = true;
}

BerValue* BerBoolean::clone() const
{
    return new BerBoolean(*this);
}
std::uint32_t BerBoolean::tag(bool) const
{
    return tag_;
}

void BerBoolean::readDone()
{
    *target_ = length_ != 0 && content_[0] != 0;
}

void BerBoolean::write(BasicIo& io, bool) const
{
    const unsigned char byte = *target_ ? 1 : 0;
    writePrimitive(io, tag_, &byte, 1);
}

// ---------------------------------------------------------------------------------------
// BerReal

namespace {
constexpr std::uint32_t kRealMaxLength = 60;
constexpr std::size_t kRealMaxText = 58;
} // namespace

BerReal::BerReal(double* target, std::uint32_t tag) : BerShortValue(kRealMaxLength), target_(target), tag_(tag)
{
}

BerReal::~BerReal()
{
    if (owns)
        delete target_;
}

BerReal::BerReal(const BerReal& other) : BerShortValue(other), target_(new double(*other.target_)), tag_(other.tag_)
{
    owns = true;
}

BerValue* BerReal::clone() const
{
    return new BerReal(*this);
}
std::uint32_t BerReal::tag(bool) const
{
    return tag_;
}

void BerReal::readDone()
{
    if (length_ == 0) {
        *target_ = 0.0;
        return;
    }
    switch (content_[0]) {
    case 0x00: {
        // strtod needs a terminated text; an embedded zero byte makes the text incomplete
        // and is refused below.
        const std::string text(reinterpret_cast<const char*>(content_.get()) + 1, length_ - 1);
        const char* begin = text.c_str();
        char* end = nullptr;
        const double value = std::strtod(begin, &end);
        if (text.empty() || end != begin + text.size())
            throw EBer("Parse error in real number");
        *target_ = value;
        return;
    }
    case 0x40: *target_ = std::numeric_limits<double>::infinity(); return;
    case 0x41: *target_ = -std::numeric_limits<double>::infinity(); return;
    case 0x60: *target_ = 0.0; return;
    default: throw EBer("Unsupported real number format revceived");
    }
}

void BerReal::write(BasicIo& io, bool) const
{
    const double x = *target_;
    if (std::isinf(x)) {
        const unsigned char byte = x > 0 ? 0x40 : 0x41;
        writePrimitive(io, tag_, &byte, 1);
        return;
    }
    if (x == 0.0) {
        writePrimitive(io, tag_, nullptr, 0);
        return;
    }
    unsigned char contents[1 + kRealMaxText + 1];
    contents[0] = 0x00;
    const int printed = std::snprintf(reinterpret_cast<char*>(contents + 1), kRealMaxText + 1, "%e", x);
    if (printed < 0 || static_cast<std::size_t>(printed) > kRealMaxText)
        throw error::EInvariant("String representation of double larger than buffer");
    writePrimitive(io, tag_, contents, static_cast<std::uint32_t>(1 + printed));
}

// ---------------------------------------------------------------------------------------
// BerIntegerTemplate

namespace {

template <class T>
struct IntegerTraits;
template <>
struct IntegerTraits<std::int32_t> {
    static constexpr const char* name = "int";
    static constexpr std::uint32_t maxLength = 4;
};
template <>
struct IntegerTraits<std::uint32_t> {
    static constexpr const char* name = "unsigned int";
    static constexpr std::uint32_t maxLength = 5;
};
template <>
struct IntegerTraits<std::int64_t> {
    static constexpr const char* name = "__int64";
    static constexpr std::uint32_t maxLength = 8;
};
template <>
struct IntegerTraits<std::uint64_t> {
    static constexpr const char* name = "unsigned __int64";
    static constexpr std::uint32_t maxLength = 9;
};

template <class T>
[[noreturn]] void throwOutOfRange(const char* operation, T min, T value, T max)
{
    throw EBer(std::string("data out of range in BerIntegerTemplate<") + IntegerTraits<T>::name + ">::" + operation +
               " " + std::to_string(min) + " <= " + std::to_string(value) + " <= " + std::to_string(max));
}

// Big-endian content bytes: two's complement for signed types, plain for unsigned ones,
// shortest form (an unsigned value whose top bit is set gets a leading zero byte).
template <class T>
std::uint32_t encodeInteger(T value, unsigned char* out)
{
    constexpr int width = static_cast<int>(sizeof(T));
    std::uint32_t count = 0;
    if constexpr (std::is_signed_v<T>) {
        for (int k = width - 1; k >= 0; --k) {
            const T high = k == 0 ? T(1) : static_cast<T>(value >> (8 * k - 1));
            if (high != 0 && high != -1)
                out[count++] = static_cast<unsigned char>(value >> (8 * k));
        }
    } else {
        if ((value >> (8 * width - 1)) != 0)
            out[count++] = 0;
        for (int k = width - 1; k >= 0; --k) {
            if (k == 0 || (value >> (8 * k - 1)) != 0)
                out[count++] = static_cast<unsigned char>(value >> (8 * k));
        }
    }
    return count;
}

} // namespace

template <class T>
BerIntegerTemplate<T>::BerIntegerTemplate(T* target, T min, T max, std::uint32_t tag)
    : BerShortValue(IntegerTraits<T>::maxLength), target_(target), min_(min), max_(max), tag_(tag)
{
}

template <class T>
BerIntegerTemplate<T>::~BerIntegerTemplate()
{
    if (owns)
        delete target_;
}

template <class T>
BerIntegerTemplate<T>::BerIntegerTemplate(const BerIntegerTemplate& other)
    : BerShortValue(other), target_(new T(*other.target_)), min_(other.min_), max_(other.max_), tag_(other.tag_)
{
    owns = true;
}

template <class T>
BerValue* BerIntegerTemplate<T>::clone() const
{
    return new BerIntegerTemplate(*this);
}

template <class T>
std::uint32_t BerIntegerTemplate<T>::tag(bool) const
{
    return tag_;
}

template <class T>
void BerIntegerTemplate<T>::readDone()
{
    using U = std::make_unsigned_t<T>;
    U bits = 0;
    std::uint32_t i = 0;
    if constexpr (std::is_signed_v<T>) {
        if (length_ != 0)
            bits = static_cast<U>(static_cast<T>(static_cast<signed char>(content_[i++])));
    } else {
        if (length_ == IntegerTraits<T>::maxLength && content_[0] != 0)
            throw EBer("data out of range in BerIntegerTemplate");
    }
    for (; i < length_; ++i)
        bits = static_cast<U>(bits << 8) | content_[i];
    const T value = static_cast<T>(bits);
    if (value < min_ || value > max_)
        throwOutOfRange("readDone", min_, value, max_);
    *target_ = value;
}

template <class T>
void BerIntegerTemplate<T>::write(BasicIo& io, bool) const
{
    const T value = *target_;
    if (value < min_ || value > max_)
        throwOutOfRange("write", min_, value, max_);
    unsigned char contents[IntegerTraits<T>::maxLength];
    const std::uint32_t count = encodeInteger(value, contents);
    writePrimitive(io, tag_, contents, count);
}

template class BerIntegerTemplate<std::int32_t>;
template class BerIntegerTemplate<std::uint32_t>;
template class BerIntegerTemplate<std::int64_t>;
template class BerIntegerTemplate<std::uint64_t>;

// ---------------------------------------------------------------------------------------
// BerBigNum

namespace {
constexpr std::uint32_t kBigNumMaxLength = 1040;
} // namespace

BerBigNum::BerBigNum(BigNum* target, std::uint32_t tag) : BerShortValue(kBigNumMaxLength), target_(target), tag_(tag)
{
}

BerBigNum::~BerBigNum()
{
    if (owns)
        delete target_;
}

BerBigNum::BerBigNum(const BerBigNum& other)
    : BerShortValue(other), target_(new BigNum(*other.target_)), tag_(other.tag_)
{
    owns = true;
}

BerValue* BerBigNum::clone() const
{
    return new BerBigNum(*this);
}
std::uint32_t BerBigNum::tag(bool) const
{
    return tag_;
}

void BerBigNum::readDone()
{
    *target_ = BigNum::fromBytesBE(content_.get(), length_);
}

void BerBigNum::write(BasicIo& io, bool) const
{
    unsigned char contents[kBigNumMaxLength];
    std::size_t size = sizeof contents;
    target_->getDataBE(contents, size); // EInvariant when the number needs more bytes
    writePrimitive(io, tag_, contents, static_cast<std::uint32_t>(size));
}

// ---------------------------------------------------------------------------------------
// BerNull

BerNull::BerNull(std::uint32_t tag) : BerShortValue(0), tag_(tag)
{
}
BerValue* BerNull::clone() const
{
    return new BerNull(*this);
}
std::uint32_t BerNull::tag(bool) const
{
    return tag_;
}
void BerNull::write(BasicIo& io, bool) const
{
    writePrimitive(io, tag_, nullptr, 0);
}

// ---------------------------------------------------------------------------------------
// BerEnumerated

BerEnumerated::BerEnumerated(std::int32_t* target) : BerShortValue(4), target_(target)
{
}

BerEnumerated::~BerEnumerated()
{
    if (owns)
        delete target_;
}

BerEnumerated::BerEnumerated(const BerEnumerated& other)
    : BerShortValue(other), target_(new std::int32_t(*other.target_))
{
    owns = true;
}

BerValue* BerEnumerated::clone() const
{
    return new BerEnumerated(*this);
}
std::uint32_t BerEnumerated::tag(bool) const
{
    return BE_ENUMERATED;
}

void BerEnumerated::readDone()
{
    std::uint32_t bits = 0;
    if (length_ != 0)
        bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(content_[0])));
    for (std::uint32_t i = 1; i < length_; ++i)
        bits = (bits << 8) | content_[i];
    *target_ = static_cast<std::int32_t>(bits);
}

void BerEnumerated::write(BasicIo& io, bool) const
{
    // Byte k is written when the value has bits above its low 8k - 1; zero has no bytes.
    const auto bits = static_cast<std::uint32_t>(*target_);
    unsigned char contents[4];
    std::uint32_t count = 0;
    if ((bits & ~0x7FFFFFu) != 0)
        contents[count++] = static_cast<unsigned char>(bits >> 24);
    if ((bits & ~0x7FFFu) != 0)
        contents[count++] = static_cast<unsigned char>(bits >> 16);
    if ((bits & ~0x7Fu) != 0)
        contents[count++] = static_cast<unsigned char>(bits >> 8);
    if (bits != 0)
        contents[count++] = static_cast<unsigned char>(bits);
    writePrimitive(io, BE_ENUMERATED, contents, count);
}

// ---------------------------------------------------------------------------------------
// BerString

namespace {
[[noreturn]] void throwStringTooLong(std::uint64_t n, std::uint32_t max)
{
    throw EBer("String exceeds allowed length " + std::to_string(n) + " > " + std::to_string(max));
}
} // namespace

BerString::BerString(std::string* target, std::uint32_t maxLength, std::uint32_t tag)
    : target_(target), maxLength_(maxLength), tag_(tag)
{
}

BerString::~BerString()
{
    if (owns)
        delete target_;
}

BerString::BerString(const BerString& other)
    : BerPrimitive(true), target_(new std::string(*other.target_)), maxLength_(other.maxLength_), tag_(other.tag_)
{
}

BerValue* BerString::clone() const
{
    return new BerString(*this);
}
std::uint32_t BerString::tag(bool) const
{
    return tag_;
}

void BerString::setLength(std::uint32_t n)
{
    if (n > maxLength_)
        throwStringTooLong(n, maxLength_);
    // The contents are copied once, straight into their final place. A declared length is
    // only a promise: beyond a few chunks' worth the string grows as bytes really arrive,
    // so a few hostile bytes cannot make the worker hold a field's whole maximum. A large
    // string takes the storage that an earlier message left (see spare_buffer.h).
    const std::size_t wanted = n < kSpareMaximum ? n : kSpareMaximum;
    if (wanted >= kSpareMinimum)
        takeSpare(*target_, wanted);
    target_->clear();
    target_->reserve(wanted);
}

void BerString::append(const unsigned char* bytes, std::uint32_t count)
{
    target_->append(reinterpret_cast<const char*>(bytes), count);
}

bool BerString::operator==(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerString*>(&other);
    return that != nullptr && (that->target_ == target_ || *that->target_ == *target_);
}

bool BerString::operator<(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerString*>(&other);
    return that != nullptr && *target_ < *that->target_;
}

bool BerString::operator>(const BerValue& other) const
{
    const auto* that = dynamic_cast<const BerString*>(&other);
    return that != nullptr && *target_ > *that->target_;
}

void BerString::write(BasicIo& io, bool) const
{
    if (target_->size() > maxLength_)
        throwStringTooLong(target_->size(), maxLength_);
    const auto length = static_cast<std::uint32_t>(target_->size());
    writeIdentifier(io, tag_);
    writeLength(io, length);
    if (length != 0)
        io.write(target_->data(), length);
}

// ---------------------------------------------------------------------------------------
// Skippers

BerPrimitiveSkipper::BerPrimitiveSkipper(std::uint32_t tag) : tag_(tag)
{
}
BerValue* BerPrimitiveSkipper::clone() const
{
    return new BerPrimitiveSkipper(*this);
}
std::uint32_t BerPrimitiveSkipper::tag(bool) const
{
    return tag_;
}

bool BerPrimitiveSkipper::operator==(const BerValue& other) const
{
    return dynamic_cast<const BerPrimitiveSkipper*>(&other) != nullptr;
}

bool BerPrimitiveSkipper::operator<(const BerValue&) const
{
    assertion("Cannot call operator< for BerPrimitiveSkipper");
}
bool BerPrimitiveSkipper::operator>(const BerValue&) const
{
    assertion("Cannot call operator> for BerPrimitiveSkipper");
}
void BerPrimitiveSkipper::write(BasicIo&, bool) const
{
    throw error::EFatal("BerPrimitiveSkipper::write invoked");
}

BerConstructedSkipper::BerConstructedSkipper(std::uint32_t tag) : tag_(tag)
{
}
BerValue* BerConstructedSkipper::clone() const
{
    return new BerConstructedSkipper(*this);
}
std::uint32_t BerConstructedSkipper::tag(bool) const
{
    return tag_;
}

bool BerConstructedSkipper::operator==(const BerValue& other) const
{
    return dynamic_cast<const BerConstructedSkipper*>(&other) != nullptr;
}

bool BerConstructedSkipper::operator<(const BerValue&) const
{
    assertion("Cannot call operator< for BerConstructedSkipper");
}
bool BerConstructedSkipper::operator>(const BerValue&) const
{
    assertion("Cannot call operator> for BerConstructedSkipper");
}
void BerConstructedSkipper::write(BasicIo&, bool) const
{
    throw error::EFatal("BerConstructedSkipper::write invoked");
}

BerValue* BerConstructedSkipper::child(std::uint32_t, std::uint32_t tag, std::uint32_t, bool)
{
    return makeSkipper(tag);
}

BerValue* makeSkipper(std::uint32_t tag)
{
    if (isConstructedTag(tag))
        return new BerConstructedSkipper(tag);
    return new BerPrimitiveSkipper(tag);
}

} // namespace protocol
