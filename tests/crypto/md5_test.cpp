#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The test suite of RFC 1321, then lengths around the 56- and 64-byte padding boundaries
// (digests from md5sum of that many "a" characters). Work files are named by these digests.
TEST(MD5, KnownDigests)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
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
        crypto::MD5Hash hash;
        hash.updateText(input);
        EXPECT_EQ(hash.hexDigest(), digest) << "length " << input.size();
    }
}

} // namespace
