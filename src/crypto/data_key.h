#pragma once
// The data key with which encrypted chunks are decrypted: made by the driver from the
// configuration value "DataKey" before the first chunk and handed to every decode. Its
// decryption schedule is made once, when the key is made, not for every chunk.
#include "crypto/aes.h"

#include <cstddef>
#include <optional>
#include <string>

// The longest text of a 256-bit key in the configuration: 36^50 is the first power of 36
// above 2^256, so no such key needs more base-36 digits.
inline constexpr std::size_t kMaxDataKeyText = 50;

class DataKey {
public:
    // The key (kind 2, 256 bits) from its bytes, least significant first (as the configuration
    // store returns the decoded "DataKey" text).
    explicit DataKey(const std::string& keyBytes);

    const AesKey& key() const { return key_; }
    // CBC decryption from a zero IV, as decryptBuffer with key() does.
    void decrypt(std::string& out, const unsigned char* in, std::size_t length) const;

private:
    AesKey key_;
    // Empty when the key cannot make one: every decryption then says why.
    std::optional<AesKeyInstance> schedule_;
};
