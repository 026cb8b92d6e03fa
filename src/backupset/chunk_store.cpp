#include "backupset/chunk_store.h"

#include "backupset/path_text.h"
#include "common/error.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_decoder.h"
#include "protocol/spare_buffer.h"

#include <cstdio>
#include <filesystem>
#include <iterator>

namespace backupset {
namespace {

void putU32(std::ofstream& out, std::uint32_t value)
{
    char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    out.write(bytes, 4);
}

bool getU32(std::ifstream& in, std::uint32_t& value)
{
    unsigned char bytes[4];
    if (!in.read(reinterpret_cast<char*>(bytes), 4))
        return false;
    value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return true;
}

} // namespace

void requireDirectory(const std::string& path, const std::string& role)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(toPath(path), error);
    if (!std::filesystem::exists(status))
        throw ArgumentError("No " + role + " directory " + path);
    if (!std::filesystem::is_directory(status))
        throw ArgumentError(path + " is no directory");
}

std::string chunkFilePath(const std::string& setDirectory, std::size_t position)
{
    char name[32];
    std::snprintf(name, sizeof name, "%08zu", position);
    return setDirectory + "/" + kChunkDirectory + "/" + name;
}

ChunkFileWriter::ChunkFileWriter(const std::string& path, std::uint32_t chunkCount)
    : path_(path), out_(toPath(path), std::ios::binary | std::ios::trunc), expected_(chunkCount)
{
    out_.write(kChunkFileMagic, 4);
    putU32(out_, chunkCount);
    if (!out_)
        throw ChunkStoreError("Cannot write chunk file " + path_);
}

void ChunkFileWriter::add(const std::string& container)
{
    if (written_ == expected_)
        throw ChunkStoreError("More chunks than announced for " + path_);
    if (container.size() > UINT32_MAX)
        throw ChunkStoreError("Chunk too large for " + path_);
    putU32(out_, static_cast<std::uint32_t>(container.size()));
    out_.write(container.data(), static_cast<std::streamsize>(container.size()));
    if (!out_)
        throw ChunkStoreError("Cannot write chunk file " + path_);
    ++written_;
}

void ChunkFileWriter::finish()
{
    if (written_ != expected_)
        throw ChunkStoreError("Fewer chunks than announced for " + path_);
    out_.close();
    if (!out_)
        throw ChunkStoreError("Cannot write chunk file " + path_);
}

ChunkFileReader::ChunkFileReader(const std::string& path) : path_(path), in_(toPath(path), std::ios::binary)
{
    if (!in_) {
        std::error_code error;
        throw ChunkStoreError(
            (std::filesystem::exists(toPath(path), error) ? "Cannot read chunk file " : "Missing chunk file ") + path_);
    }
    char magic[4];
    if (!in_.read(magic, 4) || std::string(magic, 4) != kChunkFileMagic || !getU32(in_, count_))
        throw ChunkStoreError("Not a chunk file: " + path_);
}

bool ChunkFileReader::next(std::string& container)
{
    if (read_ == count_)
        return false;
    std::uint32_t length = 0;
    if (!getU32(in_, length))
        throw ChunkStoreError("Chunk file ends early: " + path_);
    // A parent reads into the data of a chunk message: the storage a sent one left serves.
    protocol::takeSpare(container, length);
    container.resize(length);
    if (length > 0 && !in_.read(container.data(), length))
        throw ChunkStoreError("Chunk file ends early: " + path_);
    ++read_;
    return true;
}

std::string encodeJob(const proto::ClientRestoreJob& job)
{
    std::string bytes;
    protocol::StringIo io(bytes);
    job.write(io, false);
    return bytes;
}

std::unique_ptr<proto::ClientRestoreJob> decodeJob(const std::string& bytes)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory, false);
    std::size_t used = 0;
    try {
        used = decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    } catch (const error::Exception& e) {
        throw ChunkStoreError("Malformed restore job: " + e.fullText());
    }
    if (!decoder.hasMessage() || used != bytes.size())
        throw ChunkStoreError("Restore job is not exactly one message");
    std::unique_ptr<protocol::BerConstructed> message = decoder.take();
    auto* job = dynamic_cast<proto::ClientRestoreJob*>(message.get());
    if (job == nullptr)
        throw ChunkStoreError("Restore job holds another message");
    message.release();
    return std::unique_ptr<proto::ClientRestoreJob>(job);
}

ChunkStore ChunkStore::open(const std::string& setDirectory)
{
    requireDirectory(setDirectory, "backup set");
    std::string path = setDirectory + "/" + kJobFile;
    std::error_code error;
    if (!std::filesystem::exists(toPath(path), error))
        throw ArgumentError(setDirectory + " is no backup set: it has no " + kJobFile);
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in)
        throw ChunkStoreError("Cannot open " + path);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ChunkStore store;
    store.directory_ = setDirectory;
    store.job_ = decodeJob(bytes);
    return store;
}

ChunkFileReader ChunkStore::chunks(std::size_t position) const
{
    if (position >= objectCount())
        throw ChunkStoreError("No object at position " + std::to_string(position));
    try {
        return ChunkFileReader(chunkFilePath(directory_, position));
    } catch (const ChunkStoreError& e) {
        throw ChunkStoreError(std::string(e.what()) + " (the chunks of object " + std::to_string(position) + ", \"" +
                              object(position).name + "\")");
    }
}

} // namespace backupset
