// Valid chunk tags before arbitrary bytes: the first byte chooses the form (clear, encrypted,
// compressed), the next three the object's size, the next the chunk's index (255: the
// largest). The rest is the payload once decrypted (it is encrypted here), so the clear text
// and the zlib stream are the fuzzer's. Every input must decode or end in an
// error::Exception; anything else is a finding, and so is output longer than the chunk's
// expected length, or other than the payload (clear) or its padded text cut to that length.
#include "crypto/aes.h"
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const DataKey key(std::string(32, '\x3c'));

// The payload, zero-padded to the cipher's unit and encrypted; `padding` says how many
// bytes were added.
std::string encrypted(const std::string& plain, std::size_t& padding)
{
    padding = (32 - plain.size() % 32) % 32;
    std::string cipher;
    encryptBuffer(cipher, plain + std::string(padding, '\0'), key.key());
    return cipher;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    ChunkObject object;
    object.name = "C:\\fuzz\\object";
    object.size = std::uint64_t{data[1]} | std::uint64_t{data[2]} << 8 | std::uint64_t{data[3]} << 16;
    const std::uint32_t index = data[4] == 255 ? UINT32_MAX : data[4];
    const std::string payload(reinterpret_cast<const char*>(data + 5), size - 5);
    const std::uint32_t expected = expectedChunkLength(object.size, index);

    std::string chunk;
    std::size_t padding = 0;
    const int form = data[0] % 3;
    if (form == 0) {
        chunk = "CTCN" + payload;
    } else {
        const std::string cipher = encrypted(payload, padding);
        chunk = (form == 1 ? std::string("ENCN") : std::string("ENZ") + static_cast<char>(padding)) + cipher;
    }

    // One set of buffers serves every input, as one serves every chunk of a run.
    static ChunkBuffers buffers;
    std::string_view out;
    try {
        out = decodeChunk(chunk, object, buffers, index, key);
    } catch (const error::Exception&) {
        return 0;
    }
    if (form == 0 && out != payload)
        std::abort();
    if (form != 0 && out.size() > expected)
        std::abort();
    if (form == 1 && out != (payload + std::string(padding, '\0')).substr(0, expected))
        std::abort();
    return 0;
}
