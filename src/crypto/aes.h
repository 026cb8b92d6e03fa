#pragma once
// AES (Rijndael with 128-bit blocks) for the encrypted chunks: key objects, key schedules,
// a block interface with ECB and CBC, and the whole-buffer CBC calls the chunk codec uses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bignum/bignum.h"

// A key as the configuration keeps it: its kind (0, 1, 2 for 128, 192, 256 bits) and its
// value, whose bytes least significant first are the AES key bytes.
struct AesKey {
    std::int32_t keyKind = 2;
    BigNum keyValue;
};

enum AesDirection : int { kAesEncrypt = 0, kAesDecrypt = 1 };
enum AesMode : int { kAesModeEcb = 1, kAesModeCbc = 2, kAesModeCfb1 = 3 };

// Result codes of the block interface (besides bit counts).
constexpr int kAesOk = 1;
constexpr int kAesBadCipherMode = -4;
constexpr int kAesBadCipherState = -5;
constexpr int kAesBadCipherInstance = -7;

constexpr int kAesBlockBytes = 16;
constexpr int kAesMaxRoundKeyWords = 60;

// An expanded key schedule for one direction. Its round keys are wiped on destruction.
struct AesKeyInstance {
    int direction = kAesEncrypt;
    int keyLength = 0; // bits
    int rounds = 0;    // 10, 12 or 14
    std::uint32_t roundKeys[kAesMaxRoundKeyWords] = {};

    AesKeyInstance() = default;
    AesKeyInstance(const AesKeyInstance&) = default;
    AesKeyInstance& operator=(const AesKeyInstance&) = default;
    ~AesKeyInstance();
};

// A mode and its chaining value; CBC advances the IV as blocks are processed, so
// consecutive calls continue one stream.
struct AesCipherInstance {
    int mode = kAesModeEcb;
    unsigned char iv[kAesBlockBytes] = {};
};

// 128, 192 or 256 by the key's kind; any other kind throws error::EInvariant
// "Key size of impossible length".
int keyBits(const AesKey& key);

// Fills `instance` with the schedule of `key` for `direction` (kAesEncrypt or kAesDecrypt).
// Throws error::EInvariant "BigNum encoding pad wrong" when the value needs more bytes than
// its kind has, and "Bad enc/dec to raw make-key request" for any other direction.
void makeKey(AesKeyInstance& instance, int direction, const AesKey& key);

// Sets the mode (ECB, CBC, or CFB1 which the block calls refuse) and the IV: nullptr for a
// zero IV, otherwise 32 hexadecimal digits, high digit of each byte first. Returns kAesOk,
// kAesBadCipherMode for another mode, kAesBadCipherInstance for a malformed IV text.
int cipherInit(AesCipherInstance& cipher, int mode, const char* iv);

// Processes the whole 16-byte blocks of `inputBits` bits of `input` into `output` (which
// may be `input` itself). Returns the bits processed, 0 when there is nothing to do,
// kAesBadCipherState for a missing instance or a key made for the other direction, and
// kAesBadCipherMode for a mode they cannot run.
std::int64_t blockDecrypt(AesCipherInstance* cipher, const AesKeyInstance* key, const unsigned char* input,
                          std::int64_t inputBits, unsigned char* output);
std::int64_t blockEncrypt(AesCipherInstance* cipher, const AesKeyInstance* key, const unsigned char* input,
                          std::int64_t inputBits, unsigned char* output);

// CBC from a zero IV over a whole buffer whose length is a multiple of keyBits / 8
// (32 bytes for a 256-bit key); otherwise throws error::EInvariant "AES block decryption
// called with non-padded buffer". `out` is replaced by the n resulting bytes; with the
// string forms `out` may be the same string as `in`. A run that does not cover the
// whole buffer throws error::EInvariant "AES decryption failed".
void decryptBuffer(std::string& out, const std::string& in, const AesKey& key);
// As above for `length` bytes at `in`, which must not lie inside `out`.
void decryptBuffer(std::string& out, const unsigned char* in, std::size_t length, const AesKey& key);
void encryptBuffer(std::string& out, const std::string& in, const AesKey& key);
