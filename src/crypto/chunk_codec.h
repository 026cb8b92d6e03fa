#pragma once
// Turning one chunk container (4-byte tag + payload) into the plain bytes of its object.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.h"

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

// The plain length that chunk `index` of an object of `size` bytes must hold.
std::uint32_t expectedChunkLength(std::uint64_t size, std::uint32_t index);

// Replaces `out` with the plain bytes of chunk `index` of `object`, to be written at
// index × kChunkSize. Decrypts with the process-wide data key.
void decodeChunk(const std::string& data, const ChunkObject& object, std::string& out, std::uint32_t index);

// zlib one-shot decompression of the whole input into `out`, whose length is the first
// guess (100000 when empty); the guess doubles until the output fits.
void inflateInto(const unsigned char* input, std::size_t length, std::string& out);

// The three container forms, for the packing side.
enum class ChunkForm { Cleartext, Encrypted, EncryptedCompressed };

struct AesKey;
// Makes the container of one chunk's plain bytes: "CTCN" + bytes; "ENCN" + the AES-256-CBC
// ciphertext of the bytes zero-padded to a multiple of 32; "ENZ" + p + the ciphertext of
// the zlib stream followed by p padding bytes.
std::string encodeChunk(const std::string& plain, ChunkForm form, const AesKey& key);
