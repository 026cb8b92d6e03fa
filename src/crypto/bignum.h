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
    // ... implementation-defined storage: words_ points just past the reference count.
    std::uint32_t* words_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};
