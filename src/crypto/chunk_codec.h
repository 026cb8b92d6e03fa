#pragma once
// Turning one chunk container (4-byte tag + payload) into the plain bytes of its object.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

class DataKey;

// A compressed chunk that does not inflate; the reason is zlib's error name.
class EZLib : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};

// Plain data is cut into chunks of this size.
constexpr std::uint32_t kChunkSize = 1048576;

// The operating system whose metadata describes an object.
enum class MetaKind { Ntfs, Hfs, Unix, Other };

// What the decoder needs of an object's metadata record.
struct ChunkObject {
    std::string name;
    std::uint64_t size = 0;
    MetaKind kind = MetaKind::Ntfs;
    bool isLink = false; // an HFS or UNIX symbolic link (its link target is present)
};

// The plain length that chunk `index` of an object of `size` bytes must hold: a whole chunk,
// or what is left of the object from the chunk's start, and 0 for a chunk past its end.
std::uint32_t expectedChunkLength(std::uint64_t size, std::uint32_t index);

// Storage that decoding reuses from chunk to chunk: a fresh buffer of most of a MiB would come
// from the system, zeroed page by page, for every chunk.
struct ChunkBuffers {
    std::string plain;  // the plain bytes of an encrypted chunk
    std::string stream; // the decrypted stream of a compressed chunk
};

// The plain bytes of chunk `index` of `object`, to be written at index × kChunkSize: a view of
// `data` past its tag for a clear chunk (nothing is copied), else of out.plain; valid while
// both stay unchanged. Decrypts with `key`. An encrypted chunk is cut to its expected length;
// one that is shorter, or a compressed chunk that inflates past it, throws error::EInvariant.
std::string_view decodeChunk(const std::string& data, const ChunkObject& object, ChunkBuffers& out, std::uint32_t index,
                             const DataKey& key);

// zlib one-shot decompression of the whole input into `out`, which holds at most `limit`
// bytes: more output throws error::EInvariant "Chunk longer than we wanted it", so that a
// hostile stream never inflates beyond what the chunk can hold.
void inflateInto(const unsigned char* input, std::size_t length, std::string& out, std::size_t limit);

// The three container forms, for the packing side.
enum class ChunkForm { Cleartext, Encrypted, EncryptedCompressed };

struct AesKey;
// Makes the container of one chunk's plain bytes: "CTCN" + bytes; "ENCN" + the AES-256-CBC
// ciphertext of the bytes zero-padded to a multiple of 32; "ENZ" + p + the ciphertext of
// the zlib stream followed by p padding bytes.
std::string encodeChunk(const std::string& plain, ChunkForm form, const AesKey& key);
