#include "common/log.h"
#include "crypto/aes.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

namespace {

std::string patternBytes(std::size_t n, std::uint32_t seed)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(seed >> 24);
    }
    return bytes;
}

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

const DataKey key7(patternBytes(32, 7));

std::string encrypt(const std::string& plain)
{
    std::string cipher;
    encryptBuffer(cipher, plain, key7.key());
    return cipher;
}

class ChunkCodec : public testing::Test {
protected:
    void SetUp() override
    {
        previousSink = setLogSink([this](const std::string& text, int level, bool) {
            records.push_back(std::to_string(level) + ":" + text);
        });
    }
    void TearDown() override
    {
        setLogSink(previousSink);
        logLevel = 3;
    }

    std::string decode(const std::string& data, std::uint64_t size, std::uint32_t index, MetaKind kind = MetaKind::Ntfs,
                       bool isLink = false)
    {
        std::string out = "old contents";
        decodeChunk(data, ChunkObject{"C:\\data\\x.txt", size, kind, isLink}, out, index, *key);
        return out;
    }

    template <class E>
    std::string failure(const std::string& data, std::uint64_t size, std::uint32_t index,
                        MetaKind kind = MetaKind::Ntfs)
    {
        try {
            decode(data, size, index, kind);
        } catch (const E& e) {
            return e.fullText();
        }
        return "no failure";
    }

    const DataKey* key = &key7; // the key every decode uses
    LogSink previousSink;
    std::vector<std::string> records;
};

TEST_F(ChunkCodec, ExpectedLengthOfTheLastChunk)
{
    struct Case {
        std::uint64_t size;
        std::uint32_t index, expected;
    };
    const Case cases[] = {
        {2500000, 0, 1048576},
        {2500000, 1, 1048576},
        {2500000, 2, 402848},
        {2097152, 0, 1048576},
        {2097152, 1, 1048576},
        {1, 0, 1},
        {1048577, 1, 1},
        {1048575, 0, 1048575},
        {(std::uint64_t(1) << 40) + 5, 1048576, 5},
        // Past the object's end nothing is expected.
        {2097152, 2, 0},
        {0, 0, 0},
        {1000, 0xFFFFFFFFu, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expectedChunkLength(c.size, c.index), c.expected) << c.size << " #" << c.index;
}

TEST_F(ChunkCodec, CleartextIsThePayloadAsItIs)
{
    EXPECT_EQ(decode("CTCN", 10, 0), "");
    EXPECT_EQ(decode("CTCNhello", 10, 0), "hello");
    std::string bytes = patternBytes(kChunkSize, 3);
    EXPECT_EQ(decode("CTCN" + bytes, 3 * kChunkSize, 1), bytes);
    EXPECT_EQ(records, (std::vector<std::string>(3, "3:Decoded (CleartextNocompress) chunk OK.")));
}

TEST_F(ChunkCodec, ShortContainers)
{
    EXPECT_EQ(decode("", 0, 0), "");
    EXPECT_EQ(failure<error::EParseError>("CTC", 10, 0), "Cannot make sense of input chunk; too short");
    EXPECT_EQ(failure<error::EParseError>("", 10, 0), "Cannot make sense of input chunk; too short");
    EXPECT_EQ(failure<error::EParseError>("", 0, 1), "Cannot make sense of input chunk; too short");
}

TEST_F(ChunkCodec, EncryptedChunksAreCutToTheirPosition)
{
    const std::uint64_t size = 2500000;
    std::string last = patternBytes(402848, 11);
    // The packer pads with arbitrary bytes; 32 of them here, beyond the multiple of 32.
    EXPECT_EQ(decode("ENCN" + encrypt(last + patternBytes(32, 12)), size, 2), last);
    std::string full = patternBytes(kChunkSize, 13);
    EXPECT_EQ(decode("ENCN" + encrypt(full + patternBytes(64, 1)), size, 1), full);
    EXPECT_EQ(decode("ENCN" + encrypt(full), 2097152, 1), full);
    EXPECT_EQ(records.back(), "3:Decoded (EncryptedNocompress) chunk OK.");
}

TEST_F(ChunkCodec, UnusableEncryptedPayloadsFailTheChunkOnly)
{
    EXPECT_EQ(failure<error::EInvariant>("ENCN" + encrypt(patternBytes(64, 1)), 2500000, 2),
              "Chunk shorter than we wanted it");
    EXPECT_EQ(failure<error::EInvariant>("ENCN" + patternBytes(48, 1), 2500000, 0),
              "AES block decryption called with non-padded buffer");
    EXPECT_EQ(failure<error::EInvariant>(std::string("ENZ\0", 4) + patternBytes(33, 1), 2500000, 0),
              "AES block decryption called with non-padded buffer");
}

TEST_F(ChunkCodec, CompressedChunkDropsItsPaddingAndInflates)
{
    // Find a text whose zlib stream needs exactly 11 bytes of padding (0x0B).
    std::string plain, stream;
    for (int n = 1;; ++n) {
        plain = std::string(static_cast<std::size_t>(n) * 37, 'a') + patternBytes(static_cast<std::size_t>(n), 5);
        stream = zlibStream(plain);
        if ((stream.size() + 11) % 32 == 0)
            break;
    }
    std::string container = std::string("ENZ\x0B", 4) + encrypt(stream + patternBytes(11, 9));
    EXPECT_EQ(decode(container, 10 * kChunkSize, 4), plain);
    EXPECT_EQ(records.back(), "3:Decoded (EncryptedZlibCompressed) chunk OK.");
}

TEST_F(ChunkCodec, CompressedChunkNeverInflatesPastItsExpectedLength)
{
    const std::string longer = "Chunk longer than we wanted it";
    struct Case {
        const char* what;
        std::size_t plain;
        std::uint64_t size;
        std::uint32_t index;
        bool fits;
    };
    const Case cases[] = {
        {"the object's size", 1000, 1000, 0, true},
        {"one byte more than the object", 1000, 999, 0, false},
        {"last chunk, one byte more", 2000, kChunkSize + 1999, 1, false},
        {"more than a whole chunk", 3 * kChunkSize, 5 * kChunkSize, 0, false},
        {"a stream of zeros far beyond the object", 16 * kChunkSize, 1000, 0, false},
        {"past the object's end", 1, 1000, 0xFFFFFFFFu, false},
        {"nothing, past the object's end", 0, 1000, 7, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string plain(c.plain, 'z');
        const std::string container = encodeChunk(plain, ChunkForm::EncryptedCompressed, key7.key());
        if (c.fits)
            EXPECT_EQ(decode(container, c.size, c.index), plain);
        else
            EXPECT_EQ(failure<error::EInvariant>(container, c.size, c.index), longer);
    }
}

TEST_F(ChunkCodec, CompressedPayloadsThatDoNotInflate)
{
    std::string plain = patternBytes(5000, 4);
    std::string stream = zlibStream(plain);
    std::string truncated = stream.substr(0, stream.size() / 2);
    std::string corrupt = stream;
    corrupt[0] = 0;
    for (const std::string& bad : {truncated, corrupt}) {
        std::size_t padding = (32 - bad.size() % 32) % 32;
        std::string container =
            std::string("ENZ") + static_cast<char>(padding) + encrypt(bad + std::string(padding, 'p'));
        EXPECT_EQ(failure<EZLib>(container, 5000, 0), "Z_DATA_ERROR");
    }
    // A padding count outside the decrypted text.
    EXPECT_EQ(failure<EZLib>(std::string("ENZ\xff") + encrypt(patternBytes(32, 1)), 5000, 0), "Z_DATA_ERROR");
    EXPECT_EQ(failure<EZLib>(std::string("ENZ\x7f") + encrypt(patternBytes(32, 1)), 5000, 0), "Z_DATA_ERROR");
    // The wrong key turns the stream into noise.
    std::string container = encodeChunk(plain, ChunkForm::EncryptedCompressed, key7.key());
    const DataKey otherKey(patternBytes(32, 8));
    key = &otherKey;
    EXPECT_EQ(failure<EZLib>(container, 5000, 0), "Z_DATA_ERROR");
}

TEST_F(ChunkCodec, EveryFormRoundTripsThroughTheEncoder)
{
    // An empty object travels as empty data (see ShortContainers); every other size in each form.
    for (std::size_t size :
         {std::size_t(1), std::size_t(31), std::size_t(32), std::size_t(1000), std::size_t(kChunkSize)}) {
        std::string plain = patternBytes(size, static_cast<std::uint32_t>(size));
        for (ChunkForm form : {ChunkForm::Cleartext, ChunkForm::Encrypted, ChunkForm::EncryptedCompressed})
            EXPECT_EQ(decode(encodeChunk(plain, form, key7.key()), size, 0), plain)
                << size << " form " << static_cast<int>(form);
    }
}

TEST_F(ChunkCodec, LinksFromOtherSystemsHaveNoData)
{
    EXPECT_EQ(decode("garbage", 100, 0, MetaKind::Unix, true), "");
    EXPECT_EQ(decode("", 100, 3, MetaKind::Hfs, true), "");
    EXPECT_EQ(decode("CTCNdata", 100, 0, MetaKind::Unix, false), "data");
}

TEST_F(ChunkCodec, UnknownTagsAndMetadata)
{
    EXPECT_EQ(failure<error::EParseError>("ABCDpayload", 10, 0), "Unknown tag \"ABCD\"");
    EXPECT_EQ(failure<error::EParseError>("ctcnx", 10, 0), "Unknown tag \"ctcn\"");
    EXPECT_EQ(failure<error::EParseError>("CTCNx", 10, 0, MetaKind::Other),
              "Unsupported metadata encountered during restore of 'C:\\data\\x.txt'.");
}

TEST_F(ChunkCodec, DecodeLinesAreDetailLevel)
{
    logLevel = 2;
    decode("CTCNx", 1, 0);
    EXPECT_TRUE(records.empty());
}

} // namespace
