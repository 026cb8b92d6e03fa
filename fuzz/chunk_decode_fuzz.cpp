// Arbitrary chunk data through the chunk decoder. The first bytes describe the object: size
// (three bytes), chunk index (one byte, 255: the largest), metadata kind and link flag (one
// byte). Every input must decode or end in an error::Exception; anything else is a finding,
// and so is an encrypted or compressed chunk decoded beyond its expected length.
#include "crypto/chunk_codec.h"
#include "crypto/data_key.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const DataKey key(std::string(32, '\x5a'));

MetaKind kindOf(std::uint8_t byte)
{
    switch (byte & 3) {
    case 0: return MetaKind::Ntfs;
    case 1: return MetaKind::Hfs;
    case 2: return MetaKind::Unix;
    default: return MetaKind::Other;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    ChunkObject object;
    object.name = "C:\\fuzz\\object";
    object.size = std::uint64_t{data[0]} | std::uint64_t{data[1]} << 8 | std::uint64_t{data[2]} << 16;
    const std::uint32_t index = data[3] == 255 ? UINT32_MAX : data[3];
    object.kind = kindOf(data[4]);
    object.isLink = (data[4] & 4) != 0;
    const std::string chunk(reinterpret_cast<const char*>(data + 5), size - 5);
    // One set of buffers serves every input, as one serves every chunk of a run.
    static ChunkBuffers buffers;
    std::string_view out;
    try {
        out = decodeChunk(chunk, object, buffers, index, key);
    } catch (const error::Exception&) {
        return 0;
    }
    const bool bounded = chunk.compare(0, 4, "ENCN") == 0 || chunk.compare(0, 3, "ENZ") == 0;
    if (bounded && out.size() > expectedChunkLength(object.size, index))
        std::abort();
    return 0;
}
