#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using crypto::MD5Hash;

// The test suite of RFC 1321, then lengths around the 56- and 64-byte padding boundaries
// (digests from md5sum of that many "a" characters); each whole and in pieces.
TEST(MD5, KnownDigestsWholeAndInPieces)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
        {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
    };
    for (const auto& [input, digest] : vectors) {
        for (std::size_t piece : {input.size(), std::size_t(1), std::size_t(63), std::size_t(65)}) {
            MD5Hash hash;
            for (std::size_t at = 0; at < input.size(); at += piece) {
                const std::size_t count = std::min(piece, input.size() - at);
                if (count == 1)
                    hash.update(static_cast<unsigned char>(input[at]));
                else
                    hash.update(count, input.data() + at);
            }
            if (input.empty())
                hash.updateText(input);
            EXPECT_EQ(hash.hexDigest(), digest) << "length " << input.size() << " in pieces of " << piece;
        }
    }
}

TEST(MD5, DigestClosesTheHashUntilReset)
{
    MD5Hash hash;
    hash.updateText("abc");
    EXPECT_EQ(hash.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
    for (const auto& update : {+[](MD5Hash& h) { h.update(2, "xy"); }, +[](MD5Hash& h) { h.updateText("x"); }}) {
        try {
            update(hash);
            ADD_FAILURE() << "accepted after hexDigest";
        } catch (const crypto::EHash& e) {
            EXPECT_EQ(e.reason(), "Hash context is finalized");
        }
    }
    EXPECT_EQ(hash.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
    hash.reset();
    hash.updateText("a");
    EXPECT_EQ(hash.hexDigest(), "0cc175b9c0f1b6a831c399e269772661");
}

} // namespace
