#include "crypto/aes.h"
#include "crypto/aes_hardware.h"
#include "crypto/data_key.h"

#include "common/error.h"
#include "bignum/base36.h"
#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

std::string bytesFromHex(const std::string& digits)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hexOf(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

unsigned char* bytesOf(std::string& s)
{
    return reinterpret_cast<unsigned char*>(s.data());
}

// The key bytes k[0], k[1], ... are the value written least significant byte first.
AesKey keyFromBytes(std::int32_t kind, const std::string& keyHex)
{
    return AesKey{kind, BigNum::fromBytesLE(bytesFromHex(keyHex))};
}

template <class F>
void expectInvariant(F&& call, const std::string& text)
{
    try {
        call();
        ADD_FAILURE() << "no exception, wanted: " << text;
    } catch (const error::EInvariant& e) {
        EXPECT_EQ(e.reason(), text);
    }
}

std::string randomBytes(std::size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(generator() & 0xFF);
    return bytes;
}

const char kZeroIv[] = "00000000000000000000000000000000";

// ---- Block cipher: FIPS-197, appendix C ----

struct FipsVector {
    std::int32_t kind;
    int rounds;
    std::string key;
    std::string cipher;
};

const std::string kFipsPlain = "00112233445566778899aabbccddeeff";
const FipsVector kFips[] = {
    {0, 10, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {1, 12, "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {2, 14, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(AesBlock, FipsVectorsInEcb)
{
    for (const auto& v : kFips) {
        AesKey key = keyFromBytes(v.kind, v.key);
        AesCipherInstance cipher;
        ASSERT_EQ(cipherInit(cipher, kAesModeEcb, nullptr), kAesOk);

        AesKeyInstance encrypt;
        makeKey(encrypt, kAesEncrypt, key);
        EXPECT_EQ(encrypt.rounds, v.rounds);
        EXPECT_EQ(encrypt.keyLength, keyBits(key));
        std::string plain = bytesFromHex(kFipsPlain);
        std::string out(16, '\0');
        EXPECT_EQ(blockEncrypt(&cipher, &encrypt, bytesOf(plain), 128, bytesOf(out)), 128);
        EXPECT_EQ(hexOf(out), v.cipher) << "kind " << v.kind;

        AesKeyInstance decrypt;
        makeKey(decrypt, kAesDecrypt, key);
        EXPECT_EQ(decrypt.rounds, v.rounds);
        std::string cipherText = bytesFromHex(v.cipher);
        EXPECT_EQ(blockDecrypt(&cipher, &decrypt, bytesOf(cipherText), 128, bytesOf(out)), 128);
        EXPECT_EQ(hexOf(out), kFipsPlain) << "kind " << v.kind;
    }
}

TEST(AesBlock, EcbTreatsBlocksIndependently)
{
    const auto& v = kFips[2];
    AesKey key = keyFromBytes(v.kind, v.key);
    AesKeyInstance decrypt;
    makeKey(decrypt, kAesDecrypt, key);
    AesCipherInstance cipher;
    cipherInit(cipher, kAesModeEcb, nullptr);
    std::string in = bytesFromHex(v.cipher + v.cipher + v.cipher);
    // Decrypted in place.
    EXPECT_EQ(blockDecrypt(&cipher, &decrypt, bytesOf(in), 384, bytesOf(in)), 384);
    EXPECT_EQ(hexOf(in), kFipsPlain + kFipsPlain + kFipsPlain);
}

TEST(AesBlock, KeyBitsByKind)
{
    const std::pair<std::int32_t, int> sizes[] = {{0, 128}, {1, 192}, {2, 256}};
    for (auto [kind, bits] : sizes)
        EXPECT_EQ(keyBits(AesKey{kind, BigNum()}), bits);
    for (std::int32_t kind : {3, -1, 256})
        expectInvariant([&] { keyBits(AesKey{kind, BigNum()}); }, "Key size of impossible length");
}

TEST(AesBlock, MakeKeyRefusals)
{
    AesKeyInstance instance;
    expectInvariant([&] { makeKey(instance, 2, keyFromBytes(2, "01")); }, "Bad enc/dec to raw make-key request");
    expectInvariant([&] { makeKey(instance, -1, keyFromBytes(2, "01")); }, "Bad enc/dec to raw make-key request");
    expectInvariant([&] { makeKey(instance, kAesDecrypt, AesKey{7, BigNum(1)}); }, "Key size of impossible length");

    // One byte more than the kind holds.
    struct TooLarge {
        std::int32_t kind;
        std::size_t bytes;
    } tooLarge[] = {{0, 17}, {1, 25}, {2, 33}};
    for (const auto& t : tooLarge) {
        std::string keyBytes(t.bytes, '\0');
        keyBytes.back() = '\x01';
        AesKey key{t.kind, BigNum::fromBytesLE(keyBytes)};
        expectInvariant([&] { makeKey(instance, kAesDecrypt, key); }, "BigNum encoding pad wrong");
        expectInvariant([&] { makeKey(instance, kAesEncrypt, key); }, "BigNum encoding pad wrong");
    }
}

TEST(AesBlock, CipherInitParsesTheIv)
{
    struct Case {
        const char* iv;
        int result;
        std::string bytes; // hex of the IV afterwards, when accepted
    } cases[] = {
        {nullptr, kAesOk, "00000000000000000000000000000000"},
        {kZeroIv, kAesOk, "00000000000000000000000000000000"},
        {"00112233445566778899aabbccddeeff", kAesOk, "00112233445566778899aabbccddeeff"},
        {"A0B1C2D3E4F5a6b7c8d9eAfB0C1D2E3F", kAesOk, "a0b1c2d3e4f5a6b7c8d9eafb0c1d2e3f"},
        {"g0000000000000000000000000000000", kAesBadCipherInstance, ""},
        {"0000000000000000g000000000000000", kAesBadCipherInstance, ""},
        {"0000000000000000000000000000000g", kAesBadCipherInstance, ""},
        {"0000000000000000000000000000000 ", kAesBadCipherInstance, ""},
        {"0011", kAesBadCipherInstance, ""},
        {"", kAesBadCipherInstance, ""},
    };
    for (const auto& c : cases) {
        AesCipherInstance cipher;
        std::memset(cipher.iv, 0x5A, sizeof cipher.iv);
        EXPECT_EQ(cipherInit(cipher, kAesModeCbc, c.iv), c.result) << (c.iv ? c.iv : "(none)");
        if (c.result == kAesOk) {
            EXPECT_EQ(hexOf(std::string(reinterpret_cast<char*>(cipher.iv), 16)), c.bytes);
            EXPECT_EQ(cipher.mode, kAesModeCbc);
        }
    }
}

TEST(AesBlock, CipherInitModes)
{
    const std::pair<int, int> modes[] = {
        {kAesModeEcb, kAesOk},  {kAesModeCbc, kAesOk},  {kAesModeCfb1, kAesOk},
        {0, kAesBadCipherMode}, {4, kAesBadCipherMode}, {-1, kAesBadCipherMode},
    };
    for (auto [mode, result] : modes) {
        AesCipherInstance cipher;
        EXPECT_EQ(cipherInit(cipher, mode, nullptr), result) << mode;
        EXPECT_EQ(cipherInit(cipher, mode, kZeroIv), result) << mode;
    }
}

TEST(AesBlock, BlockCallsRefuseMissingOrWrongInstances)
{
    AesKey key = keyFromBytes(2, kFips[2].key);
    AesKeyInstance encrypt, decrypt, unmade;
    makeKey(encrypt, kAesEncrypt, key);
    makeKey(decrypt, kAesDecrypt, key);
    AesCipherInstance cbc, cfb;
    cipherInit(cbc, kAesModeCbc, nullptr);
    cipherInit(cfb, kAesModeCfb1, nullptr);
    std::string in(32, 'x'), out(32, 'o');

    EXPECT_EQ(blockDecrypt(&cbc, &encrypt, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockDecrypt(nullptr, &decrypt, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockDecrypt(&cbc, nullptr, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockDecrypt(&cbc, &unmade, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockEncrypt(&cbc, &decrypt, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockEncrypt(&cbc, &unmade, bytesOf(in), 256, bytesOf(out)), kAesBadCipherState);
    EXPECT_EQ(blockDecrypt(&cfb, &decrypt, bytesOf(in), 256, bytesOf(out)), kAesBadCipherMode);
    EXPECT_EQ(blockEncrypt(&cfb, &encrypt, bytesOf(in), 256, bytesOf(out)), kAesBadCipherMode);

    EXPECT_EQ(blockDecrypt(&cbc, &decrypt, nullptr, 256, bytesOf(out)), 0);
    EXPECT_EQ(blockDecrypt(&cbc, &decrypt, bytesOf(in), 0, bytesOf(out)), 0);
    EXPECT_EQ(blockDecrypt(&cbc, &decrypt, bytesOf(in), -128, bytesOf(out)), 0);
    EXPECT_EQ(blockEncrypt(&cbc, &encrypt, bytesOf(in), 0, bytesOf(out)), 0);
    EXPECT_EQ(out, std::string(32, 'o'));
}

TEST(AesBlock, TrailingPartialBlockIsIgnored)
{
    AesKey key = keyFromBytes(2, kFips[2].key);
    AesKeyInstance decrypt;
    makeKey(decrypt, kAesDecrypt, key);
    AesCipherInstance cipher;
    cipherInit(cipher, kAesModeEcb, nullptr);
    std::string in = bytesFromHex(kFips[2].cipher) + std::string(16, 'x');
    std::string out(32, 'o');
    EXPECT_EQ(blockDecrypt(&cipher, &decrypt, bytesOf(in), 128 + 127, bytesOf(out)), 128);
    EXPECT_EQ(hexOf(out.substr(0, 16)), kFipsPlain);
    EXPECT_EQ(out.substr(16), std::string(16, 'o'));
}

// ---- CBC against openssl ----
//
// Made with
//   printf '<plain>' | openssl enc -aes-256-cbc -nopad -K <key> -iv 00000000000000000000000000000000 | xxd -p
// where <key> is the key bytes k[0..31] in hexadecimal.
struct CbcVector {
    const char* what;
    std::string key;
    std::string plain;
    std::string cipher;
};

const CbcVector kCbc[] = {
    {"four blocks",
     // The key of the configuration text "SIPZZ5FK2Z9RI19R0WYOJFLJOOA5LQSAJ08XUI6D39ZZZZG4ZD".
     "627ec6361d005a11aa3cc3f39593aa170d75ae583cb934405c4b707c55d32995",
     "Sixty-four bytes of plain text, encrypted in four CBC blocks....",
     "137d00c95d88f03084fae0ab269c0cb319b48899d7ec008ebc78297eea37c7db"
     "cc467947b09a506a0eae8c6d6550060242e7afda5418b213354dfb70a3e76d42"},
    {"key value below 2^248", "8b1f0e3c5a7d92e4f60c1b2a3948576675849302a1b2c3d4e5f60718293a4b00",
     "Ninety-six bytes: six blocks, and a key whose top byte is zero so its value is below 2^248......",
     "ca56513f24e0be5ef70722b3f88aa65e352fabd6d8a6162f68fb80ff4a6ae45b"
     "0a1241555c83764d3ba05dc5a1e90e385827c797d95f3839a19d595f52b8ee54"
     "2993cd0e2e80770885ae8c95d91d6cd9404010e957b1996b55efafb4b88433b6"},
};

TEST(AesBuffer, CbcVectorsFromAZeroIv)
{
    for (const auto& v : kCbc) {
        AesKey key = keyFromBytes(2, v.key);
        std::string cipher = bytesFromHex(v.cipher);
        std::string plain;
        decryptBuffer(plain, cipher, key);
        EXPECT_EQ(plain, v.plain) << v.what;

        std::string encrypted;
        encryptBuffer(encrypted, v.plain, key);
        EXPECT_EQ(hexOf(encrypted), v.cipher) << v.what;
    }
}

TEST(AesBuffer, KeyBelowTwoToThe248IsPaddedToThirtyTwoBytes)
{
    const auto& v = kCbc[1];
    AesKey key = keyFromBytes(2, v.key);
    ASSERT_EQ(key.keyValue.toBytesLE(0).size(), 31u);
    std::string plain;
    decryptBuffer(plain, bytesFromHex(v.cipher), key);
    EXPECT_EQ(plain, v.plain);
}

TEST(AesBuffer, KeyFromItsConfigurationText)
{
    const auto& v = kCbc[0];
    AesKey key{2, BigNum::fromBytesLE(parseBase36("SIPZZ5FK2Z9RI19R0WYOJFLJOOA5LQSAJ08XUI6D39ZZZZG4ZD"))};
    std::string plain;
    decryptBuffer(plain, bytesFromHex(v.cipher), key);
    EXPECT_EQ(plain, v.plain);
}

TEST(AesBuffer, EveryCallStartsFromAZeroIv)
{
    const auto& v = kCbc[0];
    AesKey key = keyFromBytes(2, v.key);
    std::string cipher = bytesFromHex(v.cipher);
    std::string first, second;
    decryptBuffer(first, cipher, key);
    decryptBuffer(second, cipher, key);
    EXPECT_EQ(first, v.plain);
    EXPECT_EQ(second, first);
}

TEST(AesBuffer, BlockCallsCarryTheIvForward)
{
    const auto& v = kCbc[0];
    AesKey key = keyFromBytes(2, v.key);
    AesKeyInstance decrypt;
    makeKey(decrypt, kAesDecrypt, key);
    std::string cipher = bytesFromHex(v.cipher);

    // Two calls on one instance continue the chain.
    AesCipherInstance chained;
    cipherInit(chained, kAesModeCbc, kZeroIv);
    std::string out(64, '\0');
    EXPECT_EQ(blockDecrypt(&chained, &decrypt, bytesOf(cipher), 256, bytesOf(out)), 256);
    EXPECT_EQ(blockDecrypt(&chained, &decrypt, bytesOf(cipher) + 32, 256, bytesOf(out) + 32), 256);
    EXPECT_EQ(out, v.plain);

    // Starting at the third block needs the second ciphertext block as IV.
    std::string iv = hexOf(cipher.substr(16, 16));
    AesCipherInstance midway;
    ASSERT_EQ(cipherInit(midway, kAesModeCbc, iv.c_str()), kAesOk);
    std::string tail(32, '\0');
    EXPECT_EQ(blockDecrypt(&midway, &decrypt, bytesOf(cipher) + 32, 256, bytesOf(tail)), 256);
    EXPECT_EQ(tail, v.plain.substr(32));
}

TEST(AesBuffer, LengthMustBeAMultipleOfTheKeyLength)
{
    struct Case {
        std::int32_t kind;
        std::size_t length;
        bool accepted;
    } cases[] = {
        {2, 0, true},  {2, 32, true}, {2, 64, true}, {2, 48, false}, {2, 16, false}, {2, 33, false},
        {2, 1, false}, {0, 16, true}, {0, 48, true}, {0, 8, false},  {1, 48, true},  {1, 32, false},
    };
    AesKey keys[] = {keyFromBytes(0, kFips[0].key), keyFromBytes(1, kFips[1].key), keyFromBytes(2, kFips[2].key)};
    for (const auto& c : cases) {
        const AesKey& key = keys[c.kind];
        // A schedule made once decrypts as the key does, and refuses the same lengths.
        AesKeyInstance schedule;
        makeKey(schedule, kAesDecrypt, key);
        std::string in = randomBytes(c.length, 1);
        std::string out = "previous";
        if (c.accepted) {
            decryptBuffer(out, in, key);
            EXPECT_EQ(out.size(), c.length);
            std::string back;
            encryptBuffer(back, out, key);
            EXPECT_EQ(back, in) << "kind " << c.kind << " length " << c.length;
            std::string scheduled = "previous";
            decryptBuffer(scheduled, bytesOf(in), in.size(), schedule);
            EXPECT_EQ(scheduled, out) << "kind " << c.kind << " length " << c.length;
        } else {
            expectInvariant([&] { decryptBuffer(out, in, key); }, "AES block decryption called with non-padded buffer");
            expectInvariant([&] { encryptBuffer(out, in, key); }, "AES block decryption called with non-padded buffer");
            expectInvariant([&] { decryptBuffer(out, bytesOf(in), in.size(), key); },
                            "AES block decryption called with non-padded buffer");
            expectInvariant([&] { decryptBuffer(out, bytesOf(in), in.size(), schedule); },
                            "AES block decryption called with non-padded buffer");
            EXPECT_EQ(out, "previous");
        }
    }
}

// A 192-bit key makes 24-byte units, which whole 16-byte blocks do not cover.
TEST(AesBuffer, UnitsThatAreNotWholeBlocksFail)
{
    AesKey key = keyFromBytes(1, kFips[1].key);
    std::string out;
    expectInvariant([&] { decryptBuffer(out, std::string(24, 'x'), key); }, "AES decryption failed");
    expectInvariant([&] { encryptBuffer(out, std::string(72, 'x'), key); }, "AES encryption failed");
}

TEST(AesBuffer, KeyProblemsAreReported)
{
    std::string in(32, 'x'), out;
    std::string tooLong(33, '\x01');
    expectInvariant(
        [&] {
            decryptBuffer(out, in, AesKey{2, BigNum::fromBytesLE(tooLong)});
        },
        "BigNum encoding pad wrong");
    expectInvariant(
        [&] {
            encryptBuffer(out, in, AesKey{2, BigNum::fromBytesLE(tooLong)});
        },
        "BigNum encoding pad wrong");
    expectInvariant([&] { decryptBuffer(out, in, AesKey{3, BigNum(1)}); }, "Key size of impossible length");
    AesKeyInstance encryption, none;
    makeKey(encryption, kAesEncrypt, AesKey{2, BigNum(1)});
    expectInvariant([&] { decryptBuffer(out, bytesOf(in), in.size(), encryption); }, "AES decryption failed");
    expectInvariant([&] { decryptBuffer(out, bytesOf(in), in.size(), none); }, "AES decryption failed");
}

// The data key's schedule is made with the key; a key too large for it still fails every
// decryption with its own text, as it would with the key itself.
TEST(AesBuffer, TheDataKeyDecryptsAsItsKeyDoes)
{
    std::string cipher = randomBytes(96, 3);
    for (const std::string& keyBytes : {randomBytes(32, 5), randomBytes(31, 6), std::string(33, '\x01')}) {
        const DataKey key(keyBytes);
        std::string expected, out;
        if (keyBytes.size() > 32) {
            expectInvariant([&] { key.decrypt(out, bytesOf(cipher), cipher.size()); }, "BigNum encoding pad wrong");
            continue;
        }
        decryptBuffer(expected, cipher, AesKey{2, BigNum::fromBytesLE(keyBytes)});
        key.decrypt(out, bytesOf(cipher), cipher.size());
        EXPECT_EQ(out, expected) << keyBytes.size() << " key bytes";
    }
}

TEST(AesBuffer, RoundTripsOfRandomData)
{
    const std::size_t lengths[] = {32, 96, 4096, 65536 + 32};
    for (std::int32_t kind : {0, 2}) {
        AesKey key{kind, BigNum::fromBytesLE(randomBytes(kind == 0 ? 16 : 32, 7 + kind))};
        for (std::size_t length : lengths) {
            std::string plain = randomBytes(length, static_cast<unsigned>(length));
            std::string cipher, back;
            encryptBuffer(cipher, plain, key);
            ASSERT_EQ(cipher.size(), length);
            EXPECT_NE(cipher, plain);
            decryptBuffer(back, cipher, key);
            EXPECT_EQ(back, plain) << "kind " << kind << " length " << length;
        }
    }
}

TEST(AesBuffer, InPlaceAndPointerFormsAgree)
{
    const auto& v = kCbc[1];
    AesKey key = keyFromBytes(2, v.key);
    std::string cipher = bytesFromHex(v.cipher);

    std::string fromPointer =
        "stale contents longer than the result ......................................................";
    decryptBuffer(fromPointer, bytesOf(cipher), cipher.size(), key);
    EXPECT_EQ(fromPointer, v.plain);

    std::string inPlace = cipher;
    decryptBuffer(inPlace, inPlace, key);
    EXPECT_EQ(inPlace, v.plain);
    encryptBuffer(inPlace, inPlace, key);
    EXPECT_EQ(inPlace, cipher);
}

TEST(AesBuffer, OneMebibyteAgainstOpenssl)
{
    // plain[i] = (i * 131 + (i >> 8)) & 0xFF for i < 1048576; the digests are md5sum of
    // that file and of
    //   openssl enc -aes-256-cbc -nopad -K <key of kCbc[0]> -iv 00000000000000000000000000000000
    std::string plain(1048576, '\0');
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>((i * 131 + (i >> 8)) & 0xFF);
    auto md5 = [](const std::string& bytes) {
        crypto::MD5Hash hash;
        hash.updateText(bytes);
        return hash.hexDigest();
    };
    ASSERT_EQ(md5(plain), "0e80cd21dc2e8ce45aae042048745550");

    AesKey key = keyFromBytes(2, kCbc[0].key);
    std::string cipher;
    encryptBuffer(cipher, plain, key);
    EXPECT_EQ(md5(cipher), "e8a4109fca1009993f15ffcf209a8940");
    std::string back;
    decryptBuffer(back, cipher, key);
    EXPECT_TRUE(back == plain);
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
        const AesKey key{kind, BigNum::fromBytesLE(randomBytes(16 + 8 * kind, 7 + kind))};
        AesKeyInstance instance;
        makeKey(instance, kAesDecrypt, key);
        for (std::size_t blocks : {1, 3, 7, 8, 9, 15, 16, 17, 65537}) {
            for (int mode : {kAesModeEcb, kAesModeCbc}) {
                for (bool inPlace : {false, true}) {
                    SCOPED_TRACE("kind " + std::to_string(kind) + ", " + std::to_string(blocks) + " blocks, mode " +
                                 std::to_string(mode) + (inPlace ? ", in place" : ""));
                    const std::string input = randomBytes(16 * blocks, static_cast<unsigned>(blocks));
                    std::string results[2], ivs[2];
                    for (int hardware = 0; hardware < 2; ++hardware) {
                        crypto::allowAesHardware(hardware == 1);
                        AesCipherInstance cipher;
                        ASSERT_EQ(cipherInit(cipher, mode, "000102030405060708090a0b0c0d0e0f"), kAesOk);
                        std::string output = inPlace ? input : std::string(input.size(), '\0');
                        const std::string source = input;
                        const auto* from =
                            inPlace ? bytesOf(output) : reinterpret_cast<const unsigned char*>(source.data());
                        ASSERT_EQ(blockDecrypt(&cipher, &instance, from, static_cast<std::int64_t>(16 * blocks * 8),
                                               bytesOf(output)),
                                  static_cast<std::int64_t>(16 * blocks * 8));
                        results[hardware] = output;
                        ivs[hardware] = std::string(reinterpret_cast<const char*>(cipher.iv), kAesBlockBytes);
                    }
                    EXPECT_TRUE(results[0] == results[1]);
                    EXPECT_EQ(hexOf(ivs[0]), hexOf(ivs[1]));
                }
            }
        }
    }
}

} // namespace
