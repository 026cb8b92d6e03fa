#pragma once
// The primitive value classes. A value does not hold its datum: it is bound to a target
// variable that lives in a message, decodes into it in readDone and encodes from it in
// write. A clone owns a heap copy of its datum (owns flag set).
#include "bignum/bignum.h"
#include "protocol/ber_value.h"

#include <cstdint>
#include <memory>
#include <string>

namespace protocol {

// A primitive whose contents are collected into a buffer of bounded length.
class BerShortValue : public BerPrimitive {
public:
    explicit BerShortValue(std::uint32_t maxLength, bool owns = false);
    BerShortValue(const BerShortValue& other);
    BerShortValue& operator=(const BerShortValue&) = delete;

    // Throws EBer "Data value exceeds maximum allowed length " n " > " max.
    void setLength(std::uint32_t n) override;
    void append(const unsigned char* bytes, std::uint32_t count) override;
    // Same class of value, same content length and bytes.
    bool operator==(const BerValue& other) const override;
    // By content length only.
    bool operator<(const BerValue& other) const override;
    bool operator>(const BerValue& other) const override;

    std::uint32_t contentLength() const { return length_; }
    const unsigned char* content() const { return content_.get(); }

protected:
    // Identifier, definite length and contents.
    static void writePrimitive(BasicIo& io, std::uint32_t tag, const unsigned char* bytes, std::uint32_t count);

    std::uint32_t length_ = 0;
    std::uint32_t filled_ = 0;
    std::unique_ptr<unsigned char[]> content_;
    std::uint32_t maxLength_;
};

class BerBoolean : public BerShortValue {
public:
    explicit BerBoolean(bool* target, std::uint32_t tag = BE_BOOLEAN);
    ~BerBoolean() override;
    BerBoolean(const BerBoolean& other); // the copy owns a copy of the datum
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override;
    void write(BasicIo& io, bool legacy) const override;

private:
    bool* target_;
    std::uint32_t tag_;
};

class BerReal : public BerShortValue {
public:
    explicit BerReal(double* target, std::uint32_t tag = BE_REAL);
    ~BerReal() override;
    BerReal(const BerReal& other);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override;
    void write(BasicIo& io, bool legacy) const override;

private:
    double* target_;
    std::uint32_t tag_;
};

// T is std::int32_t, std::uint32_t, std::int64_t or std::uint64_t; the error texts name
// them int, unsigned int, __int64 and unsigned __int64.
template <class T>
class BerIntegerTemplate : public BerShortValue {
public:
    BerIntegerTemplate(T* target, T min, T max, std::uint32_t tag = BE_INTEGER);
    ~BerIntegerTemplate() override;
    BerIntegerTemplate(const BerIntegerTemplate& other);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    // Decodes, then checks min <= value <= max (EBer "data out of range in ...").
    void readDone() override;
    void write(BasicIo& io, bool legacy) const override;

private:
    T* target_;
    T min_, max_;
    std::uint32_t tag_;
};

extern template class BerIntegerTemplate<std::int32_t>;
extern template class BerIntegerTemplate<std::uint32_t>;
extern template class BerIntegerTemplate<std::int64_t>;
extern template class BerIntegerTemplate<std::uint64_t>;

class BerBigNum : public BerShortValue {
public:
    explicit BerBigNum(BigNum* target, std::uint32_t tag = BE_INTEGER);
    ~BerBigNum() override;
    BerBigNum(const BerBigNum& other);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override;
    void write(BasicIo& io, bool legacy) const override;

private:
    BigNum* target_;
    std::uint32_t tag_;
};

class BerNull : public BerShortValue {
public:
    explicit BerNull(std::uint32_t tag = BE_NULL);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override {}
    void write(BasicIo& io, bool legacy) const override;

private:
    std::uint32_t tag_;
};

// An enumeration: ENUMERATED in both encodings, at most 4 content bytes, bound to a
// signed 32-bit target, no range check. The generated enumeration classes derive from it.
class BerEnumerated : public BerShortValue {
public:
    explicit BerEnumerated(std::int32_t* target);
    ~BerEnumerated() override;
    BerEnumerated(const BerEnumerated& other);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override;
    void write(BasicIo& io, bool legacy) const override;

private:
    std::int32_t* target_;
};

class BerString : public BerPrimitive {
public:
    BerString(std::string* target, std::uint32_t maxLength, std::uint32_t tag);
    ~BerString() override;
    BerString(const BerString& other);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    // Throws EBer "String exceeds allowed length " n " > " max.
    void setLength(std::uint32_t n) override;
    void append(const unsigned char* bytes, std::uint32_t count) override;
    void readDone() override {}
    bool operator==(const BerValue& other) const override;
    bool operator<(const BerValue& other) const override;
    bool operator>(const BerValue& other) const override;
    void write(BasicIo& io, bool legacy) const override;

private:
    std::string* target_;
    std::uint32_t maxLength_;
    std::uint32_t tag_;
};

// Stand-ins for fields that the receiving class does not know: read and dropped.
class BerPrimitiveSkipper : public BerPrimitive {
public:
    explicit BerPrimitiveSkipper(std::uint32_t tag);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void setLength(std::uint32_t) override {}
    void append(const unsigned char*, std::uint32_t) override {}
    void readDone() override {}
    bool operator==(const BerValue& other) const override;
    bool operator<(const BerValue& other) const override; // assertion
    bool operator>(const BerValue& other) const override; // assertion
    void write(BasicIo& io, bool legacy) const override;  // EFatal

private:
    std::uint32_t tag_;
};

class BerConstructedSkipper : public BerConstructed {
public:
    explicit BerConstructedSkipper(std::uint32_t tag);
    BerValue* clone() const override;
    std::uint32_t tag(bool legacy) const override;
    void readDone() override {}
    bool operator==(const BerValue& other) const override;
    bool operator<(const BerValue& other) const override; // assertion
    bool operator>(const BerValue& other) const override; // assertion
    void write(BasicIo& io, bool legacy) const override;  // EFatal
    BerValue* child(std::uint32_t position, std::uint32_t tag, std::uint32_t reserved, bool legacy) override;
    std::uint32_t minFields() const override { return 0; }
    bool isTransient() const override { return true; }

private:
    std::uint32_t tag_;
};

// A skipper for a received tag: constructed bit set → BerConstructedSkipper, else
// BerPrimitiveSkipper; owns flag clear.
BerValue* makeSkipper(std::uint32_t tag);

} // namespace protocol
