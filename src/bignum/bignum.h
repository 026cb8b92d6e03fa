#pragma once
// Unsigned arbitrary-precision integer for the data key and the protocol's big numbers.
// Words are 32-bit, least significant first, in an array shared between copies
// (copy-on-write) whose words are zeroed before it is freed: no key material is left in
// freed memory.
#include <cstddef>
#include <cstdint>
#include <string>

class BigNum {
public:
    BigNum();
    explicit BigNum(std::uint32_t word);
    BigNum(const BigNum& other);            // shares the array
    BigNum& operator=(const BigNum& other); // shares the array of the source
    ~BigNum();

    // Makes the array private and at least `words` long; new words are zero; the length
    // becomes `words` (the caller normalises). Fewer words than the length is a broken
    // invariant ("Bad reallocation in BigNum").
    void resize(std::size_t words);

    std::size_t length() const { return length_; }
    std::uint32_t word(std::size_t i) const { return i < length_ ? words_[i] : 0; }
    bool isZero() const { return length_ == 0; }

    bool operator==(const BigNum& b) const;
    bool operator!=(const BigNum& b) const { return !(*this == b); }
    bool operator<(const BigNum& b) const;
    bool operator>(const BigNum& b) const { return b < *this; }

    static BigNum add(const BigNum& a, const BigNum& b);
    void addTo(const BigNum& b);
    static BigNum multiply(const BigNum& a, const BigNum& b);
    void multiplyWord(std::uint32_t w);
    void shiftLeft(unsigned bits);

    // First byte least significant.
    static BigNum fromBytesLE(const std::string& bytes);
    // First byte most significant.
    static BigNum fromBytesBE(const unsigned char* bytes, std::size_t count);
    // Least significant byte first, no high zero bytes, then zero-padded to minimumLength.
    std::string toBytesLE(std::size_t minimumLength) const;
    // Most significant byte first without leading zeros at the start of buffer; size
    // becomes their count, the rest is zeroed. Throws error::EInvariant when the buffer is
    // smaller than 4 × length bytes (size is then set to what was wanted).
    void getDataBE(unsigned char* buffer, std::size_t& size) const;
    // Lower-case hexadecimal, max(8 × length, minimumDigits) digits.
    std::string toHex(std::size_t minimumDigits) const;

private:
    // words_ points just past the reference count word of its allocation (words_[-1]).
    // Words between length_ and capacity_ are kept zero.
    std::uint32_t* words_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;

    // An array shared by this many values is not shared further: the next copy gets its
    // own array, so a live count never leaves 1..kMaxShares.
    static constexpr std::uint32_t kMaxShares = 1000;

    static std::uint32_t* allocate(std::size_t capacity);
    // Validated reference count of a live array (aborts when it is out of range).
    static std::uint32_t& shareCount(std::uint32_t* words);
    // Drops this value's hold on its array, zeroing and freeing it when it was the last.
    void release();
    // Takes a private array of at least `capacity` words holding the current value.
    void makePrivate(std::size_t capacity);
    void normalise();
    // Shifts `count` words right by `bits` in place; zeros enter at the top.
    static void shiftRightWords(std::uint32_t* words, std::size_t count, unsigned bits);
};
