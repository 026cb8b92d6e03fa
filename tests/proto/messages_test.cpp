#include "proto/protocol_factory.h"

#include "protocol/ber_decoder.h"
#include "protocol/hex.h"
#include "protocol/spare_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

using bertest::hex;
using bertest::unhex;
using protocol::BerConstructed;
using protocol::BerValue;
using protocol::EBer;

namespace {

using bertest::encode;

// Decodes exactly one top-level message from the bytes, as the reader does.
std::unique_ptr<BerConstructed> decode(const std::string& bytes, bool legacy = false)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory, legacy);
    const auto used = decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    EXPECT_EQ(used, bytes.size());
    EXPECT_TRUE(decoder.hasMessage());
    return decoder.take();
}

template <class F>
std::string errorOf(F&& action)
{
    try {
        action();
    } catch (const EBer& e) {
        return e.reason();
    }
    return "(no error)";
}

std::string decodeError(const std::string& bytes, bool legacy = false)
{
    return errorOf([&] {
        proto::Protocol factory;
        protocol::BerDecoder decoder(factory, legacy);
        decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    });
}

// A job as the backup client writes it: one object of each metadata kind.
proto::ClientRestoreJob sampleJob()
{
    proto::ClientRestoreJob job;
    job.jobNumber = 4000000000u;
    job.restoreRoot = "C:\\restore";
    job.hasFiles = true;

    auto& document = *job.files.emplace_back(new proto::FileMetaData);
    document.name = "C:\\data\\report.doc";
    document.size = 70000;
    auto& ntfs = document.osmeta.emplace<proto::FileMetaNTFS>();
    ntfs.owner = "BUILTIN\\Administrators";
    ntfs.creationTime = 1600000000;
    ntfs.lastWriteTime = 4294967295u;
    ntfs.lastAccessTime = 1;
    ntfs.archive = true;
    ntfs.readOnly = true;
    ntfs.sddl = "O:BAG:SYD:(A;;FA;;;SY)";
    ntfs.hasSddl = true;

    auto& link = *job.files.emplace_back(new proto::FileMetaData);
    link.name = "/home/ann/current";
    auto& posix = link.osmeta.emplace<proto::FileMetaUNIX>();
    posix.owner = "ann";
    posix.group = "staff";
    posix.mode.emplace().ownerRead = true;
    posix.mode->sticky = true;
    posix.lastAccessTime = -1;
    posix.lastWriteTime = 1700000000;
    posix.creationTime = -9000000000ll;
    posix.linkTarget = "releases/7";
    posix.hasLinkTarget = true;

    auto& folder = *job.files.emplace_back(new proto::FileMetaData);
    folder.name = "/Users/bob/Pictures";
    folder.directory = true;
    auto& hfs = folder.osmeta.emplace<proto::FileMetaHFS>();
    hfs.owner = "bob";
    hfs.group = "admin";
    hfs.mode.emplace().groupExecute = true;
    hfs.hidden = true;
    hfs.atime.emplace().seconds = -5;
    hfs.atime->nanoseconds = 999999999;
    hfs.mtime.emplace().seconds = 1700000000;
    hfs.ctime.emplace();
    hfs.btime.emplace().nanoseconds = 1;
    auto& attribute = *hfs.extendedAttributes.emplace_back(new proto::ExtendedAttribute);
    attribute.name = "com.apple.FinderInfo";
    attribute.value = std::string("\0\x01\xff", 3);
    hfs.extendedAttributes.emplace_back(new proto::ExtendedAttribute);
    return job;
}

// ---------------------------------------------------------------- byte encodings

struct Encoding {
    const char* what;
    std::function<std::unique_ptr<BerConstructed>()> make;
    const char* bytes;
};

std::unique_ptr<BerConstructed> restoreStatus(std::int32_t status)
{
    auto message = std::make_unique<proto::RestoreStatus>();
    message->status = status;
    return message;
}

const Encoding kEncodings[] = {
    {"chunk request as the worker sends it",
     [] {
         auto exchange = std::make_unique<proto::MessageExchangeRequest>();
         exchange->request.emplace<proto::ChunkRequest>();
         return exchange;
     },
     "7F 3C 80 02 01 00 AC 80 00 00 00 00"},
    {"restore status ready", [] { return restoreStatus(proto::RestoreStatusType::Ready); },
     "A8 80 0A 01 02 02 01 00 00 00"},
    {"restore status of no restore: empty enumeration",
     [] { return restoreStatus(proto::RestoreStatusType::NoRestore); }, "A8 80 0A 00 02 01 00 00 00"},
    {"ChunkNone reply with exchange number 5 and the flag set",
     [] {
         auto exchange = std::make_unique<proto::MessageExchangeResponse>();
         exchange->exchangeNumber = 5;
         exchange->response.emplace<proto::ChunkNone>();
         exchange->complete = true;
         return exchange;
     },
     "7F 3D 80 02 01 05 AA 80 00 00 01 01 01 00 00"},
    {"RestoreInquiry", [] { return std::make_unique<proto::RestoreInquiry>(); }, "AB 80 00 00"},
    {"ChunkRequest", [] { return std::make_unique<proto::ChunkRequest>(); }, "AC 80 00 00"},
    {"ChunkNone", [] { return std::make_unique<proto::ChunkNone>(); }, "AA 80 00 00"},
    {"GetLogLevel", [] { return std::make_unique<proto::GetLogLevel>(); }, "7F 82 35 80 00 00"},
    {"CurrentLogLevel 1",
     [] {
         auto message = std::make_unique<proto::CurrentLogLevel>();
         message->level = proto::LogSeverity::Error;
         return message;
     },
     "7F 82 36 80 0A 01 01 00 00"},
    {"worker log line at level 0",
     [] {
         auto message = std::make_unique<proto::ClientWorkerLog>();
         message->text = "hi";
         return message;
     },
     "7F 82 2E 80 0A 00 04 02 68 69 00 00"},
    {"log message for the parent's log",
     [] {
         auto message = std::make_unique<proto::ClientLogMessage>();
         message->severity = proto::LogSeverity::Detail;
         message->text = "x";
         return message;
     },
     "6B 80 0A 01 03 04 01 78 00 00"},
    {"progress with time left but no rate",
     [] {
         auto message = std::make_unique<proto::UpdateRestoreProgress>();
         message->state = proto::Cli_RestoreProgress::Restoring;
         message->percentage = 57;
         message->files = 3;
         message->bytes = 300000;
         message->timeLeft = 12;
         message->hasTimeLeft = true;
         return message;
     },
     "7F 82 2D 80 0A 01 02 02 01 39 05 00 02 01 03 02 03 04 93 E0 02 01 0C 00 00"},
    {"progress with rate and no time left, large numbers",
     [] {
         auto message = std::make_unique<proto::UpdateRestoreProgress>();
         message->percentage = 100;
         message->rate = 0x80000000u;
         message->hasRate = true;
         message->files = 18446744073709551615u;
         return message;
     },
     "7F 82 2D 80 0A 00 02 01 64 02 05 00 80 00 00 00 02 09 00 FF FF FF FF FF FF FF FF 02 01 00 05 00 00 00"},
    {"job with NULL in place of the file list",
     [] {
         auto job = std::make_unique<proto::ClientRestoreJob>();
         job->jobNumber = 7;
         job->restoreRoot = "C:\\";
         return job;
     },
     "7F 82 30 80 02 01 07 04 03 43 3A 5C 05 00 00 00"},
    {"job with an empty file list",
     [] {
         auto job = std::make_unique<proto::ClientRestoreJob>();
         job->hasFiles = true;
         return job;
     },
     "7F 82 30 80 02 01 00 04 00 30 80 00 00 00 00"},
    {"NTFS record without security descriptor, directory flag false",
     [] {
         auto file = std::make_unique<proto::FileMetaData>();
         file->name = "a";
         file->size = 5;
         auto& ntfs = file->osmeta.emplace<proto::FileMetaNTFS>();
         ntfs.owner = "u";
         ntfs.creationTime = 1;
         ntfs.lastWriteTime = 2;
         ntfs.lastAccessTime = 3;
         ntfs.archive = true;
         ntfs.readOnly = true;
         return file;
     },
     "30 80 04 01 61 02 01 05 A1 80 04 01 75 02 01 01 02 01 02 02 01 03 01 01 01 01 01 00 01 01 00 01 01 00 01 01 "
     "01 01 01 00 00 00 01 01 00 00 00"},
    {"UNIX record of a plain file: NULL link target, directory flag false",
     [] {
         auto file = std::make_unique<proto::FileMetaData>();
         auto& posix = file->osmeta.emplace<proto::FileMetaUNIX>();
         posix.mode.emplace().otherExecute = true;
         posix.lastWriteTime = -2;
         return file;
     },
     "30 80 04 00 02 01 00 A2 80 04 00 04 00 "
     "30 80 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 01 01 01 00 01 01 00 "
     "01 01 00 00 00 02 01 00 02 01 FE 02 01 00 05 00 00 00 01 01 00 00 00"},
    {"chunk reply",
     [] {
         auto reply = std::make_unique<proto::ChunkResponse>();
         reply->name = "f";
         reply->chunkIndex = 2;
         reply->remainingChunks = 128;
         reply->data = "xyz";
         return reply;
     },
     "A9 80 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00"},
};

TEST(ProtocolEncoding, MessagesWriteTheirBytes)
{
    for (const Encoding& entry : kEncodings) {
        SCOPED_TRACE(entry.what);
        EXPECT_EQ(hex(encode(*entry.make())), hex(unhex(entry.bytes)));
    }
}

// What the decoder makes of the same bytes: an object equal to the one written. Messages
// with a tag pair cannot arrive on their own, so they travel in the exchange messages, and
// records in the file list of a job.
TEST(ProtocolEncoding, BytesReadBackToEqualObjects)
{
    for (const Encoding& entry : kEncodings) {
        SCOPED_TRACE(entry.what);
        std::unique_ptr<BerConstructed> expected = entry.make();
        std::unique_ptr<BerConstructed> wrapper;
        if (dynamic_cast<proto::FileMetaData*>(expected.get())) {
            auto job = std::make_unique<proto::ClientRestoreJob>();
            job->hasFiles = true;
            job->files.emplace_back(static_cast<proto::FileMetaData*>(expected->clone()));
            wrapper = std::move(job);
        } else if (dynamic_cast<proto::RestoreInquiry*>(expected.get()) ||
                   dynamic_cast<proto::ChunkRequest*>(expected.get())) {
            auto exchange = std::make_unique<proto::MessageExchangeRequest>();
            exchange->request.reset(static_cast<BerConstructed*>(expected->clone()));
            wrapper = std::move(exchange);
        } else if (expected->tag(false) % 8 == 5) {
            auto exchange = std::make_unique<proto::MessageExchangeResponse>();
            exchange->response.reset(static_cast<BerConstructed*>(expected->clone()));
            wrapper = std::move(exchange);
        } else {
            wrapper.reset(static_cast<BerConstructed*>(expected->clone()));
        }
        std::unique_ptr<BerConstructed> decoded = decode(encode(*wrapper));
        ASSERT_NE(decoded, nullptr);
        EXPECT_TRUE(*decoded == *wrapper);
        EXPECT_EQ(hex(encode(*decoded)), hex(encode(*wrapper)));
    }
}

TEST(ProtocolEncoding, WrappedRepliesReadAsTheirClasses)
{
    auto status = decode(unhex("7F 3D 80 02 01 00 A8 80 0A 01 02 02 01 00 00 00 00 00"));
    auto* exchange = dynamic_cast<proto::MessageExchangeResponse*>(status.get());
    ASSERT_NE(exchange, nullptr);
    EXPECT_FALSE(exchange->complete);
    ASSERT_NE(exchange->response.as<proto::RestoreStatus>(), nullptr);
    EXPECT_EQ(exchange->response.as<proto::RestoreStatus>()->status, proto::RestoreStatusType::Ready);

    auto chunk = decode(unhex("7F 3D 80 02 01 09 A9 80 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00 00 00"));
    auto* reply = dynamic_cast<proto::MessageExchangeResponse*>(chunk.get())->response.as<proto::ChunkResponse>();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->name, "f");
    EXPECT_EQ(reply->chunkIndex, 2u);
    EXPECT_EQ(reply->remainingChunks, 128u);
    EXPECT_EQ(reply->data, "xyz");
}

TEST(ProtocolEncoding, JobWithNullListHasNoFiles)
{
    auto decoded = decode(unhex("7F 82 30 80 02 01 07 04 03 43 3A 5C 05 00 00 00"));
    auto* job = dynamic_cast<proto::ClientRestoreJob*>(decoded.get());
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->jobNumber, 7u);
    EXPECT_EQ(job->restoreRoot, "C:\\");
    EXPECT_FALSE(job->hasFiles);
    EXPECT_TRUE(job->files.empty());
}

TEST(ProtocolEncoding, UnknownTrailingFieldsAreSkipped)
{
    const std::string plain = "7F 82 30 80 02 01 07 04 03 43 3A 5C 05 00";
    auto expected = decode(unhex(plain + " 00 00"));
    const char* extras[] = {
        "01 01 FF",                         // a boolean
        "01 01 FF 02 01 05",                // two primitives
        "30 80 02 01 01 A3 80 00 00 00 00", // a constructed value with nested content
        "30 03 02 01 01",                   // definite length
    };
    for (const char* extra : extras) {
        SCOPED_TRACE(extra);
        auto decoded = decode(unhex(plain + " " + extra + " 00 00"));
        ASSERT_NE(decoded, nullptr);
        EXPECT_TRUE(*decoded == *expected);
    }
    // Inside records: an eighth field of FileMetaUNIX and a fifth of FileMetaData.
    proto::ClientRestoreJob job;
    job.hasFiles = true;
    job.files.emplace_back(new proto::FileMetaData);
    job.files[0]->osmeta.emplace<proto::FileMetaUNIX>().mode.emplace();
    std::string bytes = hex(encode(job));
    const std::string end = "05 00 00 00 01 01 00 00 00 00 00 00 00";
    ASSERT_EQ(bytes.substr(bytes.size() - end.size()), end);
    bytes = bytes.substr(0, bytes.size() - end.size()) + "05 00 04 01 7A 00 00 01 01 00 0A 01 09 00 00 00 00 00 00";
    auto decoded = decode(unhex(bytes));
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(*decoded == job);
}

TEST(ProtocolEncoding, ChunkDataUpToTheLimit)
{
    const std::string head = unhex("7F 3D 80 02 01 00 A9 80 04 00 02 01 00 02 01 00 04 84 06 40 00 00");
    const std::string tail = unhex("00 00 00 00");
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    auto feed = [&](const std::string& bytes) {
        std::size_t used = 0;
        while (used < bytes.size())
            used += decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()) + used, bytes.size() - used);
    };
    feed(head);
    const std::string piece(1 << 20, 'c');
    for (int i = 0; i < 100; ++i)
        feed(piece);
    feed(tail);
    ASSERT_TRUE(decoder.hasMessage());
    auto message = decoder.take();
    auto* reply = dynamic_cast<proto::MessageExchangeResponse&>(*message).response.as<proto::ChunkResponse>();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data.size(), 104857600u);

    EXPECT_EQ(decodeError(unhex("7F 3D 80 02 01 00 A9 80 04 00 02 01 00 02 01 00 04 84 06 40 00 01")),
              "String exceeds allowed length 104857601 > 104857600");
}

// Counts the bytes written without keeping them.
class CountingIo : public protocol::BasicIo {
public:
    void write(const void*, std::size_t count) override { total += count; }
    std::size_t total = 0;
};

TEST(ProtocolEncoding, ChunkDataLimitWhenWriting)
{
    proto::ChunkResponse reply;
    reply.data.assign(104857600, 'c');
    CountingIo io;
    reply.write(io, false);
    EXPECT_EQ(io.total, 2u + 2 + 3 + 3 + 6 + 104857600 + 2);

    reply.data.push_back('c');
    EXPECT_EQ(errorOf([&] { reply.write(io, false); }), "String exceeds allowed length 104857601 > 104857600");
}

// A stream of chunks reuses one buffer: a received chunk's data takes the storage that the
// previous chunk left when it was destroyed. Storage too small or too large is not kept.
TEST(ProtocolEncoding, ChunkDataStorageServesTheNextChunk)
{
    // The capacity of the storage kept, 0 when none; none is kept afterwards.
    auto drain = [] {
        std::string taken;
        protocol::takeSpare(taken, protocol::kSpareMinimum);
        return taken.capacity() >= protocol::kSpareMinimum ? taken.capacity() : 0;
    };
    auto storageOfDestroyedChunk = [](std::size_t capacity) {
        auto reply = std::make_unique<proto::ChunkResponse>();
        reply->data.reserve(capacity);
        const void* storage = reply->data.data();
        reply.reset();
        return storage;
    };
    drain();
    const std::size_t kept = 1 << 20;
    const void* storage = storageOfDestroyedChunk(kept);
    proto::MessageExchangeResponse sent;
    sent.response.emplace<proto::ChunkResponse>().data.assign(200000, 'd');
    std::unique_ptr<BerConstructed> received = decode(encode(sent));
    auto* reply = dynamic_cast<proto::MessageExchangeResponse&>(*received).response.as<proto::ChunkResponse>();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->data, std::string(200000, 'd'));
    EXPECT_EQ(static_cast<const void*>(reply->data.data()), storage);
    EXPECT_EQ(drain(), 0u) << "one message, one buffer";

    for (std::size_t capacity : {protocol::kSpareMinimum / 2, protocol::kSpareMaximum + 1}) {
        storageOfDestroyedChunk(capacity);
        EXPECT_EQ(drain(), 0u) << capacity << " bytes kept";
    }
    received.reset();
    EXPECT_GE(drain(), 200000u);
}

TEST(ProtocolEncoding, RangesAreCheckedBothWays)
{
    // Timespec nanoseconds, inside a LogMessage ([APPLICATION 400]).
    EXPECT_EQ(decodeError(unhex("7F 83 10 80 0A 01 02 04 00 30 80 02 01 00 02 04 3B 9A CA 00 00 00 00 00")),
              "data out of range in BerIntegerTemplate<int>::readDone 0 <= 1000000000 <= 999999999");
    EXPECT_EQ(decodeError(unhex("7F 83 10 80 0A 01 02 04 00 30 80 02 01 00 02 04 3B 9A C9 FF 00 00 00 00")),
              "(no error)");

    proto::Timespec time;
    time.nanoseconds = 1000000000;
    EXPECT_EQ(errorOf([&] { encode(time); }),
              "data out of range in BerIntegerTemplate<int>::write 0 <= 1000000000 <= 999999999");
    time.nanoseconds = -1;
    EXPECT_EQ(errorOf([&] { encode(time); }),
              "data out of range in BerIntegerTemplate<int>::write 0 <= -1 <= 999999999");

    proto::UpdateRestoreProgress progress;
    progress.percentage = 101;
    EXPECT_EQ(errorOf([&] { encode(progress); }),
              "data out of range in BerIntegerTemplate<int>::write 0 <= 101 <= 100");
    EXPECT_EQ(decodeError(unhex("7F 82 2D 80 0A 00 02 01 65 05 00 02 01 00 02 01 00 05 00 00 00")),
              "data out of range in BerIntegerTemplate<int>::readDone 0 <= 101 <= 100");
    progress.percentage = 100;
    EXPECT_EQ(errorOf([&] { encode(progress); }), "(no error)");
}

// ---------------------------------------------------------------- refused input

struct Refusal {
    const char* what;
    const char* bytes;
    const char* error;
};

const Refusal kRefusals[] = {
    {"root as IA5String", "7F 82 30 80 02 01 07 16 03 43 3A 5C 05 00 00 00",
     "Tag mismatch, got 176 expected BE_STRING_CURRENT"},
    {"job number as a string", "7F 82 30 80 04 01 07 04 00 05 00 00 00", "Tag mismatch, got 32 expected BE_INTEGER"},
    {"file list as an integer", "7F 82 30 80 02 01 07 04 00 02 01 00 00 00",
     "Tag mismatch, got 16 expected BE_SEQ_CURRENT"},
    {"file list as a legacy sequence", "7F 82 30 80 02 01 07 04 00 20 80 00 00 00 00",
     "Tag mismatch, got 1 expected BE_SEQ_CURRENT"},
    {"integer in the file list", "7F 82 30 80 02 01 07 04 00 30 80 02 01 01 00 00 00 00",
     "Tag mismatch, got 16 expected BE_FILE_META_DATA_CURRENT"},
    {"metadata of an unknown kind",
     "7F 82 30 80 02 01 07 04 00 30 80 30 80 04 01 61 02 01 00 A4 80 00 00 00 00 00 00 00 00",
     "Unexpected tag 37 received in Union FileMetaData.this->osmeta"},
    {"NTFS metadata under its legacy tag",
     "7F 82 30 80 02 01 07 04 00 30 80 30 80 04 01 61 02 01 00 61 80 00 00 00 00 00 00 00 00",
     "Unexpected tag 11 received in Union FileMetaData.this->osmeta"},
    {"UNIX mode as a boolean", "7F 82 30 80 02 01 00 04 00 30 80 30 80 04 00 02 01 00 A2 80 04 00 04 00 01 01 00",
     "Tag mismatch, got 8 expected BE_FILE_ACCESS_MODE_CURRENT"},
    {"job with two fields", "7F 82 30 80 02 01 07 04 00 00 00", "Got to few fields of constructed value"},
    {"NULL for the chunk's name", "7F 3D 80 02 01 00 A9 80 05 00", "Tag mismatch, got 40 expected BE_STRING_CURRENT"},
    {"request not in the response union", "7F 3D 80 02 01 00 B1 80 00 00 00 00",
     "Unexpected tag 141 received in Union MessageExchangeResponse.this->response"},
    {"a request's number is also a reply's", "7F 3D 80 02 01 00 AB 80 00 00 00 00", "(no error)"},
    {"reply under its legacy tag", "7F 3D 80 02 01 00 6A 80 00 00 00 00",
     "Unexpected tag 83 received in Union MessageExchangeResponse.this->response"},
    {"reply in the request union", "7F 3C 80 02 01 00 BF 5E 80",
     "Unexpected tag 757 received in Union MessageExchangeRequest.this->request"},
    {"status as an integer", "7F 3D 80 02 01 00 A8 80 02 01 02", "Tag mismatch, got 16 expected BE_ENUMERATED"},
    {"chunk reply on its own", "A9 80 00 00", "Unknown tag 77"},
    {"a record at the top level", "30 80 00 00", "Unknown tag 129"},
    {"string in a list of integers", "7F 83 12 80 02 01 00 30 80 30 80 04 00 30 80 04 00",
     "Tag mismatch, got 32 expected BE_INTEGER"},
    {"integer in a list of strings", "7F 3D 80 02 01 00 AE 80 30 80 02 01 00",
     "Tag mismatch, got 16 expected BE_STRING_CURRENT"},
    {"machine name over 256 bytes", "7F 3D 80 02 01 00 AE 80 30 80 04 82 01 01",
     "String exceeds allowed length 257 > 256"},
    {"port beyond 65535", "7F 3D 80 02 01 00 7F 4C 80 04 00 02 03 01 00 00",
     "data out of range in BerIntegerTemplate<unsigned int>::readDone 0 <= 65536 <= 65535"},
};

TEST(ProtocolRefusals, WrongInputFailsTheMessageWithItsText)
{
    for (const Refusal& entry : kRefusals) {
        SCOPED_TRACE(entry.what);
        EXPECT_EQ(decodeError(unhex(entry.bytes)), entry.error);
    }
}

TEST(ProtocolRefusals, LegacyDecoderExpectsLegacyTags)
{
    EXPECT_EQ(decodeError(unhex("7F 82 30 80 02 01 07 04 00 05 00 00 00"), true),
              "Tag mismatch, got 32 expected BE_STRING_LEGACY");
    EXPECT_EQ(decodeError(unhex("7F 82 30 80 02 01 07 16 00 30 80 00 00 00 00"), true),
              "Tag mismatch, got 129 expected BE_SEQ_LEGACY");
    EXPECT_EQ(decodeError(unhex("7F 82 30 80 02 01 07 16 00 20 80 20 80 16 00 02 01 00 A1 80"), true),
              "Unexpected tag 13 received in Union FileMetaData.this->osmeta");
    EXPECT_EQ(decodeError(unhex("7F 82 30 80 02 01 07 16 00 20 80 30 80"), true),
              "Tag mismatch, got 129 expected BE_FILE_META_DATA_LEGACY");
}

TEST(ProtocolFactory, OnlyTopLevelTagsMakeMessages)
{
    proto::Protocol factory;
    EXPECT_EQ(errorOf([&] { delete factory.create(77, false); }), "Unknown tag 77");
    EXPECT_EQ(errorOf([&] { delete factory.create(109, true); }), "Unknown tag 109");
    EXPECT_EQ(errorOf([&] { delete factory.create(0, false); }), "Unknown tag 0");
    std::unique_ptr<BerConstructed> job(factory.create(304 * 8 + 3, false));
    EXPECT_NE(dynamic_cast<proto::ClientRestoreJob*>(job.get()), nullptr);
    EXPECT_TRUE(*job == proto::ClientRestoreJob());
}

// ---------------------------------------------------------------- the catalogue

using MakeConstructed = std::function<std::unique_ptr<BerConstructed>()>;
using IsClass = bool (*)(const BerValue*);

struct TopLevel {
    const char* name;
    std::uint32_t number;
    IsClass is;
};
#define TOP(Name, n)                                                                                                   \
    {                                                                                                                  \
#Name, n, [](const BerValue* v) { return dynamic_cast<const proto::Name*>(v) != nullptr; }                     \
    }

const TopLevel kTopLevel[] = {
    TOP(UserIdent, 1),
    TOP(ServerNonce, 2),
    TOP(ChannelVerification, 3),
    TOP(ServerAcknowledge, 4),
    TOP(SetMachineName, 7),
    TOP(MachineNameSetOk, 8),
    TOP(MachineNameSetFailed, 9),
    TOP(ClientLogMessage, 11),
    TOP(MessageHeader, 19),
    TOP(Message, 20),
    TOP(MessageExchangeRequest, 60),
    TOP(MessageExchangeResponse, 61),
    TOP(ErrorNeedUpgrade, 75),
    TOP(ErrorRedirectTo, 76),
    TOP(ErrorComeBackLater, 77),
    TOP(ErrorDuplicateLogin, 78),
    TOP(ErrorCurrentOperationFailed, 79),
    TOP(FileBegin, 80),
    TOP(ChunkSend, 81),
    TOP(FileComplete, 82),
    TOP(FileDelete, 83),
    TOP(FileAbort, 84),
    TOP(FileChecksumMd5, 100),
    TOP(BackupRunsCache, 101),
    TOP(FileListCache, 102),
    TOP(GetStatus, 200),
    TOP(StatusResponse, 201),
    TOP(GetNews, 202),
    TOP(NewsResponse, 203),
    TOP(ErrorUnknownMessage, 204),
    TOP(StartBackup, 205),
    TOP(StartBackupReply, 206),
    TOP(GetProgressBackup, 207),
    TOP(ProgressBackup, 208),
    TOP(GetProgressRestore, 209),
    TOP(ProgressRestore, 210),
    TOP(GetBackupSchedule, 211),
    TOP(BackupSchedule, 212),
    TOP(SetBackupSchedule, 213),
    TOP(CancelBackup, 214),
    TOP(CancelRestore, 215),
    TOP(SetBackupSet, 216),
    TOP(GetBackupSet, 217),
    TOP(BackupSetReply, 218),
    TOP(GetAccountDetails, 219),
    TOP(ReturnAccountDetails, 220),
    TOP(GetMachineAccounts, 222),
    TOP(ReturnMachineAccounts, 223),
    TOP(SetMachineAccount, 224),
    TOP(GetBackupRuns, 225),
    TOP(ReturnBackupRuns, 226),
    TOP(GetFileListFromJob, 227),
    TOP(ReturnFileListFromJobTryAgain, 228),
    TOP(ReturnFileListFromJobError, 229),
    TOP(ReturnFileListFromJob, 230),
    TOP(StartRestore, 231),
    TOP(StartRestoreReply, 232),
    TOP(GetDataEncryptionKey, 233),
    TOP(GetDataEncryptionKeyReply, 234),
    TOP(SetDataEncryptionKey, 235),
    TOP(CurrentQuotaInfoRequest, 236),
    TOP(CurrentQuotaInfoReply, 237),
    TOP(DirectoryNode, 238),
    TOP(FailedFilesRequest, 243),
    TOP(FailedFilesResponse, 244),
    TOP(GetClientIsAdmin, 245),
    TOP(ReplyClientIsAdmin, 246),
    TOP(GuiGetMessage, 247),
    TOP(GuiMessageResponse, 248),
    TOP(GuiMarkMessage, 249),
    TOP(GuiMarkResponse, 250),
    TOP(GuiLogMessage, 251),
    TOP(SetLang, 252),
    TOP(CreateLogonToken, 253),
    TOP(LogonToken, 254),
    TOP(GetLoginState, 255),
    TOP(LoginState, 256),
    TOP(SetUsername, 257),
    TOP(SetPassword, 258),
    TOP(CreateMachine, 259),
    TOP(NewMachine, 260),
    TOP(ClearCredentials, 261),
    TOP(ClearMachineName, 262),
    TOP(ReloadMachineAccounts, 266),
    TOP(ReloadQuotaCache, 267),
    TOP(SetToken, 268),
    TOP(ReSubmitAccount, 269),
    TOP(GetSubDirs, 270),
    TOP(GetSubDirsReply, 271),
    TOP(GetPermissions, 274),
    TOP(GetPermissionsReply, 275),
    TOP(GetCentralConfigName, 276),
    TOP(GetCentralConfigNameReply, 277),
    TOP(UpdateBackupProgress, 300),
    TOP(UpdateRestoreProgress, 301),
    TOP(ClientWorkerLog, 302),
    TOP(ClientMetacacheElement, 303),
    TOP(ClientRestoreJob, 304),
    TOP(WorkerBackedUpFile, 305),
    TOP(BWorkDoBackup, 306),
    TOP(BWorkDoScan, 307),
    TOP(BWorkBackupComplete, 308),
    TOP(GetLogLevel, 309),
    TOP(CurrentLogLevel, 310),
    TOP(LogMessage, 400),
    TOP(MetaData, 401),
    TOP(RestoreJob, 402),
    TOP(ClientRegisterIntention, 403),
    TOP(DBInit, 405),
    TOP(DBInitResp, 406),
    TOP(DBRemoveAccount, 407),
    TOP(DBRemoveAccountResp, 408),
    TOP(DBStatus, 409),
    TOP(DBStatusResp, 410),
    TOP(HCInit, 411),
    TOP(Resource, 500),
    TOP(MessageBoxMessage, 600),
    TOP(SystrayMessage, 601),
};

struct Paired {
    const char* name;
    std::uint32_t number;
    MakeConstructed make;
};
#define PAIR(Name, n)                                                                                                  \
    {                                                                                                                  \
#Name, n, [] { return std::unique_ptr<BerConstructed>(new proto::Name); }                                      \
    }

const Paired kPaired[] = {
    PAIR(ChecksumMapResponse, 1),
    PAIR(FileMetaNTFS, 1),
    PAIR(GetChecksumMap, 1),
    PAIR(URI, 1),
    PAIR(ChecksumMapDone, 2),
    PAIR(FileMetaUNIX, 2),
    PAIR(GetUpdate, 2),
    PAIR(Str, 2),
    PAIR(BackupBegin, 3),
    PAIR(FileMetaHFS, 3),
    PAIR(ImagePNG, 3),
    PAIR(UpdateResponse, 3),
    PAIR(ColourRGB, 4),
    PAIR(FileBeginDeprecated, 4),
    PAIR(NoUpdateResponse, 4),
    PAIR(BackupReply, 5),
    PAIR(ChunkSendDeprecated, 5),
    PAIR(WhitelabelID, 5),
    PAIR(FileCompleteDeprecated, 6),
    PAIR(RestoreBeginOk, 6),
    PAIR(BackupComplete, 7),
    PAIR(MetadataByDateResponse, 7),
    PAIR(RestoreBegin, 8),
    PAIR(RestoreStatus, 8),
    PAIR(ChunkResponse, 9),
    PAIR(MetadataByDate, 9),
    PAIR(ChunkNone, 10),
    PAIR(FileDeleteDeprecated, 10),
    PAIR(Pong, 11),
    PAIR(RestoreInquiry, 11),
    PAIR(ChunkRequest, 12),
    PAIR(LatestNewsItem, 12),
    PAIR(BackupRunsReply, 13),
    PAIR(Ping, 13),
    PAIR(GetLatestNews, 14),
    PAIR(MachineNames, 14),
    PAIR(BackupRunsInquiry, 15),
    PAIR(QuotaInfo, 15),
    PAIR(GetMachineNames, 16),
    PAIR(GetQuotaInfo, 17),
    PAIR(DataOperationRequest, 18),
    PAIR(DataOperationResponse, 18),
    PAIR(FileAbortDeprecated, 19),
    PAIR(MessageHeaders, 19),
    PAIR(GetMessageHeaders, 20),
    PAIR(EncryptedKeyValid, 21),
    PAIR(GetMessageW, 21),
    PAIR(EncryptedKeyInvalid, 22),
    PAIR(MarkMessage, 22),
    PAIR(MarkMessageReply, 23),
    PAIR(ValidateEncryptedKey, 23),
    PAIR(MetadataByDateChunked, 24),
    PAIR(MetadataByDateChunkedResponse, 24),
    PAIR(MetadataCSumValidationStatus, 25),
    PAIR(VerifyMetadataCacheCSum, 25),
    PAIR(GetLogonToken, 26),
    PAIR(LogonTokenReply, 26),
    PAIR(CancelCurrentBackup, 27),
    PAIR(CancelCurrentBackupReply, 27),
    PAIR(CreateAccount, 87),
    PAIR(CreateAccountOk, 87),
    PAIR(CreateAccountFailed, 88),
    PAIR(CreateMachineName, 88),
    PAIR(SetUserAccount, 89),
    PAIR(UserAccountSetOk, 89),
    PAIR(PKClientKey, 90),
    PAIR(UserAccountSetFailed, 90),
    PAIR(ChannelVerificationEx, 91),
    PAIR(CreateMachineNameOk, 91),
    PAIR(CreateMachineNameFailed, 92),
    PAIR(SetMachineNameEx, 92),
    PAIR(PKServerNonce, 93),
    PAIR(SetUserAccountWithToken, 93),
    PAIR(ServerAcknowledgeEx, 94),
    PAIR(MachineNameSetOkEx, 95),
    PAIR(MachineNameSetFailedEx, 96),
    PAIR(MessageNotFound, 97),
    PAIR(MachineNameSetFailedNotFound, 98),
};

struct Sequence {
    const char* name;
    MakeConstructed make;
};
#define RECORD(Name)                                                                                                   \
    {                                                                                                                  \
#Name, [] { return std::unique_ptr<BerConstructed>(new proto::Name); }                                         \
    }
#define LIST(Name)                                                                                                     \
    {                                                                                                                  \
#Name, [] {                                                                                                    \
            static proto::Name::Storage storage;                                                                       \
            return std::unique_ptr<BerConstructed>(new proto::Name(storage));                                          \
        }       \
    }

const Sequence kSequences[] = {
    RECORD(BackupFolder),      RECORD(BackupRun),
    RECORD(CentralConfig),     RECORD(ContentInfo),
    RECORD(ExtendedAttribute), RECORD(FileAccessMode),
    RECORD(FileMetaData),      LIST(ListOfBackupFolder),
    LIST(ListOfBackupRun),     LIST(ListOfContentInfo),
    LIST(ListOfDirectoryNode), LIST(ListOfExtendedAttribute),
    LIST(ListOfFileMetaData),  LIST(ListOfInteger0x0to0xffffffff),
    LIST(ListOfMessageHeader), LIST(ListOfRestoreFile),
    LIST(ListOfString256),     LIST(ListOfString65536),
    LIST(ListOfUnion),         LIST(ListOfUpdateFile),
    RECORD(NewsItem),          RECORD(RestoreFile),
    RECORD(ScheduleDays),      RECORD(Timespec),
    RECORD(UpdateFile),        RECORD(Version),
};

struct Enumeration {
    const char* name;
    std::function<std::unique_ptr<BerValue>(std::int32_t*)> make;
};
#define ENUMERATION(Name)                                                                                              \
    {                                                                                                                  \
#Name, [](std::int32_t * target) { return std::unique_ptr<BerValue>(new proto::Name(target)); }                \
    }

const Enumeration kEnumerations[] = {
    ENUMERATION(Arch),           ENUMERATION(BackupFileResult),   ENUMERATION(BackupRunStatus),
    ENUMERATION(BackupStatus),   ENUMERATION(Cli_BackupProgress), ENUMERATION(Cli_RestoreProgress),
    ENUMERATION(Cli_Status),     ENUMERATION(CookieForceType),    ENUMERATION(IO_ServiceWaitState),
    ENUMERATION(LogSeverity),    ENUMERATION(Login_Status),       ENUMERATION(LogonError),
    ENUMERATION(MetaDataStatus), ENUMERATION(RestoreStatusType),  ENUMERATION(ShowStates),
};

TEST(ProtocolCatalogue, EveryTopLevelMessageComesFromTheFactory)
{
    proto::Protocol factory;
    for (const TopLevel& entry : kTopLevel) {
        SCOPED_TRACE(entry.name);
        for (bool legacy : {false, true}) {
            std::unique_ptr<BerConstructed> message(factory.create(entry.number * 8 + 3, legacy));
            EXPECT_TRUE(entry.is(message.get()));
            EXPECT_EQ(message->tag(false), entry.number * 8 + 3);
            EXPECT_EQ(message->tag(true), entry.number * 8 + 3);
            EXPECT_FALSE(message->isTransient());
        }
    }
}

TEST(ProtocolCatalogue, FactoryKnowsExactlyTheTopLevelMessages)
{
    std::set<std::uint32_t> expected;
    for (const TopLevel& entry : kTopLevel)
        expected.insert(entry.number * 8 + 3);
    ASSERT_EQ(expected.size(), 118u);

    proto::Protocol factory;
    std::set<std::uint32_t> accepted;
    for (std::uint32_t tag = 0; tag < 1024 * 8; ++tag) {
        try {
            delete factory.create(tag, false);
            accepted.insert(tag);
        } catch (const EBer& e) {
            EXPECT_EQ(e.reason(), "Unknown tag " + std::to_string(tag));
        }
    }
    EXPECT_EQ(accepted, expected);
}

TEST(ProtocolCatalogue, PairedMessagesChangeTagWithTheEncoding)
{
    ASSERT_EQ(std::size(kPaired), 78u);
    for (const Paired& entry : kPaired) {
        SCOPED_TRACE(entry.name);
        auto message = entry.make();
        EXPECT_EQ(message->tag(false), entry.number * 8 + 5);
        EXPECT_EQ(message->tag(true), entry.number * 8 + 3);
        EXPECT_FALSE(message->isTransient());
        if (message->minFields() == 0) {
            // One identifier octet below 31, else 0x1F and the number (all are below 128).
            const auto identifier = [&](unsigned char classBits) {
                if (entry.number < 31)
                    return std::string(1, static_cast<char>(classBits | entry.number));
                return std::string{static_cast<char>(classBits | 0x1F), static_cast<char>(entry.number)};
            };
            EXPECT_EQ(hex(encode(*message)), hex(identifier(0xA0) + unhex("80 00 00")));
            EXPECT_EQ(hex(encode(*message, true)), hex(identifier(0x60) + unhex("80 00 00")));
        }
    }
}

TEST(ProtocolCatalogue, RecordsAndListsAreSequences)
{
    ASSERT_EQ(std::size(kSequences), 26u);
    for (const Sequence& entry : kSequences) {
        SCOPED_TRACE(entry.name);
        auto value = entry.make();
        EXPECT_EQ(value->tag(false), 129u);
        EXPECT_EQ(value->tag(true), 1u);
        EXPECT_EQ(value->isTransient(), std::string(entry.name).rfind("ListOf", 0) == 0);
    }
}

TEST(ProtocolCatalogue, EnumerationsAreEnumeratedInBothEncodings)
{
    ASSERT_EQ(std::size(kEnumerations), 15u);
    for (const Enumeration& entry : kEnumerations) {
        SCOPED_TRACE(entry.name);
        std::int32_t value = 0;
        auto enumeration = entry.make(&value);
        EXPECT_EQ(enumeration->tag(false), 80u);
        EXPECT_EQ(enumeration->tag(true), 80u);
        EXPECT_EQ(hex(encode(*enumeration)), "0A 00");
        EXPECT_EQ(hex(encode(*enumeration, true)), "0A 00");
    }
}

TEST(ProtocolCatalogue, EnumerationValues)
{
    struct Case {
        std::int32_t value;
        const char* bytes;
    };
    const Case cases[] = {
        {0, "0A 00"},
        {proto::RestoreStatusType::Ready, "0A 01 02"},
        {127, "0A 01 7F"},
        {128, "0A 02 00 80"},
        {0x12345678, "0A 04 12 34 56 78"},
        {-1, "0A 04 FF FF FF FF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        proto::CurrentLogLevel message;
        message.level = c.value;
        const std::string bytes = encode(message);
        EXPECT_EQ(hex(bytes), hex(unhex(std::string("7F 82 36 80 ") + c.bytes + " 00 00")));
        auto decoded = decode(bytes);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(dynamic_cast<proto::CurrentLogLevel&>(*decoded).level, c.value);
    }
    EXPECT_EQ(proto::RestoreStatusType::NoRestore, 0);
    EXPECT_EQ(proto::RestoreStatusType::NotReady, 1);
    EXPECT_EQ(proto::Cli_RestoreProgress::Preparing, 0);
    EXPECT_EQ(proto::Cli_RestoreProgress::WaitingForServer, 1);
    EXPECT_EQ(proto::Cli_RestoreProgress::Restoring, 2);
    EXPECT_EQ(proto::Cli_RestoreProgress::NoRestore, 3);
    EXPECT_EQ(proto::LogSeverity::Fatal, 0);
    EXPECT_EQ(proto::LogSeverity::Error, 1);
    EXPECT_EQ(proto::LogSeverity::Info, 2);
    EXPECT_EQ(proto::LogSeverity::Detail, 3);
}

TEST(ProtocolCatalogue, RequiredFieldsOfTheRestoreTypes)
{
    struct Case {
        const char* name;
        MakeConstructed make;
        std::uint32_t required;
    };
    const Case cases[] = {
        {"Timespec", [] { return std::make_unique<proto::Timespec>(); }, 2},
        {"ExtendedAttribute", [] { return std::make_unique<proto::ExtendedAttribute>(); }, 2},
        {"FileAccessMode", [] { return std::make_unique<proto::FileAccessMode>(); }, 12},
        {"FileMetaNTFS", [] { return std::make_unique<proto::FileMetaNTFS>(); }, 10},
        {"FileMetaUNIX", [] { return std::make_unique<proto::FileMetaUNIX>(); }, 7},
        {"FileMetaHFS", [] { return std::make_unique<proto::FileMetaHFS>(); }, 17},
        {"FileMetaData", [] { return std::make_unique<proto::FileMetaData>(); }, 3},
        {"RestoreFile", [] { return std::make_unique<proto::RestoreFile>(); }, 2},
        {"ClientRestoreJob", [] { return std::make_unique<proto::ClientRestoreJob>(); }, 3},
        {"RestoreInquiry", [] { return std::make_unique<proto::RestoreInquiry>(); }, 0},
        {"RestoreStatus", [] { return std::make_unique<proto::RestoreStatus>(); }, 2},
        {"ChunkRequest", [] { return std::make_unique<proto::ChunkRequest>(); }, 0},
        {"ChunkResponse", [] { return std::make_unique<proto::ChunkResponse>(); }, 4},
        {"ChunkNone", [] { return std::make_unique<proto::ChunkNone>(); }, 0},
        {"UpdateRestoreProgress", [] { return std::make_unique<proto::UpdateRestoreProgress>(); }, 6},
        {"MessageExchangeRequest", [] { return std::make_unique<proto::MessageExchangeRequest>(); }, 2},
        {"MessageExchangeResponse", [] { return std::make_unique<proto::MessageExchangeResponse>(); }, 2},
        {"ClientLogMessage", [] { return std::make_unique<proto::ClientLogMessage>(); }, 2},
        {"ClientWorkerLog", [] { return std::make_unique<proto::ClientWorkerLog>(); }, 2},
        {"GetLogLevel", [] { return std::make_unique<proto::GetLogLevel>(); }, 0},
        {"CurrentLogLevel", [] { return std::make_unique<proto::CurrentLogLevel>(); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.make()->minFields(), c.required);
    }
}

// ---------------------------------------------------------------- unions

struct Alternative {
    const char* name;
    std::uint32_t (*wireTag)(bool legacy);
    IsClass is;
};
#define ALT(Name)                                                                                                      \
    {                                                                                                                  \
#Name, &proto::Name::wireTag, [](const BerValue* v) { return dynamic_cast<const proto::Name*>(v) != nullptr; } \
    }

const Alternative kRequests[] = {
    ALT(ChunkSend),
    ALT(FileComplete),
    ALT(FileDelete),
    ALT(FileAbort),
    ALT(GetChecksumMap),
    ALT(GetUpdate),
    ALT(BackupBegin),
    ALT(FileBeginDeprecated),
    ALT(ChunkSendDeprecated),
    ALT(FileCompleteDeprecated),
    ALT(BackupComplete),
    ALT(RestoreBegin),
    ALT(MetadataByDate),
    ALT(FileDeleteDeprecated),
    ALT(RestoreInquiry),
    ALT(ChunkRequest),
    ALT(Ping),
    ALT(GetLatestNews),
    ALT(BackupRunsInquiry),
    ALT(GetMachineNames),
    ALT(GetQuotaInfo),
    ALT(DataOperationRequest),
    ALT(FileAbortDeprecated),
    ALT(GetMessageHeaders),
    ALT(GetMessageW),
    ALT(MarkMessage),
    ALT(ValidateEncryptedKey),
    ALT(MetadataByDateChunked),
    ALT(VerifyMetadataCacheCSum),
    ALT(GetLogonToken),
    ALT(CancelCurrentBackup),
    ALT(CreateAccount),
    ALT(CreateMachineName),
    ALT(SetUserAccount),
    ALT(PKClientKey),
    ALT(ChannelVerificationEx),
    ALT(SetMachineNameEx),
    ALT(SetUserAccountWithToken),
};

const Alternative kResponses[] = {
    ALT(Message),
    ALT(ErrorRedirectTo),
    ALT(ErrorComeBackLater),
    ALT(ErrorDuplicateLogin),
    ALT(ErrorCurrentOperationFailed),
    ALT(ChecksumMapResponse),
    ALT(ChecksumMapDone),
    ALT(UpdateResponse),
    ALT(NoUpdateResponse),
    ALT(BackupReply),
    ALT(RestoreBeginOk),
    ALT(MetadataByDateResponse),
    ALT(RestoreStatus),
    ALT(ChunkResponse),
    ALT(ChunkNone),
    ALT(Pong),
    ALT(LatestNewsItem),
    ALT(BackupRunsReply),
    ALT(MachineNames),
    ALT(QuotaInfo),
    ALT(DataOperationResponse),
    ALT(MessageHeaders),
    ALT(EncryptedKeyValid),
    ALT(EncryptedKeyInvalid),
    ALT(MarkMessageReply),
    ALT(MetadataByDateChunkedResponse),
    ALT(MetadataCSumValidationStatus),
    ALT(LogonTokenReply),
    ALT(CancelCurrentBackupReply),
    ALT(CreateAccountOk),
    ALT(CreateAccountFailed),
    ALT(UserAccountSetOk),
    ALT(UserAccountSetFailed),
    ALT(CreateMachineNameOk),
    ALT(CreateMachineNameFailed),
    ALT(PKServerNonce),
    ALT(ServerAcknowledgeEx),
    ALT(MachineNameSetOkEx),
    ALT(MachineNameSetFailedEx),
    ALT(MessageNotFound),
    ALT(MachineNameSetFailedNotFound),
};

// Every listed alternative is accepted in both encodings and lands in the union member; every
// other message of the catalogue is refused with the union's text.
template <class Exchange>
void checkUnion(const Alternative* begin, const Alternative* end, proto::Owned<BerConstructed> Exchange::*member,
                const std::string& where)
{
    std::set<std::string> listed;
    for (const Alternative* alternative = begin; alternative != end; ++alternative) {
        SCOPED_TRACE(alternative->name);
        listed.insert(alternative->name);
        for (bool legacy : {false, true}) {
            Exchange exchange;
            BerValue* value = exchange.child(1, alternative->wireTag(legacy), 0, legacy);
            EXPECT_EQ(value, (exchange.*member).get());
            EXPECT_TRUE(alternative->is(value));
        }
    }
    struct Other {
        std::string name;
        std::uint32_t tag;
        bool legacy;
    };
    std::vector<Other> others;
    for (const Paired& entry : kPaired)
        if (!listed.count(entry.name)) {
            others.push_back({entry.name, entry.number * 8 + 5, false});
            others.push_back({entry.name, entry.number * 8 + 3, true});
        }
    for (const TopLevel& entry : kTopLevel)
        if (!listed.count(entry.name)) {
            others.push_back({entry.name, entry.number * 8 + 3, false});
            others.push_back({entry.name, entry.number * 8 + 3, true});
        }
    for (const Other& other : others) {
        SCOPED_TRACE(other.name + (other.legacy ? " legacy" : ""));
        // In the legacy encoding [APPLICATION n] may also be a listed alternative's tag.
        bool sharesTag = false;
        for (const Alternative* alternative = begin; alternative != end; ++alternative)
            sharesTag = sharesTag || alternative->wireTag(other.legacy) == other.tag;
        if (sharesTag)
            continue;
        Exchange exchange;
        EXPECT_EQ(errorOf([&] { exchange.child(1, other.tag, 0, other.legacy); }),
                  "Unexpected tag " + std::to_string(other.tag) + " received in Union " + where);
        EXPECT_FALSE(exchange.*member);
    }
}

TEST(ProtocolUnions, RequestAlternatives)
{
    ASSERT_EQ(std::size(kRequests), 38u);
    checkUnion(std::begin(kRequests), std::end(kRequests), &proto::MessageExchangeRequest::request,
               "MessageExchangeRequest.this->request");
}

TEST(ProtocolUnions, ResponseAlternatives)
{
    ASSERT_EQ(std::size(kResponses), 41u);
    checkUnion(std::begin(kResponses), std::end(kResponses), &proto::MessageExchangeResponse::response,
               "MessageExchangeResponse.this->response");
}

TEST(ProtocolUnions, MetadataAlternatives)
{
    proto::FileMetaData file;
    EXPECT_NE(dynamic_cast<proto::FileMetaNTFS*>(file.child(2, 13, 0, false)), nullptr);
    EXPECT_NE(dynamic_cast<proto::FileMetaUNIX*>(file.child(2, 21, 0, false)), nullptr);
    EXPECT_NE(dynamic_cast<proto::FileMetaHFS*>(file.child(2, 29, 0, false)), nullptr);
    EXPECT_NE(dynamic_cast<proto::FileMetaHFS*>(file.child(2, 27, 0, true)), nullptr);
    EXPECT_NE(file.osmeta.as<proto::FileMetaHFS>(), nullptr);
    EXPECT_EQ(errorOf([&] { file.child(2, 45, 0, false); }),
              "Unexpected tag 45 received in Union FileMetaData.this->osmeta");
}

TEST(ProtocolUnions, ListOfUnionTakesResourceValues)
{
    proto::ListOfUnion::Storage storage;
    proto::ListOfUnion list(storage);
    EXPECT_NE(dynamic_cast<proto::Str*>(list.child(0, 21, 0, false)), nullptr);
    EXPECT_NE(dynamic_cast<proto::ColourRGB*>(list.child(1, 35, 0, true)), nullptr);
    EXPECT_EQ(errorOf([&] { list.child(2, 77, 0, false); }), "Unexpected tag 77 received in Union List.data->back()");
    ASSERT_EQ(storage.size(), 2u);
    dynamic_cast<proto::Str&>(*storage[0]).text = "hi";
    EXPECT_EQ(hex(encode(list)), "30 80 A2 80 04 02 68 69 00 00 A4 80 02 01 00 02 01 00 02 01 00 00 00 00 00");

    proto::Resource resource;
    resource.value.emplace<proto::ColourRGB>().red = 256;
    EXPECT_EQ(errorOf([&] { encode(resource); }),
              "data out of range in BerIntegerTemplate<int>::write 0 <= 256 <= 255");
}

// ---------------------------------------------------------------- round trips in both encodings

struct RoundTrip {
    const char* what;
    MakeConstructed make;
};

const RoundTrip kRoundTrips[] = {
    {"job with NTFS, UNIX and HFS records", [] { return std::make_unique<proto::ClientRestoreJob>(sampleJob()); }},
    {"chunk reply in an exchange",
     [] {
         auto exchange = std::make_unique<proto::MessageExchangeResponse>();
         exchange->exchangeNumber = 4294967295u;
         auto& reply = exchange->response.emplace<proto::ChunkResponse>();
         reply.name = "C:\\data\\report.doc";
         reply.chunkIndex = 3;
         reply.remainingChunks = 0;
         reply.data = std::string("CTCN\0\x80\xff", 7);
         return exchange;
     }},
    {"machine names in an exchange",
     [] {
         auto exchange = std::make_unique<proto::MessageExchangeResponse>();
         auto& names = exchange->response.emplace<proto::MachineNames>();
         names.names = {"alpha", "", std::string(256, 'm')};
         return exchange;
     }},
    {"restore job with chunk lists",
     [] {
         auto job = std::make_unique<proto::RestoreJob>();
         job->run = 12;
         auto& file = *job->files.emplace_back(new proto::RestoreFile);
         file.name = "x";
         file.chunks = {0, 1, 2147483648u, 4294967295u};
         job->files.emplace_back(new proto::RestoreFile);
         return job;
     }},
    {"resource colour",
     [] {
         auto resource = std::make_unique<proto::Resource>();
         resource->name = "accent";
         auto& colour = resource->value.emplace<proto::ColourRGB>();
         colour.red = 255;
         colour.blue = 7;
         return resource;
     }},
    {"progress with both optional numbers",
     [] {
         auto progress = std::make_unique<proto::UpdateRestoreProgress>();
         progress->state = proto::Cli_RestoreProgress::Restoring;
         progress->percentage = 99;
         progress->rate = 524288;
         progress->hasRate = true;
         progress->timeLeft = 12;
         progress->hasTimeLeft = true;
         return progress;
     }},
    {"backup progress with a real number",
     [] {
         auto progress = std::make_unique<proto::ProgressBackup>();
         progress->rate = 1.5;
         progress->bytes = 1;
         return progress;
     }},
    {"encryption key as a big number",
     [] {
         auto reply = std::make_unique<proto::GetDataEncryptionKeyReply>();
         reply->key =
             BigNum::fromBytesBE(reinterpret_cast<const unsigned char*>("\x7f\x01\x02\x03\x04\x05\x06\x07\x08"), 9);
         return reply;
     }},
    {"sub-directories: a list of messages",
     [] {
         auto reply = std::make_unique<proto::GetSubDirsReply>();
         auto& node = *reply->directories.emplace_back(new proto::DirectoryNode);
         node.name = "Windows";
         node.directory = true;
         reply->directories.emplace_back(new proto::DirectoryNode);
         return reply;
     }},
    {"log message with time",
     [] {
         auto message = std::make_unique<proto::LogMessage>();
         message->severity = proto::LogSeverity::Info;
         message->text = "started";
         message->time.emplace().seconds = -1;
         return message;
     }},
};

TEST(ProtocolRoundTrip, CurrentAndLegacyEncodings)
{
    for (const RoundTrip& entry : kRoundTrips) {
        SCOPED_TRACE(entry.what);
        auto original = entry.make();
        for (bool legacy : {false, true}) {
            SCOPED_TRACE(legacy ? "legacy" : "current");
            const std::string bytes = encode(*original, legacy);
            auto decoded = decode(bytes, legacy);
            ASSERT_NE(decoded, nullptr);
            EXPECT_TRUE(*decoded == *original);
            EXPECT_EQ(hex(encode(*decoded, legacy)), hex(bytes));
            // Where the encodings differ, the other one does not read these bytes.
            if (encode(*original, !legacy) != bytes) {
                EXPECT_NE(decodeError(bytes, !legacy), "(no error)");
            }
        }
    }
}

TEST(ProtocolRoundTrip, LegacyIdentifiers)
{
    proto::MessageExchangeResponse exchange;
    exchange.exchangeNumber = 5;
    exchange.response.emplace<proto::ChunkNone>();
    exchange.complete = true;
    EXPECT_EQ(hex(encode(exchange, true)), "7F 3D 80 02 01 05 6A 80 00 00 01 01 01 00 00");

    proto::ClientRestoreJob job;
    job.restoreRoot = "C:";
    job.hasFiles = true;
    auto& file = *job.files.emplace_back(new proto::FileMetaData);
    file.osmeta.emplace<proto::FileMetaUNIX>().mode.emplace();
    const std::string bytes = hex(encode(job, true));
    EXPECT_EQ(bytes.substr(0, 47), "7F 82 30 80 02 01 00 16 02 43 3A 20 80 20 80 16");
    EXPECT_NE(bytes.find("62 80 16 00 16 00 20 80 01 01 00"), std::string::npos);

    // Values read in the legacy encoding by calling child directly, as a decoder would.
    proto::ChunkResponse reply;
    std::unique_ptr<BerValue> name(reply.child(0, 176, 0, true));
    EXPECT_EQ(name->tag(false), 176u);
    EXPECT_EQ(errorOf([&] { reply.child(0, 32, 0, true); }), "Tag mismatch, got 32 expected BE_STRING_LEGACY");
}

// ---------------------------------------------------------------- copies and comparisons

TEST(ProtocolCopies, CloneIsDeep)
{
    const proto::ClientRestoreJob original = sampleJob();
    std::unique_ptr<proto::ClientRestoreJob> copy(original.clone());
    ASSERT_TRUE(*copy == original);
    ASSERT_NE(copy->files[0].get(), original.files[0].get());

    auto& copiedNtfs = *copy->files[0]->osmeta.as<proto::FileMetaNTFS>();
    EXPECT_NE(&copiedNtfs, original.files[0]->osmeta.get());
    copiedNtfs.owner = "SYSTEM";
    EXPECT_FALSE(*copy == original);
    EXPECT_EQ(original.files[0]->osmeta.as<proto::FileMetaNTFS>()->owner, "BUILTIN\\Administrators");

    proto::ClientRestoreJob second(original);
    second.files[1]->osmeta.as<proto::FileMetaUNIX>()->mode->ownerRead = false;
    EXPECT_TRUE(original.files[1]->osmeta.as<proto::FileMetaUNIX>()->mode->ownerRead);

    proto::ClientRestoreJob third;
    third = original;
    third.files[2]->osmeta.as<proto::FileMetaHFS>()->atime->nanoseconds = 0;
    third.files[2]->osmeta.as<proto::FileMetaHFS>()->extendedAttributes[0]->value = "changed";
    EXPECT_EQ(original.files[2]->osmeta.as<proto::FileMetaHFS>()->atime->nanoseconds, 999999999);
    EXPECT_EQ(original.files[2]->osmeta.as<proto::FileMetaHFS>()->extendedAttributes[0]->value,
              std::string("\0\x01\xff", 3));
}

TEST(ProtocolCopies, CloneKeepsTheClassOfUnionMembers)
{
    proto::MessageExchangeRequest exchange;
    exchange.request.emplace<proto::ChunkSend>().csum.emplace<proto::FileChecksumMd5>().digest = "0123456789abcdef";
    std::unique_ptr<BerValue> copy(exchange.clone());
    auto& request = dynamic_cast<proto::MessageExchangeRequest&>(*copy);
    ASSERT_NE(request.request.as<proto::ChunkSend>(), nullptr);
    EXPECT_NE(request.request.get(), exchange.request.get());
    EXPECT_EQ(request.request.as<proto::ChunkSend>()->csum.as<proto::FileChecksumMd5>()->digest, "0123456789abcdef");
    EXPECT_EQ(hex(encode(request)), hex(encode(exchange)));
}

struct Comparison {
    const char* what;
    MakeConstructed a, b;
    bool equal, less, greater;
};

std::unique_ptr<BerConstructed> chunk(const char* name, std::uint32_t index, std::uint32_t remaining, const char* data)
{
    auto reply = std::make_unique<proto::ChunkResponse>();
    reply->name = name;
    reply->chunkIndex = index;
    reply->remainingChunks = remaining;
    reply->data = data;
    return reply;
}

std::unique_ptr<BerConstructed> progress(bool hasRate, std::uint64_t rate, std::int32_t percentage)
{
    auto message = std::make_unique<proto::UpdateRestoreProgress>();
    message->hasRate = hasRate;
    message->rate = rate;
    message->state = percentage;
    message->percentage = percentage;
    message->files = static_cast<std::uint64_t>(percentage);
    message->bytes = static_cast<std::uint64_t>(percentage);
    message->timeLeft = static_cast<std::uint64_t>(percentage);
    message->hasTimeLeft = true;
    return message;
}

std::unique_ptr<BerConstructed> fileOf(std::function<void(proto::FileMetaData&)> fill)
{
    auto file = std::make_unique<proto::FileMetaData>();
    fill(*file);
    return file;
}

const Comparison kComparisons[] = {
    {"same fields", [] { return chunk("a", 1, 1, "a"); }, [] { return chunk("a", 1, 1, "a"); }, true, false, false},
    {"every field less", [] { return chunk("a", 1, 1, "a"); }, [] { return chunk("b", 2, 2, "b"); }, false, true,
     false},
    {"every field greater", [] { return chunk("b", 2, 2, "b"); }, [] { return chunk("a", 1, 1, "a"); }, false, false,
     true},
    {"one field equal", [] { return chunk("a", 1, 1, "a"); }, [] { return chunk("b", 1, 2, "b"); }, false, false,
     false},
    {"last field differs", [] { return chunk("a", 1, 1, "a"); }, [] { return chunk("a", 1, 1, "b"); }, false, false,
     false},
    {"classes without fields", [] { return std::make_unique<proto::ChunkNone>(); },
     [] { return std::make_unique<proto::ChunkNone>(); }, true, true, true},
    {"different classes without fields", [] { return std::make_unique<proto::ChunkNone>(); },
     [] { return std::make_unique<proto::RestoreInquiry>(); }, false, false, false},
    {"different classes", [] { return chunk("a", 1, 1, "a"); }, [] { return std::make_unique<proto::ChunkNone>(); },
     false, false, false},
    {"both rates absent, other fields less", [] { return progress(false, 1, 1); }, [] { return progress(false, 2, 2); },
     false, false, false},
    {"both rates absent, stale values differ", [] { return progress(false, 1, 1); },
     [] { return progress(false, 2, 1); }, true, false, false},
    {"rate present on one side", [] { return progress(true, 1, 1); }, [] { return progress(false, 1, 1); }, false,
     false, false},
    {"rates present and less", [] { return progress(true, 1, 1); }, [] { return progress(true, 2, 2); }, false, true,
     false},
    {"both metadata empty", [] { return fileOf([](proto::FileMetaData&) {}); },
     [] { return fileOf([](proto::FileMetaData&) {}); }, true, false, false},
    {"metadata on one side",
     [] { return fileOf([](proto::FileMetaData& f) { f.osmeta.emplace<proto::FileMetaNTFS>(); }); },
     [] { return fileOf([](proto::FileMetaData&) {}); }, false, false, false},
    {"metadata of different kinds",
     [] { return fileOf([](proto::FileMetaData& f) { f.osmeta.emplace<proto::FileMetaNTFS>(); }); },
     [] { return fileOf([](proto::FileMetaData& f) { f.osmeta.emplace<proto::FileMetaUNIX>(); }); }, false, false,
     false},
    {"equal metadata in different objects",
     [] { return fileOf([](proto::FileMetaData& f) { f.osmeta.emplace<proto::FileMetaUNIX>().owner = "x"; }); },
     [] { return fileOf([](proto::FileMetaData& f) { f.osmeta.emplace<proto::FileMetaUNIX>().owner = "x"; }); }, true,
     false, false},
    {"lists of different length", [] { return std::make_unique<proto::ClientRestoreJob>(sampleJob()); },
     [] {
         auto job = std::make_unique<proto::ClientRestoreJob>(sampleJob());
         job->files.pop_back();
         return job;
     },
     false, false, false},
};

TEST(ProtocolComparisons, FieldByField)
{
    for (const Comparison& c : kComparisons) {
        SCOPED_TRACE(c.what);
        auto a = c.a();
        auto b = c.b();
        EXPECT_EQ(*a == *b, c.equal);
        EXPECT_EQ(*a < *b, c.less);
        EXPECT_EQ(*a > *b, c.greater);
    }
}

// ---------------------------------------------------------------- list views

TEST(ProtocolLists, ViewsCannotBeCopied)
{
    proto::ListOfFileMetaData::Storage files;
    proto::ListOfFileMetaData view(files);
    EXPECT_EQ(errorOf([&] { proto::ListOfFileMetaData copy(view); }), "Copy constructor of ListOfFileMetaData invoked");
    EXPECT_EQ(errorOf([&] { delete view.clone(); }), "Copy constructor of ListOfFileMetaData invoked");
    proto::ListOfString65536::Storage names;
    proto::ListOfString65536 strings(names);
    EXPECT_EQ(errorOf([&] { delete strings.clone(); }), "Copy constructor of ListOfString65536 invoked");
    proto::ListOfInteger0x0to0xffffffff::Storage numbers;
    proto::ListOfInteger0x0to0xffffffff integers(numbers);
    EXPECT_EQ(errorOf([&] { delete integers.clone(); }), "Copy constructor of ListOfInteger0x0to0xffffffff invoked");
    EXPECT_TRUE(view.isTransient());
    EXPECT_EQ(view.minFields(), 0u);
}

TEST(ProtocolLists, ViewWritesIntoAndFromTheOwnersStorage)
{
    proto::RestoreFile file;
    {
        std::unique_ptr<BerValue> view(file.child(1, 129, 0, false));
        auto& list = dynamic_cast<proto::ListOfInteger0x0to0xffffffff&>(*view);
        std::unique_ptr<BerValue> first(list.child(0, 16, 0, false));
        EXPECT_EQ(errorOf([&] { list.child(1, 32, 0, false); }), "Tag mismatch, got 32 expected BE_INTEGER");
    }
    EXPECT_EQ(file.chunks.size(), 1u);

    proto::ListOfRestoreFile::Storage storage;
    proto::ListOfRestoreFile files(storage);
    EXPECT_EQ(errorOf([&] { files.child(0, 1, 0, false); }), "Tag mismatch, got 1 expected BE_RESTORE_FILE_CURRENT");
    EXPECT_EQ(errorOf([&] { files.child(0, 129, 0, true); }), "Tag mismatch, got 129 expected BE_RESTORE_FILE_LEGACY");
    EXPECT_TRUE(storage.empty());
    BerValue* element = files.child(0, 129, 0, false);
    ASSERT_EQ(storage.size(), 1u);
    EXPECT_EQ(element, storage[0].get());

    proto::ListOfExtendedAttribute::Storage attributes;
    proto::ListOfExtendedAttribute attributeList(attributes);
    EXPECT_EQ(errorOf([&] { attributeList.child(0, 16, 0, false); }),
              "Tag mismatch, got 16 expected BE_EXTENDED_ATTRIBUTE_CURRENT");
    proto::FileMetaHFS hfs;
    EXPECT_EQ(errorOf([&] { hfs.child(11, 16, 0, false); }), "Tag mismatch, got 16 expected BE_TIMESPEC_CURRENT");
    EXPECT_EQ(errorOf([&] { hfs.child(2, 1, 0, false); }), "Tag mismatch, got 1 expected BE_FILE_ACCESS_MODE_CURRENT");
}

// ---------------------------------------------------------------- writer preconditions

TEST(ProtocolDeathTest, EmptyRequiredMembersEndTheProcess)
{
    proto::FileMetaUNIX posix;
    EXPECT_DEATH(encode(posix), "this->mode is NULL during BER write");

    proto::FileMetaHFS hfs;
    hfs.mode.emplace();
    hfs.atime.emplace();
    hfs.mtime.emplace();
    hfs.btime.emplace();
    EXPECT_DEATH(encode(hfs), "this->ctime is NULL during BER write");

    proto::MessageExchangeRequest exchange;
    EXPECT_DEATH(encode(exchange), "this->request is NULL during BER write");

    proto::FileMetaData file;
    EXPECT_DEATH(encode(file), "this->osmeta is NULL during BER write");

    proto::ClientRestoreJob job;
    job.hasFiles = true;
    job.files.emplace_back();
    EXPECT_DEATH(encode(job), "it. is NULL during BER write");
}

TEST(ProtocolDeathTest, CheckedCastOfTheWrongClass)
{
    proto::ChunkNone none;
    BerValue* value = &none;
    EXPECT_EQ(proto::checked_cast<proto::ChunkNone>(value), &none);
    EXPECT_DEATH(proto::checked_cast<proto::RestoreInquiry>(value), "checked_cast failed, .null. should have been ");
}

} // namespace
