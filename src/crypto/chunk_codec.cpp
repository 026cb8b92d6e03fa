#include "crypto/chunk_codec.h"

#include "common/log.h"
#include "crypto/aes.h"
#include "crypto/data_key.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

void logDecoded(const char* form)
{
    if (logEnabled(3))
        logMessage(std::string("Decoded (") + form + ") chunk OK.", 3, false);
}

// Decrypts the payload after the 4-byte tag.
void decryptPayload(const std::string& data, std::string& plain, const DataKey& key)
{
    key.decrypt(plain, reinterpret_cast<const unsigned char*>(data.data()) + 4, data.size() - 4);
}

} // namespace

std::uint32_t expectedChunkLength(std::uint64_t size, std::uint32_t index)
{
    const std::uint64_t start = std::uint64_t{index} * kChunkSize;
    if (start >= size)
        return 0;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSize, size - start));
}

void inflateInto(const unsigned char* input, std::size_t length, std::string& out, std::size_t limit)
{
    // One byte of room more than allowed tells a stream that fits from one that does not.
    out.resize(limit + 1);
    uLongf produced = static_cast<uLongf>(out.size());
    const int result = uncompress(reinterpret_cast<Bytef*>(out.data()), &produced, input, static_cast<uLong>(length));
    switch (result) {
    case Z_OK:
        if (produced > limit)
            throw error::EInvariant("Chunk longer than we wanted it");
        out.resize(produced);
        return;
    case Z_BUF_ERROR: // the output did not fit; a cut stream is Z_DATA_ERROR
        throw error::EInvariant("Chunk longer than we wanted it");
    case Z_MEM_ERROR: throw EZLib("Z_MEM_ERROR");
    default: throw EZLib("Z_DATA_ERROR");
    }
}

std::string_view decodeChunk(const std::string& data, const ChunkObject& object, ChunkBuffers& buffers,
                             std::uint32_t index, const DataKey& key)
{
    std::string& out = buffers.plain;
    switch (object.kind) {
    case MetaKind::Ntfs: break;
    case MetaKind::Hfs:
    case MetaKind::Unix:
        if (object.isLink) {
            out.clear();
            return out;
        }
        break;
    default: throw error::EParseError("Unsupported metadata encountered during restore of '" + object.name + "'.");
    }

    if (index == 0 && data.empty() && object.size == 0) {
        out.clear();
        return out;
    }
    if (data.size() < 4)
        throw error::EParseError("Cannot make sense of input chunk; too short");

    if (data.compare(0, 4, "CTCN") == 0) {
        logDecoded("CleartextNocompress");
        return std::string_view(data).substr(4);
    }
    if (data.compare(0, 4, "ENCN") == 0) {
        decryptPayload(data, out, key);
        std::uint32_t expected = expectedChunkLength(object.size, index);
        if (out.size() < expected)
            throw error::EInvariant("Chunk shorter than we wanted it");
        out.resize(expected);
        logDecoded("EncryptedNocompress");
        return out;
    }
    if (data.compare(0, 3, "ENZ") == 0) {
        std::string& stream = buffers.stream;
        decryptPayload(data, stream, key);
        int padding = static_cast<signed char>(data[3]);
        // Padding outside the decrypted text cannot come from a real packer.
        if (padding < 0 || static_cast<std::size_t>(padding) > stream.size())
            throw EZLib("Z_DATA_ERROR");
        stream.resize(stream.size() - static_cast<std::size_t>(padding));
        inflateInto(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), out,
                    expectedChunkLength(object.size, index));
        logDecoded("EncryptedZlibCompressed");
        return out;
    }
    throw error::EParseError("Unknown tag \"" + data.substr(0, 4) + "\"");
}
