#pragma once
// The data key with which encrypted chunks are decrypted: set once by the driver from the
// configuration value "DataKey" before the first chunk, read by every decode. Its decryption
// schedule is made when it is set, not for every chunk.
#include "crypto/aes.h"

#include <cstddef>
#include <string>

// The longest text of a 256-bit key in the configuration: 36^50 is the first power of 36
// above 2^256, so no such key needs more base-36 digits.
inline constexpr std::size_t kMaxDataKeyText = 50;

// The process-wide key (kind 2, 256 bits).
const AesKey& dataKey();
// Sets the key from its bytes, least significant first (as the configuration store
// returns the decoded "DataKey" text).
void setDataKey(const std::string& keyBytes);

// CBC decryption from a zero IV with the data key, as decryptBuffer with dataKey() does.
void decryptWithDataKey(std::string& out, const unsigned char* in, std::size_t length);
