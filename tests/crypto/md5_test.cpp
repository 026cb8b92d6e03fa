#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using crypto::EHash;
using crypto::MD5Hash;

std::string hexOf(const unsigned char* bytes, std::size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

struct Vector {
    std::string input;
    std::string digest;
};

// The test suite of RFC 1321, then lengths around the 56- and 64-byte padding boundaries
// (digests from md5sum of that many "a" characters).
const Vector kVectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
    {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
};

TEST(MD5, KnownDigests)
{
    for (const auto& v : kVectors) {
        MD5Hash hash;
        hash.updateText(v.input);
        EXPECT_EQ(hash.hexDigest(), v.digest) << "length " << v.input.size();
    }
}

TEST(MD5, PiecesGiveTheSameDigestAsOneUpdate)
{
    for (const auto& v : kVectors) {
        for (std::size_t piece : {1u, 3u, 63u, 64u, 65u}) {
            MD5Hash hash;
            for (std::size_t at = 0; at < v.input.size(); at += piece) {
                std::size_t count = std::min(piece, v.input.size() - at);
                if (count == 1)
                    hash.update(static_cast<unsigned char>(v.input[at]));
                else
                    hash.update(count, v.input.data() + at);
            }
            EXPECT_EQ(hash.hexDigest(), v.digest) << "length " << v.input.size() << " in pieces of " << piece;
        }
    }
}

TEST(MD5, ThroughTheHashInterface)
{
    MD5Hash md5;
    crypto::Hash& hash = md5;
    EXPECT_EQ(hash.digestSize(), 16u);
    hash.update(3, "abc");
    unsigned char digest[16];
    hash.finalize(digest);
    EXPECT_EQ(hexOf(digest, sizeof digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MD5, HexDigestIsStableAndClosesTheHash)
{
    MD5Hash hash;
    hash.updateText("abc");
    std::string first = hash.hexDigest();
    EXPECT_EQ(first, "900150983cd24fb0d6963f7d28e17f72");

    struct Update {
        const char* name;
        void (*apply)(MD5Hash&);
    } updates[] = {
        {"bytes", [](MD5Hash& h) { h.update(2, "xy"); }},
        {"one byte", [](MD5Hash& h) { h.update(static_cast<unsigned char>('x')); }},
        {"text", [](MD5Hash& h) { h.updateText("more"); }},
        {"empty text", [](MD5Hash& h) { h.updateText(""); }},
    };
    for (const auto& u : updates) {
        try {
            u.apply(hash);
            ADD_FAILURE() << u.name << " accepted after hexDigest";
        } catch (const EHash& e) {
            EXPECT_EQ(e.reason(), "Hash context is finalized") << u.name;
        }
    }
    EXPECT_EQ(hash.hexDigest(), first);
}

TEST(MD5, SecondFinalizeLeavesItsBufferAlone)
{
    MD5Hash hash;
    hash.updateText("message digest");
    unsigned char digest[16];
    hash.finalize(digest);
    EXPECT_EQ(hexOf(digest, sizeof digest), "f96b697d7cb7938d525a2f31aaf161d0");

    unsigned char again[16];
    std::memset(again, 0xAA, sizeof again);
    hash.finalize(again);
    for (unsigned char b : again)
        EXPECT_EQ(b, 0xAA);
    // hexDigest after finalize still reports the digest that was taken.
    EXPECT_EQ(hash.hexDigest(), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(MD5, ResetStartsANewDigest)
{
    MD5Hash hash;
    hash.updateText("abc");
    EXPECT_EQ(hash.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
    hash.reset();
    hash.updateText("a");
    EXPECT_EQ(hash.hexDigest(), "0cc175b9c0f1b6a831c399e269772661");
    hash.reset();
    EXPECT_EQ(hash.hexDigest(), "d41d8cd98f00b204e9800998ecf8427e");
}

// Records which update form updateText chose.
class RecordingMD5 : public MD5Hash {
public:
    void update(std::size_t length, const void* data) override
    {
        calls += "bytes(" + std::to_string(length) + ")";
        MD5Hash::update(length, data);
    }
    void update(unsigned char byte) override
    {
        calls += "byte";
        MD5Hash::update(byte);
    }
    std::string calls;
};

TEST(MD5, UpdateTextUsesTheOneByteFormOnlyForOneByte)
{
    struct Case {
        std::string text;
        std::string calls;
        std::string digest;
    } cases[] = {
        {"a", "byte", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "bytes(3)", "900150983cd24fb0d6963f7d28e17f72"},
        {"", "bytes(0)", "d41d8cd98f00b204e9800998ecf8427e"},
    };
    for (const auto& c : cases) {
        RecordingMD5 hash;
        hash.updateText(c.text);
        EXPECT_EQ(hash.calls, c.calls) << c.text;
        EXPECT_EQ(hash.hexDigest(), c.digest) << c.text;
    }
}

} // namespace
