#pragma once
// AES decryption with the processor's AES instructions (AES-NI), used for the bulk of the
// work when the processor has them: CBC decryption is the cost of every encrypted chunk, and
// its blocks can be decrypted side by side. The round keys are those of the table-driven
// decryption schedule (the equivalent inverse cipher), which the instructions take as they
// are.
#include <cstddef>
#include <cstdint>

namespace crypto {

// Whether this processor has the AES instructions and their use is allowed.
bool aesHardwareUsable();
// Allows or forbids their use (tests compare both paths); returns the previous setting.
bool allowAesHardware(bool allowed);

// Decrypts `blocks` 16-byte blocks from `input` to `output` (which may be `input`) with the
// decryption round keys `roundKeys` (4 words per round, most significant byte first, as
// the table-driven schedule holds them) for `rounds` rounds. With `iv` (16 bytes) the
// blocks are chained (CBC) and `iv` is left at the last ciphertext block; without it each
// block stands alone (ECB). Call only when aesHardwareUsable().
void aesHardwareDecrypt(const std::uint32_t* roundKeys, int rounds, const unsigned char* input, std::size_t blocks,
                        unsigned char* output, unsigned char* iv);

} // namespace crypto
