#pragma once
// What the generated protocol classes are built from: the owning pointer that copies through
// clone, checked_cast, the list views, and the small helpers that read, write and compare one
// field each, so that every generated function is a plain list of fields.
#include "common/assertion.h"
#include "bignum/bignum.h"
#include "protocol/ber_primitives.h"
#include "protocol/ber_value.h"
#include "protocol/spare_buffer.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace proto {

// A dynamic_cast whose failure is a broken invariant, not an input error.
template <class To, class From>
To* checked_cast(From* from)
{
    To* to = dynamic_cast<To*>(from);
    if (to == nullptr)
        assertion(std::string("checked_cast failed, (null) should have been ") + typeid(To*).name());
    return to;
}

// An owned sub-object (record, union alternative, list element). Empty after default
// construction; a copy holds a clone of the original, so copying a message is deep.
template <class T>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* value) : value_(value) {}
    Owned(const Owned& other) : value_(other.value_ ? checked_cast<T>(other.value_->clone()) : nullptr) {}
    Owned(Owned&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Owned& operator=(Owned other) noexcept
    {
        std::swap(value_, other.value_);
        return *this;
    }
    ~Owned() { delete value_; }

    T* get() const { return value_; }
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

    void reset(T* value = nullptr)
    {
        T* old = std::exchange(value_, value);
        delete old;
    }
    T* release() { return std::exchange(value_, nullptr); }

    // Replaces the sub-object by a new default-constructed U and returns it.
    template <class U = T>
    U& emplace()
    {
        U* value = new U;
        reset(value);
        return *value;
    }
    // The sub-object as a U, or null when it is empty or of another class (for unions).
    template <class U>
    U* as() const
    {
        return dynamic_cast<U*>(value_);
    }

private:
    T* value_ = nullptr;
};

// Equal when both are the same pointer (both empty included) or both are set and the
// sub-objects are equal.
template <class T>
bool operator==(const Owned<T>& a, const Owned<T>& b)
{
    if (a.get() == b.get())
        return true;
    return a && b && a->operator==(*b);
}

namespace detail {

constexpr std::uint32_t fixedTag(std::uint32_t number)
{
    return number * 8 + 3;
}
constexpr std::uint32_t pairTag(std::uint32_t number, bool legacy)
{
    return number * 8 + (legacy ? 3 : 5);
}
constexpr std::uint32_t seqTag(bool legacy)
{
    return legacy ? protocol::BE_SEQ_LEGACY : protocol::BE_SEQ_CURRENT;
}

// ---- comparison: a field is less (greater) than the other's same field

template <class T>
bool less(const T& a, const T& b)
{
    return a < b;
}
template <class T>
bool greater(const T& a, const T& b)
{
    return a > b;
}
template <class T>
bool less(const Owned<T>& a, const Owned<T>& b)
{
    return a && b && *a < *b;
}
template <class T>
bool greater(const Owned<T>& a, const Owned<T>& b)
{
    return a && b && *a > *b;
}
// Lists: of the same length and every element less (greater) than its counterpart.
template <class T>
bool less(const std::vector<T>& a, const std::vector<T>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!less(a[i], b[i]))
            return false;
    return true;
}
template <class T>
bool greater(const std::vector<T>& a, const std::vector<T>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!greater(a[i], b[i]))
            return false;
    return true;
}

// Fields with a presence flag: equal when both are absent or both present and equal; less
// and greater only when both are present.
template <class T>
bool sameOptional(bool hasA, const T& a, bool hasB, const T& b)
{
    return hasA == hasB && (!hasA || a == b);
}
template <class T>
bool lessOptional(bool hasA, const T& a, bool hasB, const T& b)
{
    return hasA && hasB && less(a, b);
}
template <class T>
bool greaterOptional(bool hasA, const T& a, bool hasB, const T& b)
{
    return hasA && hasB && greater(a, b);
}

// ---- reading: the value object that receives a field, after checking its tag

// Throws EBer "Tag mismatch, got " + received + " expected " + expectedName.
void expectTag(std::uint32_t received, std::uint32_t expected, const char* expectedName);
// As expectTag, with expectedName + "_LEGACY" or "_CURRENT".
void expectSeqTag(std::uint32_t received, bool legacy, const char* constantStem);

protocol::BerValue* readBool(bool& target, std::uint32_t received);
protocol::BerValue* readReal(double& target, std::uint32_t received);
protocol::BerValue* readBigNum(BigNum& target, std::uint32_t received);
protocol::BerValue* readString(std::string& target, std::uint32_t received, bool legacy, std::uint32_t maxLength);
// A NULL in place of a value-or-NULL field.
protocol::BerValue* readNull(bool& present);

template <class T>
protocol::BerValue* readInteger(T& target, std::uint32_t received,
                                std::type_identity_t<T> min = std::numeric_limits<T>::min(),
                                std::type_identity_t<T> max = std::numeric_limits<T>::max())
{
    expectTag(received, protocol::BE_INTEGER, "BE_INTEGER");
    return new protocol::BerIntegerTemplate<T>(&target, min, max);
}

template <class Enumeration>
protocol::BerValue* readEnumerated(std::int32_t& target, std::uint32_t received)
{
    expectTag(received, protocol::BE_ENUMERATED, "BE_ENUMERATED");
    return new Enumeration(&target);
}

template <class Record>
protocol::BerValue* readRecord(Owned<Record>& target, std::uint32_t received, bool legacy)
{
    expectSeqTag(received, legacy, Record::tagConstant);
    return &target.emplace();
}

// A list field: the view over the message's storage, which the reader deletes when the
// list is complete.
template <class List>
protocol::BerValue* readList(typename List::Storage& storage, std::uint32_t received, bool legacy)
{
    expectSeqTag(received, legacy, "BE_SEQ");
    storage.clear();
    return new List(storage);
}

// The alternatives of a union field, chosen by the received tag.
struct Alternative {
    std::uint32_t (*wireTag)(bool legacy);
    protocol::BerConstructed* (*make)();
};
struct Union {
    const Alternative* alternatives;
    std::size_t count;
};
template <class T>
protocol::BerConstructed* make()
{
    return new T;
}
// Throws EBer "Unexpected tag " + received + " received in Union " + where.
const Alternative& findAlternative(const Union& alternatives, std::uint32_t received, bool legacy, const char* where);
protocol::BerValue* readUnion(Owned<protocol::BerConstructed>& target, const Union& alternatives,
                              std::uint32_t received, bool legacy, const char* where);

// Sets the presence flag of a field once its value object exists.
inline protocol::BerValue* present(bool& flag, protocol::BerValue* value)
{
    flag = true;
    return value;
}

// ---- writing: each field through a temporary value object

void beginConstructed(protocol::BasicIo& io, std::uint32_t tag); // identifier, 0x80
void endConstructed(protocol::BasicIo& io);                      // 0x00 0x00
void writeBool(protocol::BasicIo& io, bool value);
void writeReal(protocol::BasicIo& io, double value);
void writeBigNum(protocol::BasicIo& io, const BigNum& value);
void writeString(protocol::BasicIo& io, const std::string& value, bool legacy, std::uint32_t maxLength);
void writeEnumerated(protocol::BasicIo& io, std::int32_t value);
void writeNull(protocol::BasicIo& io);
// A record or union member; an empty one is a programming error: the assertion
// member + " is NULL during BER write".
void writeRequired(protocol::BasicIo& io, const protocol::BerValue* value, bool legacy, const char* member);

template <class T>
void writeInteger(protocol::BasicIo& io, T value, std::type_identity_t<T> min = std::numeric_limits<T>::min(),
                  std::type_identity_t<T> max = std::numeric_limits<T>::max())
{
    protocol::BerIntegerTemplate<T>(&value, min, max).write(io, false);
}

template <class List>
void writeList(protocol::BasicIo& io, const typename List::Storage& storage, bool legacy)
{
    List(const_cast<typename List::Storage&>(storage)).write(io, legacy);
}

// ---- list views

[[noreturn]] void refuseListCopy(const char* className);

// What every list view shares. A view holds only a reference to the storage embedded in
// the owning message; it cannot be copied, and the reader deletes it once it is complete.
template <class Self, class Element>
class ListView : public protocol::BerConstructed {
public:
    using Storage = std::vector<Element>;

    explicit ListView(Storage& storage) : data(storage) {}
    ListView(const ListView& other) : BerConstructed(other), data(other.data) { refuseListCopy(Self::className); }
    ListView& operator=(const ListView&) = delete;

    protocol::BerValue* clone() const override { return new Self(static_cast<const Self&>(*this)); }
    std::uint32_t tag(bool legacy) const override { return seqTag(legacy); }
    void readDone() override {}
    bool operator==(const protocol::BerValue& other) const override
    {
        auto* o = dynamic_cast<const Self*>(&other);
        return o != nullptr && data == o->data;
    }
    bool operator<(const protocol::BerValue& other) const override
    {
        auto* o = dynamic_cast<const Self*>(&other);
        return o != nullptr && less(data, o->data);
    }
    bool operator>(const protocol::BerValue& other) const override
    {
        auto* o = dynamic_cast<const Self*>(&other);
        return o != nullptr && greater(data, o->data);
    }
    std::uint32_t minFields() const override { return 0; }
    bool isTransient() const override { return true; }

    Storage& data;
};

// A list of records or messages. Self names its element's tag constant (elementConstant).
template <class Self, class Element>
class RecordList : public ListView<Self, Owned<Element>> {
public:
    using ListView<Self, Owned<Element>>::ListView;

    void write(protocol::BasicIo& io, bool legacy) const override
    {
        beginConstructed(io, seqTag(legacy));
        for (const auto& element : this->data) {
            if (!element)
                assertion("(*it) is NULL during BER write");
            element->write(io, legacy);
        }
        endConstructed(io);
    }
    protocol::BerValue* child(std::uint32_t, std::uint32_t received, std::uint32_t, bool legacy) override
    {
        std::string name = std::string(Self::elementConstant) + (legacy ? "_LEGACY" : "_CURRENT");
        expectTag(received, Element::wireTag(legacy), name.c_str());
        return &this->data.emplace_back().emplace();
    }
};

// A list of union alternatives (Self::alternatives).
template <class Self>
class UnionList : public ListView<Self, Owned<protocol::BerConstructed>> {
public:
    using ListView<Self, Owned<protocol::BerConstructed>>::ListView;

    void write(protocol::BasicIo& io, bool legacy) const override
    {
        beginConstructed(io, seqTag(legacy));
        for (const auto& element : this->data) {
            if (!element)
                assertion("(*it) is NULL during BER write");
            element->write(io, legacy);
        }
        endConstructed(io);
    }
    protocol::BerValue* child(std::uint32_t, std::uint32_t received, std::uint32_t, bool legacy) override
    {
        const Alternative& alternative = findAlternative(Self::alternatives, received, legacy, "List.data->back()");
        this->data.emplace_back(alternative.make());
        return this->data.back().get();
    }
};

// A list of strings of at most Self::maxLength bytes.
template <class Self>
class StringList : public ListView<Self, std::string> {
public:
    using ListView<Self, std::string>::ListView;

    void write(protocol::BasicIo& io, bool legacy) const override
    {
        beginConstructed(io, seqTag(legacy));
        for (const std::string& element : this->data)
            writeString(io, element, legacy, Self::maxLength);
        endConstructed(io);
    }
    protocol::BerValue* child(std::uint32_t, std::uint32_t received, std::uint32_t, bool legacy) override
    {
        expectTag(received, legacy ? protocol::BE_STRING_LEGACY : protocol::BE_STRING_CURRENT,
                  legacy ? "BE_STRING_LEGACY" : "BE_STRING_CURRENT");
        return readString(this->data.emplace_back(), received, legacy, Self::maxLength);
    }
};

// A list of integers of type T within Self::minimum to Self::maximum.
template <class Self, class T>
class IntegerList : public ListView<Self, T> {
public:
    using ListView<Self, T>::ListView;

    void write(protocol::BasicIo& io, bool legacy) const override
    {
        beginConstructed(io, seqTag(legacy));
        for (T element : this->data)
            writeInteger(io, element, Self::minimum, Self::maximum);
        endConstructed(io);
    }
    protocol::BerValue* child(std::uint32_t, std::uint32_t received, std::uint32_t, bool) override
    {
        expectTag(received, protocol::BE_INTEGER, "BE_INTEGER");
        return readInteger(this->data.emplace_back(), received, Self::minimum, Self::maximum);
    }
};

} // namespace detail
} // namespace proto
