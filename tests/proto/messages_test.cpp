// The generated classes on the wire: the bytes of every message the worker and its parent
// exchange (one entry of each kind of the description among them) and the catalogue's counts.
// Worker and restore-host share these classes: only these bytes show a fault of the generator.
#include "proto/protocol_factory.h"

#include "protocol/ber_decoder.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

using protocol::BerConstructed;
using protocol::BerValue;
using support::hex;
using support::unhex;

namespace {

std::string encode(const BerValue& value)
{
    std::string out;
    protocol::StringIo io(out);
    value.write(io, false);
    return out;
}

// Decodes exactly one top-level message from the bytes, as the reader does.
std::unique_ptr<BerConstructed> decode(const std::string& bytes)
{
    proto::Protocol factory;
    protocol::BerDecoder decoder(factory);
    EXPECT_EQ(decoder.process(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), bytes.size());
    EXPECT_TRUE(decoder.hasMessage());
    return decoder.take();
}

using Make = std::function<std::unique_ptr<BerConstructed>()>;

// A maker of message M, filled by `fill`.
template <class M>
Make message(std::function<void(M&)> fill = [](M&) {})
{
    return [fill] {
        auto made = std::make_unique<M>();
        fill(*made);
        return made;
    };
}

template <class Reply>
std::unique_ptr<BerConstructed> reply(std::function<void(Reply&)> fill, std::uint32_t number = 0, bool complete = false)
{
    auto exchange = std::make_unique<proto::MessageExchangeResponse>();
    exchange->exchangeNumber = number;
    fill(exchange->response.emplace<Reply>());
    exchange->complete = complete;
    return exchange;
}

template <class Request>
std::unique_ptr<BerConstructed> request()
{
    auto exchange = std::make_unique<proto::MessageExchangeRequest>();
    exchange->request.emplace<Request>();
    return exchange;
}

// A job of one record, filled by `fill`.
std::unique_ptr<BerConstructed> jobOf(std::function<void(proto::FileMetaData&)> fill)
{
    auto job = std::make_unique<proto::ClientRestoreJob>();
    job->hasFiles = true;
    fill(*job->files.emplace_back(new proto::FileMetaData));
    return job;
}

struct Encoding {
    const char* what;
    Make make;
    const char* bytes;
};

const Encoding kEncodings[] = {
    {"chunk request", request<proto::ChunkRequest>, "7F 3C 80 02 01 00 AC 80 00 00 00 00"},
    {"restore inquiry", request<proto::RestoreInquiry>, "7F 3C 80 02 01 00 AB 80 00 00 00 00"},
    {"status ready",
     [] { return reply<proto::RestoreStatus>([](auto& m) { m.status = proto::RestoreStatusType::Ready; }); },
     "7F 3D 80 02 01 00 A8 80 0A 01 02 02 01 00 00 00 01 01 00 00 00"},
    {"ChunkNone with exchange number 5 and the flag set", [] { return reply<proto::ChunkNone>([](auto&) {}, 5, true); },
     "7F 3D 80 02 01 05 AA 80 00 00 01 01 01 00 00"},
    {"chunk reply",
     [] {
         return reply<proto::ChunkResponse>([](auto& m) {
             m.name = "f";
             m.chunkIndex = 2;
             m.remainingChunks = 128;
             m.data = "xyz";
         });
     },
     "7F 3D 80 02 01 00 A9 80 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00 01 01 00 00 00"},
    {"GetLogLevel", message<proto::GetLogLevel>(), "7F 82 35 80 00 00"},
    {"CurrentLogLevel 1", message<proto::CurrentLogLevel>([](auto& m) { m.level = proto::LogSeverity::Error; }),
     "7F 82 36 80 0A 01 01 00 00"},
    {"worker log line at level 0", message<proto::ClientWorkerLog>([](auto& m) { m.text = "hi"; }),
     "7F 82 2E 80 0A 00 04 02 68 69 00 00"},
    {"log message for the parent's log", message<proto::ClientLogMessage>([](auto& m) {
         m.severity = proto::LogSeverity::Detail;
         m.text = "x";
     }),
     "6B 80 0A 01 03 04 01 78 00 00"},
    {"progress with time left but no rate", message<proto::UpdateRestoreProgress>([](auto& m) {
         m.state = proto::Cli_RestoreProgress::Restoring;
         m.percentage = 57;
         m.files = 3;
         m.bytes = 300000;
         m.timeLeft = 12;
         m.hasTimeLeft = true;
     }),
     "7F 82 2D 80 0A 01 02 02 01 39 05 00 02 01 03 02 03 04 93 E0 02 01 0C 00 00"},
    {"progress with rate and no time left, large numbers", message<proto::UpdateRestoreProgress>([](auto& m) {
         m.percentage = 100;
         m.rate = 0x80000000u;
         m.hasRate = true;
         m.files = 18446744073709551615u;
     }),
     "7F 82 2D 80 0A 00 02 01 64 02 05 00 80 00 00 00 02 09 00 FF FF FF FF FF FF FF FF 02 01 00 05 00 00 00"},
    {"job with NULL in place of the file list", message<proto::ClientRestoreJob>([](auto& m) {
         m.jobNumber = 7;
         m.restoreRoot = "C:\\";
     }),
     "7F 82 30 80 02 01 07 04 03 43 3A 5C 05 00 00 00"},
    {"job with an empty file list", message<proto::ClientRestoreJob>([](auto& m) { m.hasFiles = true; }),
     "7F 82 30 80 02 01 00 04 00 30 80 00 00 00 00"},
    {"NTFS record without security descriptor",
     [] {
         return jobOf([](proto::FileMetaData& file) {
             file.name = "a";
             file.size = 5;
             auto& ntfs = file.osmeta.emplace<proto::FileMetaNTFS>();
             ntfs.owner = "u";
             ntfs.creationTime = 1;
             ntfs.lastWriteTime = 2;
             ntfs.lastAccessTime = 3;
             ntfs.archive = true;
             ntfs.readOnly = true;
             ntfs.sddl = "D:";
             ntfs.hasSddl = true;
         });
     },
     "7F 82 30 80 02 01 00 04 00 30 80 "
     "30 80 04 01 61 02 01 05 A1 80 04 01 75 02 01 01 02 01 02 02 01 03 01 01 01 01 01 00 01 01 00 01 01 00 01 01 "
     "01 01 01 00 04 02 44 3A 00 00 01 01 00 00 00 00 00 00 00"},
    {"UNIX record of a plain file: NULL link target",
     [] {
         return jobOf([](proto::FileMetaData& file) {
             auto& posix = file.osmeta.emplace<proto::FileMetaUNIX>();
             posix.mode.emplace().otherExecute = true;
             posix.lastWriteTime = -2;
         });
     },
     "7F 82 30 80 02 01 00 04 00 30 80 "
     "30 80 04 00 02 01 00 A2 80 04 00 04 00 "
     "30 80 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 01 01 01 00 01 01 00 "
     "01 01 00 00 00 02 01 00 02 01 FE 02 01 00 05 00 00 00 01 01 00 00 00 00 00 00 00"},
    {"HFS record: records, a list of records and a NULL in a pair",
     [] {
         return jobOf([](proto::FileMetaData& file) {
             auto& hfs = file.osmeta.emplace<proto::FileMetaHFS>();
             hfs.mode.emplace();
             hfs.hidden = true;
             hfs.atime.emplace().seconds = -5;
             hfs.atime->nanoseconds = 999999999;
             hfs.mtime.emplace();
             hfs.ctime.emplace();
             hfs.btime.emplace();
             auto& attribute = *hfs.extendedAttributes.emplace_back(new proto::ExtendedAttribute);
             attribute.name = "a";
             attribute.value = "b";
         });
     },
     "7F 82 30 80 02 01 00 04 00 30 80 30 80 04 00 02 01 00 A3 80 04 00 04 00 "
     "30 80 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 "
     "00 "
     "00 00 01 01 00 01 01 00 01 01 00 01 01 00 01 01 01 01 01 00 01 01 00 01 01 00 "
     "30 80 02 01 FB 02 04 3B 9A C9 FF 00 00 30 80 02 01 00 02 01 00 00 00 30 80 02 01 00 02 01 00 00 00 "
     "30 80 02 01 00 02 01 00 00 00 05 00 30 80 30 80 04 01 61 04 01 62 00 00 00 00 00 00 01 01 00 00 00 00 00 00 00"},
    {"list of integers", message<proto::RestoreJob>([](auto& m) {
         m.run = 12;
         auto& file = *m.files.emplace_back(new proto::RestoreFile);
         file.name = "x";
         file.chunks = {0, 4294967295u};
     }),
     "7F 83 12 80 02 01 0C 30 80 30 80 04 01 78 30 80 02 01 00 02 05 00 FF FF FF FF 00 00 00 00 00 00 00 00"},
};

// Each message writes its bytes, and the same bytes read back to an equal message.
TEST(ProtocolEncoding, MessagesOfTheRestoreOnTheWire)
{
    for (const Encoding& entry : kEncodings) {
        SCOPED_TRACE(entry.what);
        const std::unique_ptr<BerConstructed> message = entry.make();
        EXPECT_EQ(hex(encode(*message)), hex(unhex(entry.bytes)));
        const std::unique_ptr<BerConstructed> decoded = decode(unhex(entry.bytes));
        ASSERT_NE(decoded, nullptr);
        EXPECT_TRUE(*decoded == *message);
    }
}

// The factory makes exactly the 118 top-level messages, each for its own tag in both
// encodings (the legacy one is no restore's); the unions hold their alternatives.
TEST(ProtocolCatalogue, Counts)
{
    proto::Protocol factory;
    std::size_t made = 0;
    for (std::uint32_t tag = 0; tag < 1024 * 8; ++tag) {
        try {
            std::unique_ptr<BerConstructed> message(factory.create(tag, false));
            std::unique_ptr<BerConstructed> legacy(factory.create(tag, true));
            EXPECT_EQ(message->tag(false), tag);
            EXPECT_EQ(legacy->tag(true), tag);
            ++made;
        } catch (const protocol::EBer& e) {
            EXPECT_EQ(e.reason(), "Unknown tag " + std::to_string(tag));
        }
    }
    EXPECT_EQ(made, 118u);
    EXPECT_EQ(proto::unions::ExchangeRequest.count, 38u);
    EXPECT_EQ(proto::unions::ExchangeResponse.count, 41u);
    EXPECT_EQ(proto::unions::FileMeta.count, 3u);
    EXPECT_EQ(proto::unions::ResourceValue.count, 5u);
    EXPECT_EQ(proto::unions::ChunkChecksum.count, 1u);
}

} // namespace
