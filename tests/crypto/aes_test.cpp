#include "crypto/aes.h"
#include "crypto/aes_hardware.h"
#include "crypto/data_key.h"

#include "common/error.h"
#include "support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using support::expectThrows;
using support::hex;
using support::patterned;
using support::unhex;

unsigned char* bytesOf(std::string& s)
{
    return reinterpret_cast<unsigned char*>(s.data());
}

// The key bytes k[0], k[1], ... are the value written least significant byte first.
AesKey keyFromBytes(std::int32_t kind, const std::string& keyHex)
{
    return AesKey{kind, BigNum::fromBytesLE(unhex(keyHex))};
}

// FIPS-197, appendix C: one block in ECB with each key length.
TEST(AesBlock, FipsVectors)
{
    const std::string plain = "00112233445566778899aabbccddeeff";
    const struct {
        std::int32_t kind;
        std::string key;
        std::string cipher;
    } vectors[] = {
        {0, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {1, "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {2, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& v : vectors) {
        const AesKey key = keyFromBytes(v.kind, v.key);
        AesCipherInstance cipher;
        ASSERT_EQ(cipherInit(cipher, kAesModeEcb, nullptr), kAesOk);
        AesKeyInstance encrypt, decrypt;
        makeKey(encrypt, kAesEncrypt, key);
        makeKey(decrypt, kAesDecrypt, key);
        std::string in = unhex(plain), out(16, '\0');
        EXPECT_EQ(blockEncrypt(&cipher, &encrypt, bytesOf(in), 128, bytesOf(out)), 128);
        EXPECT_EQ(hex(out), hex(unhex(v.cipher))) << "kind " << v.kind;
        in = unhex(v.cipher);
        EXPECT_EQ(blockDecrypt(&cipher, &decrypt, bytesOf(in), 128, bytesOf(out)), 128);
        EXPECT_EQ(hex(out), hex(unhex(plain))) << "kind " << v.kind;
    }
}

// CBC from a zero IV, made with
//   printf '<plain>' | openssl enc -aes-256-cbc -nopad -K <key> -iv 00000000000000000000000000000000 | xxd -p
// where <key> is the key bytes k[0..31] in hexadecimal. The second key's value is below
// 2^248: its top byte is zero and must be padded back.
TEST(AesBuffer, CbcVectorsInEveryForm)
{
    const struct {
        std::string key;
        std::string plain;
        std::string cipher;
    } vectors[] = {
        {"627ec6361d005a11aa3cc3f39593aa170d75ae583cb934405c4b707c55d32995",
         "Sixty-four bytes of plain text, encrypted in four CBC blocks....",
         "137d00c95d88f03084fae0ab269c0cb319b48899d7ec008ebc78297eea37c7db"
         "cc467947b09a506a0eae8c6d6550060242e7afda5418b213354dfb70a3e76d42"},
        {"8b1f0e3c5a7d92e4f60c1b2a3948576675849302a1b2c3d4e5f60718293a4b00",
         "Ninety-six bytes: six blocks, and a key whose top byte is zero so its value is below 2^248......",
         "ca56513f24e0be5ef70722b3f88aa65e352fabd6d8a6162f68fb80ff4a6ae45b"
         "0a1241555c83764d3ba05dc5a1e90e385827c797d95f3839a19d595f52b8ee54"
         "2993cd0e2e80770885ae8c95d91d6cd9404010e957b1996b55efafb4b88433b6"},
    };
    for (const auto& v : vectors) {
        const AesKey key = keyFromBytes(2, v.key);
        std::string cipher = unhex(v.cipher);
        std::string out = "stale contents longer than the result " + std::string(100, '.');
        decryptBuffer(out, cipher, key);
        EXPECT_EQ(out, v.plain);
        decryptBuffer(out, bytesOf(cipher), cipher.size(), key);
        EXPECT_EQ(out, v.plain);
        AesKeyInstance schedule;
        makeKey(schedule, kAesDecrypt, key);
        decryptBuffer(out, bytesOf(cipher), cipher.size(), schedule);
        EXPECT_EQ(out, v.plain);
        decryptBuffer(cipher, cipher, key); // in place, and every call from a zero IV
        EXPECT_EQ(cipher, v.plain);
        encryptBuffer(out, v.plain, key);
        EXPECT_EQ(hex(out), hex(unhex(v.cipher)));
    }
}

// A length that is no multiple of the key's (32 bytes for 256 bits), a key value wider than
// its kind, a kind beyond 2, a schedule made for encryption, and 24-byte units that whole
// blocks do not cover: each refused with its text, a length before the output is touched.
TEST(AesBuffer, RefusalsAndTheirTexts)
{
    const std::string nonPadded = "AES block decryption called with non-padded buffer";
    const AesKey key{2, BigNum::fromBytesLE(patterned(32, 3))};
    const AesKey key128{0, BigNum::fromBytesLE(patterned(16, 3))};
    const AesKey key192{1, BigNum(1)};
    const AesKey tooWide{2, BigNum::fromBytesLE(std::string(33, '\x01'))};
    AesKeyInstance schedule, encryption;
    makeKey(schedule, kAesDecrypt, key);
    makeKey(encryption, kAesEncrypt, key);
    std::string in48 = patterned(48, 1), in32 = patterned(32, 1), out = "previous";
    const struct {
        const char* what;
        std::function<void()> action;
        std::string text;
    } cases[] = {
        {"48 bytes", [&] { decryptBuffer(out, in48, key); }, nonPadded},
        {"48 bytes encrypted", [&] { encryptBuffer(out, in48, key); }, nonPadded},
        {"48 bytes with a schedule", [&] { decryptBuffer(out, bytesOf(in48), in48.size(), schedule); }, nonPadded},
        {"16 bytes", [&] { decryptBuffer(out, patterned(16, 1), key); }, nonPadded},
        {"8 bytes, 128-bit key", [&] { decryptBuffer(out, patterned(8, 1), key128); }, nonPadded},
        {"key wider than its kind", [&] { decryptBuffer(out, in32, tooWide); }, "BigNum encoding pad wrong"},
        {"key wider, encrypting", [&] { encryptBuffer(out, in32, tooWide); }, "BigNum encoding pad wrong"},
        {"kind 3",
         [&] {
             decryptBuffer(out, in32, AesKey{3, BigNum(1)});
         },
         "Key size of impossible length"},
        {"encryption schedule", [&] { decryptBuffer(out, bytesOf(in32), in32.size(), encryption); },
         "AES decryption failed"},
        {"24-byte units", [&] { decryptBuffer(out, std::string(24, 'x'), key192); }, "AES decryption failed"},
        {"24-byte units encrypted", [&] { encryptBuffer(out, std::string(72, 'x'), key192); }, "AES encryption failed"},
    };
    for (const auto& c : cases) {
        out = "previous";
        expectThrows<error::EInvariant>(c.action, c.text);
        if (c.text == nonPadded) {
            EXPECT_EQ(out, "previous") << c.what;
        }
    }
    decryptBuffer(out, std::string(), key);
    EXPECT_EQ(out, "");
}

// The data key's schedule is made with the key, from its bytes least significant first (31 of
// them: a value below 2^248); a key too wide for it fails every decryption.
TEST(AesBuffer, TheDataKeyDecryptsAsItsKeyDoes)
{
    std::string cipher = patterned(96, 3), expected, out;
    decryptBuffer(expected, cipher, AesKey{2, BigNum::fromBytesLE(patterned(31, 6))});
    DataKey(patterned(31, 6)).decrypt(out, bytesOf(cipher), cipher.size());
    EXPECT_EQ(out, expected);
    const DataKey tooWide(std::string(33, '\x01'));
    expectThrows<error::EInvariant>([&] { tooWide.decrypt(out, bytesOf(cipher), cipher.size()); },
                                    "BigNum encoding pad wrong");
}

// With the processor's AES instructions and with the tables, decryption must give the same
// bytes and leave the same chaining value, for every key length, block count (one lane of
// eight to several, and the partial group after them), mode, and in place or not.
TEST(AesDecryptionPaths, HardwareAndTablesAgree)
{
    if (!crypto::aesHardwareUsable())
        GTEST_SKIP() << "this processor has no AES instructions";
    struct Restore {
        ~Restore() { crypto::allowAesHardware(true); }
    } restore;
    for (int kind = 0; kind <= 2; ++kind) {
        const AesKey key{kind, BigNum::fromBytesLE(patterned(16 + 8 * kind, 7 + kind))};
        AesKeyInstance instance;
        makeKey(instance, kAesDecrypt, key);
        for (std::size_t blocks : {1, 7, 8, 9, 16, 17, 65537}) {
            for (int mode : {kAesModeEcb, kAesModeCbc}) {
                for (bool inPlace : {false, true}) {
                    SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(blocks) + " blocks, mode " +
                                 std::to_string(mode) + (inPlace ? ", in place" : ""));
                    const std::string input = patterned(16 * blocks, static_cast<unsigned>(blocks));
                    std::string results[2], ivs[2];
                    for (int hardware = 0; hardware < 2; ++hardware) {
                        crypto::allowAesHardware(hardware == 1);
                        AesCipherInstance cipher;
                        ASSERT_EQ(cipherInit(cipher, mode, "000102030405060708090a0b0c0d0e0f"), kAesOk);
                        std::string output = inPlace ? input : std::string(input.size(), '\0');
                        const auto* from =
                            inPlace ? bytesOf(output) : reinterpret_cast<const unsigned char*>(input.data());
                        const auto bits = static_cast<std::int64_t>(16 * blocks * 8);
                        ASSERT_EQ(blockDecrypt(&cipher, &instance, from, bits, bytesOf(output)), bits);
                        results[hardware] = output;
                        ivs[hardware] = std::string(reinterpret_cast<const char*>(cipher.iv), kAesBlockBytes);
                    }
                    EXPECT_TRUE(results[0] == results[1]);
                    EXPECT_EQ(hex(ivs[0]), hex(ivs[1]));
                }
            }
        }
    }
}

} // namespace
