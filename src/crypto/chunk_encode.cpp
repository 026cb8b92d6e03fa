#include "crypto/aes.h"
#include "crypto/chunk_codec.h"

#include <zlib.h>

namespace {

constexpr std::size_t kCipherUnit = 32; // the key length in bytes

std::string padToCipherUnit(std::string bytes, std::size_t& padding)
{
    padding = (kCipherUnit - bytes.size() % kCipherUnit) % kCipherUnit;
    bytes.append(padding, '\0');
    return bytes;
}

std::string compress(const std::string& plain)
{
    uLongf length = compressBound(static_cast<uLong>(plain.size()));
    std::string stream(length, '\0');
    int result =
        compress2(reinterpret_cast<Bytef*>(stream.data()), &length, reinterpret_cast<const Bytef*>(plain.data()),
                  static_cast<uLong>(plain.size()), Z_DEFAULT_COMPRESSION);
    if (result != Z_OK)
        throw EZLib(result == Z_MEM_ERROR ? "Z_MEM_ERROR" : "Z_BUF_ERROR");
    stream.resize(length);
    return stream;
}

} // namespace

std::string encodeChunk(const std::string& plain, ChunkForm form, const AesKey& key)
{
    std::size_t padding = 0;
    std::string cipher;
    switch (form) {
    case ChunkForm::Cleartext: return "CTCN" + plain;
    case ChunkForm::Encrypted: encryptBuffer(cipher, padToCipherUnit(plain, padding), key); return "ENCN" + cipher;
    case ChunkForm::EncryptedCompressed:
        encryptBuffer(cipher, padToCipherUnit(compress(plain), padding), key);
        return std::string("ENZ") + static_cast<char>(padding) + cipher;
    }
    return {};
}
