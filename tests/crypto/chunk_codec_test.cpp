#include "crypto/aes.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"

#include "support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <typeinfo>

namespace {

using support::patterned;

std::string zlibStream(const std::string& plain)
{
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    std::string stream(length, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(stream.data()), &length, reinterpret_cast<const Bytef*>(plain.data()),
                       static_cast<uLong>(plain.size())),
              Z_OK);
    stream.resize(length);
    return stream;
}

const DataKey key7(patterned(32, 7));

std::string encrypt(const std::string& plain)
{
    std::string cipher;
    encryptBuffer(cipher, plain, key7.key());
    return cipher;
}

// "ENZ", the count of padding bytes, and the encrypted stream with that padding, which the
// decoder must drop before it inflates.
std::string compressedContainer(const std::string& stream, char paddingByte = 'p')
{
    const std::size_t padding = (32 - stream.size() % 32) % 32;
    return std::string("ENZ") + static_cast<char>(padding) + encrypt(stream + std::string(padding, paddingByte));
}

class ChunkCodec : public testing::Test {
protected:
    support::LogCapture quiet; // the decoded chunks' detail lines

    struct Object {
        std::uint64_t size;
        std::uint32_t index;
        MetaKind kind = MetaKind::Ntfs;
        bool isLink = false;
    };
    // The plain bytes, or the class and text of the failure. The chunks of a test go through
    // the same buffers one after another, as a run's chunks do: nothing of one may show in
    // the next.
    std::pair<const std::type_info*, std::string> decode(const std::string& data, Object object)
    {
        std::string out;
        const auto failure = support::thrown([&] {
            const ChunkObject meta{"C:\\data\\x.txt", object.size, object.kind, object.isLink};
            out = std::string(decodeChunk(data, meta, buffers_, object.index, key7));
        });
        return failure.first ? failure : std::make_pair(nullptr, out);
    }
    ChunkBuffers buffers_;
    static std::pair<const std::type_info*, std::string> plain(const std::string& bytes) { return {nullptr, bytes}; }
    template <class E>
    static std::pair<const std::type_info*, std::string> fails(const std::string& text)
    {
        return {&typeid(E), text};
    }
};

TEST_F(ChunkCodec, ExpectedLengthOfEachChunk)
{
    const struct {
        std::uint64_t size;
        std::uint32_t index, expected;
    } cases[] = {
        {2500000, 1, 1048576},
        {2500000, 2, 402848},
        {1048577, 1, 1},
        {(std::uint64_t(1) << 40) + 5, 1048576, 5},
        // Past the object's end nothing is expected.
        {2097152, 2, 0},
        {0, 0, 0},
        {1000, 0xFFFFFFFFu, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(expectedChunkLength(c.size, c.index), c.expected) << c.size << " #" << c.index;
}

TEST_F(ChunkCodec, ContainersAndTheirFailures)
{
    const std::string last = patterned(402848, 11), full = patterned(kChunkSize, 13);
    const std::string nonPadded = "AES block decryption called with non-padded buffer";
    const struct {
        const char* what;
        std::string data;
        Object object;
        std::pair<const std::type_info*, std::string> result;
    } cases[] = {
        {"clear", "CTCNhello", {10, 0}, plain("hello")},
        {"clear, a whole chunk", "CTCN" + full, {3 * kChunkSize, 1}, plain(full)},
        {"empty object", "", {0, 0}, plain("")},
        // The packer pads with arbitrary bytes; 32 of them here, beyond the multiple of 32.
        {"encrypted, cut to the last chunk", "ENCN" + encrypt(last + patterned(32, 12)), {2500000, 2}, plain(last)},
        {"encrypted, a whole chunk", "ENCN" + encrypt(full + patterned(64, 1)), {2500000, 1}, plain(full)},
        {"UNIX link", "garbage", {100, 0, MetaKind::Unix, true}, plain("")},
        {"UNIX file", "CTCNdata", {100, 0, MetaKind::Unix}, plain("data")},
        {"too short", "CTC", {10, 0}, fails<error::EParseError>("Cannot make sense of input chunk; too short")},
        {"empty", "", {10, 0}, fails<error::EParseError>("Cannot make sense of input chunk; too short")},
        {"unknown tag", "ABCDpayload", {10, 0}, fails<error::EParseError>("Unknown tag \"ABCD\"")},
        {"tag in lower case", "ctcnx", {10, 0}, fails<error::EParseError>("Unknown tag \"ctcn\"")},
        {"other metadata",
         "CTCNx",
         {10, 0, MetaKind::Other},
         fails<error::EParseError>("Unsupported metadata encountered during restore of 'C:\\data\\x.txt'.")},
        {"encrypted, shorter than its place",
         "ENCN" + encrypt(patterned(64, 1)),
         {2500000, 2},
         fails<error::EInvariant>("Chunk shorter than we wanted it")},
        {"encrypted, not padded", "ENCN" + patterned(48, 1), {2500000, 0}, fails<error::EInvariant>(nonPadded)},
        {"compressed, not padded",
         std::string("ENZ\0", 4) + patterned(33, 1),
         {2500000, 0},
         fails<error::EInvariant>(nonPadded)},
        {"compressed, cut",
         compressedContainer(zlibStream(patterned(5000, 4)).substr(0, 100)),
         {5000, 0},
         fails<EZLib>("Z_DATA_ERROR")},
        {"compressed, no stream", compressedContainer(std::string(40, '\0')), {5000, 0}, fails<EZLib>("Z_DATA_ERROR")},
        {"padding count beyond the text",
         std::string("ENZ\xff") + encrypt(patterned(32, 1)),
         {5000, 0},
         fails<EZLib>("Z_DATA_ERROR")},
        {"padding count 127",
         std::string("ENZ\x7f") + encrypt(patterned(32, 1)),
         {5000, 0},
         fails<EZLib>("Z_DATA_ERROR")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.data, c.object), c.result) << c.what;
}

TEST_F(ChunkCodec, CompressedChunkNeverInflatesPastItsExpectedLength)
{
    const struct {
        const char* what;
        std::size_t plain;
        Object object;
        bool fits;
    } cases[] = {
        {"the object's size", 1000, {1000, 0}, true},
        {"one byte more than the object", 1000, {999, 0}, false},
        {"last chunk, one byte more", 2000, {kChunkSize + 1999, 1}, false},
        {"more than a whole chunk", 3 * kChunkSize, {5 * kChunkSize, 0}, false},
        {"a stream of zeros far beyond the object", 16 * kChunkSize, {1000, 0}, false},
        {"past the object's end", 1, {1000, 0xFFFFFFFFu}, false},
        {"nothing, past the object's end", 0, {1000, 7}, true},
    };
    for (const auto& c : cases) {
        const std::string plain(c.plain, 'z');
        EXPECT_EQ(decode(compressedContainer(zlibStream(plain)), c.object),
                  c.fits ? ChunkCodec::plain(plain) : fails<error::EInvariant>("Chunk longer than we wanted it"))
            << c.what;
    }
}

} // namespace
