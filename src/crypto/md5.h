#pragma once
// Message digests: a small hash interface and its MD5 implementation.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"

namespace crypto {

// Misuse of a hash, such as feeding it after it was finalised.
class EHash : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};

class Hash {
public:
    virtual ~Hash() = default;
    // Starts a new digest.
    virtual void reset() = 0;
    virtual std::size_t digestSize() const = 0;
    virtual void update(std::size_t length, const void* data) = 0;
    virtual void update(unsigned char byte) = 0;
    // Writes digestSize() bytes once; later calls leave `digest` untouched.
    virtual void finalize(unsigned char* digest) = 0;
};

class MD5Hash : public Hash {
public:
    MD5Hash();
    ~MD5Hash() override;
    MD5Hash(const MD5Hash&) = delete;
    MD5Hash& operator=(const MD5Hash&) = delete;

    // Also forgets the cached hexDigest text, so the next one describes the new input.
    void reset() override;
    std::size_t digestSize() const override { return 16; }
    // Both throw EHash "Hash context is finalized" once the digest has been taken.
    void update(std::size_t length, const void* data) override;
    void update(unsigned char byte) override;
    void finalize(unsigned char* digest) override;

    // One byte through update(byte), any other length through update(length, data).
    void updateText(const std::string& text);
    // 32 lower-case hexadecimal digits; finalises on first use, the same text after.
    std::string hexDigest();

    struct Context;

private:
    std::unique_ptr<Context> context_;
    bool finalized_ = false;
    std::string hexCache_;
};

} // namespace crypto
