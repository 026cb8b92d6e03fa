#include "bignum/bignum.h"

#include "common/assertion.h"
#include "common/error.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Overwrites words so that the stores survive optimisation even though the memory is
// freed right after.
void wipe(std::uint32_t* words, std::size_t count)
{
    volatile std::uint32_t* p = words;
    for (std::size_t i = 0; i < count; ++i)
        p[i] = 0;
}

} // namespace

std::uint32_t* BigNum::allocate(std::size_t capacity)
{
    auto* block = new std::uint32_t[capacity + 1]();
    block[0] = 1;
    return block + 1;
}

std::uint32_t& BigNum::shareCount(std::uint32_t* words)
{
    std::uint32_t& count = words[-1];
    // Outside this range the array has been freed or overwritten: nothing can be trusted.
    if (count < 1 || count > kMaxShares)
        std::abort();
    return count;
}

void BigNum::release()
{
    if (words_ != nullptr) {
        std::uint32_t& count = shareCount(words_);
        if (--count == 0) {
            std::uint32_t* block = words_ - 1;
            wipe(block, capacity_ + 1);
            delete[] block;
        }
    }
    words_ = nullptr;
    length_ = 0;
    capacity_ = 0;
}

void BigNum::makePrivate(std::size_t capacity)
{
    if (words_ != nullptr && shareCount(words_) == 1 && capacity_ >= capacity)
        return;
    std::size_t newCapacity = std::max({capacity, capacity_, std::size_t{1}});
    std::uint32_t* fresh = allocate(newCapacity);
    std::size_t length = length_;
    std::copy(words_, words_ + length, fresh);
    release();
    words_ = fresh;
    length_ = length;
    capacity_ = newCapacity;
}

void BigNum::normalise()
{
    while (length_ > 0 && words_[length_ - 1] == 0)
        --length_;
}

BigNum::BigNum() = default;

BigNum::BigNum(std::uint32_t word)
{
    if (word != 0) {
        words_ = allocate(1);
        words_[0] = word;
        length_ = 1;
        capacity_ = 1;
    }
}

BigNum::BigNum(const BigNum& other)
{
    *this = other;
}

BigNum& BigNum::operator=(const BigNum& other)
{
    if (this == &other || words_ == other.words_)
        return *this;
    release();
    if (other.words_ == nullptr)
        return *this;
    std::uint32_t& count = shareCount(other.words_);
    if (count < kMaxShares) {
        ++count;
        words_ = other.words_;
        length_ = other.length_;
        capacity_ = other.capacity_;
    } else {
        capacity_ = std::max(other.length_, std::size_t{1});
        words_ = allocate(capacity_);
        length_ = other.length_;
        std::copy(other.words_, other.words_ + length_, words_);
    }
    return *this;
}

BigNum::~BigNum()
{
    release();
}

void BigNum::resize(std::size_t words)
{
    if (words < length_)
        assertion("Bad reallocation in BigNum");
    if (words == 0)
        return;
    makePrivate(words);
    std::fill(words_ + length_, words_ + words, 0u);
    length_ = words;
}

bool BigNum::operator==(const BigNum& b) const
{
    return length_ == b.length_ && std::equal(words_, words_ + length_, b.words_);
}

bool BigNum::operator<(const BigNum& b) const
{
    if (length_ != b.length_)
        return length_ < b.length_;
    for (std::size_t i = length_; i-- > 0;) {
        if (words_[i] != b.words_[i])
            return words_[i] < b.words_[i];
    }
    return false;
}

BigNum BigNum::add(const BigNum& a, const BigNum& b)
{
    std::size_t words = std::max(a.length_, b.length_) + 1;
    BigNum sum;
    sum.resize(words);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < words; ++i) {
        carry += std::uint64_t{a.word(i)} + b.word(i);
        sum.words_[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    sum.normalise();
    return sum;
}

void BigNum::addTo(const BigNum& b)
{
    *this = add(*this, b);
}

BigNum BigNum::multiply(const BigNum& a, const BigNum& b)
{
    BigNum product;
    if (a.isZero() || b.isZero())
        return product;
    std::size_t lenA = a.length_;
    std::size_t lenB = b.length_;
    product.resize(lenA + lenB);
    std::uint32_t* r = product.words_;
    for (std::size_t i = 0; i < lenA; ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < lenB; ++j) {
            std::uint64_t t = std::uint64_t{r[i + j]} + std::uint64_t{a.words_[i]} * b.words_[j] + carry;
            r[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (r[i + lenB] != 0)
            assertion("Multiplication error in BigNum");
        r[i + lenB] = static_cast<std::uint32_t>(carry);
    }
    product.normalise();
    return product;
}

void BigNum::multiplyWord(std::uint32_t w)
{
    resize(length_ + 1);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < length_; ++i) {
        carry += std::uint64_t{words_[i]} * w;
        words_[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    normalise();
}

void BigNum::shiftLeft(unsigned bits)
{
    if (isZero() || bits == 0)
        return;
    std::size_t wordShift = bits / 32;
    unsigned bitShift = bits % 32;
    std::size_t oldLength = length_;
    resize(oldLength + wordShift + 1);
    std::copy_backward(words_, words_ + oldLength, words_ + oldLength + wordShift);
    std::fill(words_, words_ + wordShift, 0u);
    if (bitShift != 0) {
        std::uint32_t carry = 0;
        for (std::size_t i = 0; i < length_; ++i) {
            std::uint32_t out = words_[i] >> (32 - bitShift);
            words_[i] = (words_[i] << bitShift) | carry;
            carry = out;
        }
        if (carry != 0)
            assertion("Shift error in BigNum");
    }
    normalise();
}

void BigNum::shiftRightWords(std::uint32_t* words, std::size_t count, unsigned bits)
{
    std::size_t wordShift = bits / 32;
    unsigned bitShift = bits % 32;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t src = i + wordShift;
        std::uint32_t low = src < count ? words[src] >> bitShift : 0;
        std::uint32_t high = bitShift != 0 && src + 1 < count ? words[src + 1] << (32 - bitShift) : 0;
        words[i] = low | high;
    }
}

BigNum BigNum::fromBytesLE(const std::string& bytes)
{
    BigNum value;
    value.resize((bytes.size() + 3) / 4);
    for (std::size_t k = 0; k < bytes.size(); ++k)
        value.words_[k / 4] |= std::uint32_t{static_cast<unsigned char>(bytes[k])} << (8 * (k % 4));
    value.normalise();
    return value;
}

BigNum BigNum::fromBytesBE(const unsigned char* bytes, std::size_t count)
{
    BigNum value;
    value.resize((count + 3) / 4);
    for (std::size_t k = 0; k < count; ++k) {
        std::uint32_t& w = value.words_[(count - k - 1) / 4];
        w = (w << 8) | bytes[k];
    }
    value.normalise();
    return value;
}

std::string BigNum::toBytesLE(std::size_t minimumLength) const
{
    std::string bytes;
    BigNum rest(*this);
    rest.makePrivate(rest.length_);
    while (!rest.isZero()) {
        bytes.push_back(static_cast<char>(rest.words_[0] & 0xFF));
        shiftRightWords(rest.words_, rest.length_, 8);
        rest.normalise();
    }
    if (bytes.size() < minimumLength)
        bytes.resize(minimumLength, '\0');
    return bytes;
}

void BigNum::getDataBE(unsigned char* buffer, std::size_t& size) const
{
    std::size_t wanted = 4 * length_;
    if (size < wanted) {
        size = wanted;
        throw error::EInvariant("Buffer given to bn_get_data is too small (wanted " + std::to_string(wanted) + ")");
    }
    std::size_t written = 0;
    bool leading = true;
    for (std::size_t i = length_; i-- > 0;) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            auto byte = static_cast<unsigned char>(words_[i] >> shift);
            if (leading && byte == 0)
                continue;
            leading = false;
            buffer[written++] = byte;
        }
    }
    std::fill(buffer + written, buffer + size, static_cast<unsigned char>(0));
    size = written;
}

std::string BigNum::toHex(std::size_t minimumDigits) const
{
    static const char digits[] = "0123456789abcdef";
    std::size_t count = std::max(8 * length_, minimumDigits);
    std::string text(count, '0');
    BigNum rest(*this);
    rest.makePrivate(rest.length_);
    for (std::size_t i = count; i-- > 0 && !rest.isZero();) {
        text[i] = digits[rest.words_[0] & 0xF];
        shiftRightWords(rest.words_, rest.length_, 4);
        rest.normalise();
    }
    return text;
}
