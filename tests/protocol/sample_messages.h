#pragma once
// A small message family built the way the protocol classes are built: members bound to
// primitive values in child() and write(), records embedded or owned by their parent, a
// list filled through a transient view, unknown trailing fields skipped. The decoder tests
// and the decoder fuzz target read them through SampleFactory.
#include "bignum/bignum.h"
#include "protocol/ber_primitives.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace sample {

using namespace protocol;

// Refuses a field that does not have the tag its position wants.
inline void expectTag(std::uint32_t tag, std::uint32_t wanted, const char* name)
{
    if (tag != wanted)
        throw EBer("Tag mismatch, got " + std::to_string(tag) + " expected " + name);
}

inline void writeOpen(BasicIo& io, std::uint32_t tag)
{
    writeIdentifier(io, tag);
    const unsigned char indefinite = 0x80;
    io.write(&indefinite, 1);
}

inline void writeClose(BasicIo& io)
{
    const unsigned char end[2] = {0, 0};
    io.write(end, 2);
}

// Compares through the base: two derived operands would make the rewritten (reversed)
// candidate of C++20 compete with the member operator.
inline bool sameValue(const BerValue& a, const BerValue& b)
{
    return a == b;
}

inline std::uint32_t seqTag(bool legacy)
{
    return legacy ? BE_SEQ_LEGACY : BE_SEQ_CURRENT;
}
inline std::uint32_t stringTag(bool legacy)
{
    return legacy ? BE_STRING_LEGACY : BE_STRING_CURRENT;
}
inline void expectSeq(std::uint32_t tag, bool legacy)
{
    expectTag(tag, seqTag(legacy), legacy ? "BE_SEQ_LEGACY" : "BE_SEQ_CURRENT");
}
inline void expectString(std::uint32_t tag, bool legacy)
{
    expectTag(tag, stringTag(legacy), legacy ? "BE_STRING_LEGACY" : "BE_STRING_CURRENT");
}

// SEQUENCE { number INTEGER (-1000..1000), name STRING (at most 16), next Record or NULL
// OPTIONAL }: two required fields.
class Record : public BerConstructed {
public:
    static constexpr std::int32_t kMin = -1000;
    static constexpr std::int32_t kMax = 1000;
    static constexpr std::uint32_t kNameMax = 16;

    std::int32_t number = 0;
    std::string name;
    std::unique_ptr<Record> next;

    Record() = default;
    Record(std::int32_t number, std::string name) : number(number), name(std::move(name)) {}
    Record(const Record& other)
        : BerConstructed(false),
          number(other.number),
          name(other.name),
          next(other.next ? std::make_unique<Record>(*other.next) : nullptr)
    {
    }
    Record& operator=(const Record&) = delete;

    BerValue* clone() const override { return new Record(*this); }
    std::uint32_t tag(bool legacy) const override { return seqTag(legacy); }
    void readDone() override {}
    std::uint32_t minFields() const override { return 2; }

    BerValue* child(std::uint32_t position, std::uint32_t tag, std::uint32_t, bool legacy) override
    {
        switch (position) {
        case 0:
            expectTag(tag, BE_INTEGER, "BE_INTEGER");
            return new BerIntegerTemplate<std::int32_t>(&number, kMin, kMax);
        case 1: expectString(tag, legacy); return new BerString(&name, kNameMax, stringTag(legacy));
        case 2:
            if (tag == BE_NULL) {
                next.reset();
                return new BerNull;
            }
            expectSeq(tag, legacy);
            next = std::make_unique<Record>();
            return next.get();
        default: return makeSkipper(tag);
        }
    }

    bool operator==(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Record*>(&other);
        if (that == nullptr || number != that->number || name != that->name)
            return false;
        if (!next || !that->next)
            return next == that->next;
        return sameValue(*next, *that->next);
    }
    bool operator<(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Record*>(&other);
        return that != nullptr && number < that->number && name < that->name;
    }
    bool operator>(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Record*>(&other);
        return that != nullptr && number > that->number && name > that->name;
    }

    void write(BasicIo& io, bool legacy) const override
    {
        writeOpen(io, tag(legacy));
        std::int32_t n = number;
        BerIntegerTemplate<std::int32_t>(&n, kMin, kMax).write(io, legacy);
        std::string s = name;
        BerString(&s, kNameMax, stringTag(legacy)).write(io, legacy);
        if (next)
            next->write(io, legacy);
        writeClose(io);
    }
};

// The view through which the decoder fills a list of 64-bit integers; deleted by the
// decoder when the list closes.
class Int64ListView : public BerConstructed {
public:
    explicit Int64ListView(std::vector<std::int64_t>& items) : items_(items) {}
    BerValue* clone() const override { return new Int64ListView(*this); }
    std::uint32_t tag(bool legacy) const override { return seqTag(legacy); }
    void readDone() override {}
    std::uint32_t minFields() const override { return 0; }
    bool isTransient() const override { return true; }
    BerValue* child(std::uint32_t, std::uint32_t tag, std::uint32_t, bool) override
    {
        expectTag(tag, BE_INTEGER, "BE_INTEGER");
        // The previous element is complete (and its value object gone) before the next
        // one begins, so growing the vector cannot leave a value bound to a moved item.
        items_.push_back(0);
        return new BerIntegerTemplate<std::int64_t>(&items_.back(), std::numeric_limits<std::int64_t>::min(),
                                                    std::numeric_limits<std::int64_t>::max());
    }
    bool operator==(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Int64ListView*>(&other);
        return that != nullptr && items_ == that->items_;
    }
    bool operator<(const BerValue&) const override { return false; }
    bool operator>(const BerValue&) const override { return false; }
    void write(BasicIo& io, bool legacy) const override
    {
        writeOpen(io, tag(legacy));
        for (std::int64_t item : items_)
            BerIntegerTemplate<std::int64_t>(&item, std::numeric_limits<std::int64_t>::min(),
                                             std::numeric_limits<std::int64_t>::max())
                .write(io, legacy);
        writeClose(io);
    }

private:
    std::vector<std::int64_t>& items_;
};

// [APPLICATION 5] (identifier 0x65): id, record, values, then optional flag, ratio, kind,
// total, key. Two required fields.
class Sample : public BerConstructed {
public:
    static constexpr std::uint32_t kTag = 5 * 8 + 3;

    std::uint32_t id = 0;
    Record record;
    std::vector<std::int64_t> values;
    bool flag = false;
    double ratio = 0.0;
    std::int32_t kind = 0;
    std::uint64_t total = 0;
    BigNum key;

    Sample() = default;
    Sample(const Sample& other) = default;
    Sample& operator=(const Sample&) = delete;

    BerValue* clone() const override { return new Sample(*this); }
    std::uint32_t tag(bool) const override { return kTag; }
    void readDone() override {}
    std::uint32_t minFields() const override { return 2; }

    BerValue* child(std::uint32_t position, std::uint32_t tag, std::uint32_t, bool legacy) override
    {
        switch (position) {
        case 0:
            expectTag(tag, BE_INTEGER, "BE_INTEGER");
            return new BerIntegerTemplate<std::uint32_t>(&id, 0, std::numeric_limits<std::uint32_t>::max());
        case 1: expectSeq(tag, legacy); return &record;
        case 2:
            expectSeq(tag, legacy);
            values.clear();
            return new Int64ListView(values);
        case 3: expectTag(tag, BE_BOOLEAN, "BE_BOOLEAN"); return new BerBoolean(&flag);
        case 4: expectTag(tag, BE_REAL, "BE_REAL"); return new BerReal(&ratio);
        case 5: expectTag(tag, BE_ENUMERATED, "BE_ENUMERATED"); return new BerEnumerated(&kind);
        case 6:
            expectTag(tag, BE_INTEGER, "BE_INTEGER");
            return new BerIntegerTemplate<std::uint64_t>(&total, 0, std::numeric_limits<std::uint64_t>::max());
        case 7: expectTag(tag, BE_INTEGER, "BE_INTEGER"); return new BerBigNum(&key);
        default: return makeSkipper(tag);
        }
    }

    bool operator==(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Sample*>(&other);
        return that != nullptr && id == that->id && sameValue(record, that->record) && values == that->values &&
               flag == that->flag && ratio == that->ratio && kind == that->kind && total == that->total &&
               key == that->key;
    }
    bool operator<(const BerValue&) const override { return false; }
    bool operator>(const BerValue&) const override { return false; }

    void write(BasicIo& io, bool legacy) const override
    {
        writeOpen(io, kTag);
        // The bound values take their targets by pointer; write from copies.
        std::uint32_t i = id;
        std::vector<std::int64_t> v = values;
        bool f = flag;
        double r = ratio;
        std::int32_t k = kind;
        std::uint64_t t = total;
        BigNum b = key;
        BerIntegerTemplate<std::uint32_t>(&i, 0, std::numeric_limits<std::uint32_t>::max()).write(io, legacy);
        record.write(io, legacy);
        Int64ListView(v).write(io, legacy);
        BerBoolean(&f).write(io, legacy);
        BerReal(&r).write(io, legacy);
        BerEnumerated(&k).write(io, legacy);
        BerIntegerTemplate<std::uint64_t>(&t, 0, std::numeric_limits<std::uint64_t>::max()).write(io, legacy);
        BerBigNum(&b).write(io, legacy);
        writeClose(io);
    }
};

// [APPLICATION 300] (identifier 7F 82 2C), no fields.
class Ping : public BerConstructed {
public:
    static constexpr std::uint32_t kTag = 300 * 8 + 3;

    BerValue* clone() const override { return new Ping(*this); }
    std::uint32_t tag(bool) const override { return kTag; }
    void readDone() override {}
    std::uint32_t minFields() const override { return 0; }
    BerValue* child(std::uint32_t, std::uint32_t tag, std::uint32_t, bool) override { return makeSkipper(tag); }
    bool operator==(const BerValue& other) const override { return dynamic_cast<const Ping*>(&other) != nullptr; }
    bool operator<(const BerValue& other) const override { return *this == other; }
    bool operator>(const BerValue& other) const override { return *this == other; }
    void write(BasicIo& io, bool) const override
    {
        writeOpen(io, kTag);
        writeClose(io);
    }
};

// [APPLICATION 6] (identifier 0x66): one string of up to 2 MiB, the size class of chunk data.
class Blob : public BerConstructed {
public:
    static constexpr std::uint32_t kTag = 6 * 8 + 3;
    static constexpr std::uint32_t kDataMax = 2 * 1024 * 1024;

    std::string data;

    BerValue* clone() const override { return new Blob(*this); }
    std::uint32_t tag(bool) const override { return kTag; }
    void readDone() override {}
    std::uint32_t minFields() const override { return 1; }
    BerValue* child(std::uint32_t position, std::uint32_t tag, std::uint32_t, bool legacy) override
    {
        if (position != 0)
            return makeSkipper(tag);
        expectString(tag, legacy);
        return new BerString(&data, kDataMax, stringTag(legacy));
    }
    bool operator==(const BerValue& other) const override
    {
        const auto* that = dynamic_cast<const Blob*>(&other);
        return that != nullptr && data == that->data;
    }
    bool operator<(const BerValue&) const override { return false; }
    bool operator>(const BerValue&) const override { return false; }
    void write(BasicIo& io, bool legacy) const override
    {
        writeOpen(io, kTag);
        std::string d = data;
        BerString(&d, kDataMax, stringTag(legacy)).write(io, legacy);
        writeClose(io);
    }
};

class SampleFactory : public BerProtocol {
public:
    BerConstructed* create(std::uint32_t tag, bool) override
    {
        switch (tag) {
        case Sample::kTag: return new Sample;
        case Ping::kTag: return new Ping;
        case Blob::kTag: return new Blob;
        default: throw EBer("Unknown tag " + std::to_string(tag));
        }
    }
};

} // namespace sample
