// The decoder over the generated protocol classes: every form of length and identifier, input
// in any pieces, fillers, unknown fields, and the text of every error that input can cause.
#include "protocol/ber_decoder.h"

#include "proto/protocol_factory.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace protocol;
using support::hex;
using support::unhex;

namespace {

std::string encode(const BerValue& value)
{
    std::string out;
    StringIo io(out);
    value.write(io, false);
    return out;
}

struct Decoded {
    std::vector<std::unique_ptr<BerConstructed>> messages;
    std::vector<std::uint64_t> sizes;
};

// Feeds the bytes in pieces of the given sizes (the rest in one piece), taking every
// message as soon as it is finished, as the reader does.
Decoded decode(const std::string& bytes, const std::vector<std::size_t>& pieces = {})
{
    proto::Protocol factory;
    BerDecoder decoder(factory);
    Decoded out;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t offset = 0;
    try {
        for (std::size_t piece = 0; offset < bytes.size(); ++piece) {
            const std::size_t end =
                piece < pieces.size() ? std::min(offset + pieces[piece], bytes.size()) : bytes.size();
            while (offset < end) {
                const std::size_t used = decoder.process(data + offset, end - offset);
                offset += used;
                if (decoder.hasMessage()) {
                    out.messages.push_back(decoder.take(&out.sizes.emplace_back()));
                } else if (used == 0) {
                    ADD_FAILURE() << "no progress at offset " << offset;
                    return out;
                }
            }
        }
    } catch (const EBer& e) {
        ADD_FAILURE() << "EBer: " << e.reason();
    }
    return out;
}

// The first error of the bytes; the decoder then refuses further input with the same text.
std::string decodeError(const std::string& bytes)
{
    proto::Protocol factory;
    BerDecoder decoder(factory);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string first;
    try {
        for (std::size_t offset = 0; offset < bytes.size(); decoder.take())
            offset += decoder.process(data + offset, bytes.size() - offset);
        return "(no error)";
    } catch (const EBer& e) {
        first = e.reason();
    }
    try {
        decoder.process(data, bytes.size());
        return "accepted input after \"" + first + "\"";
    } catch (const EBer& e) {
        return e.reason() == first ? first : "second error \"" + e.reason() + "\" after \"" + first + "\"";
    }
}

void expectOneMessage(const Decoded& d, const BerValue& expected, std::uint64_t size, const std::string& what)
{
    ASSERT_EQ(d.messages.size(), 1u) << what;
    EXPECT_TRUE(*d.messages[0] == expected) << what;
    EXPECT_EQ(d.sizes[0], size) << what;
}

// A job of an NTFS record with a security descriptor and a UNIX link.
proto::ClientRestoreJob sampleJob()
{
    proto::ClientRestoreJob job;
    job.jobNumber = 4000000000u;
    job.restoreRoot = "C:\\restore";
    job.hasFiles = true;
    auto& document = *job.files.emplace_back(new proto::FileMetaData);
    document.name = "C:\\data\\report.doc";
    auto& ntfs = document.osmeta.emplace<proto::FileMetaNTFS>();
    ntfs.sddl = "O:BAG:SYD:(A;;FA;;;SY)";
    ntfs.hasSddl = true;
    auto& posix = job.files.emplace_back(new proto::FileMetaData)->osmeta.emplace<proto::FileMetaUNIX>();
    posix.mode.emplace().sticky = true;
    posix.linkTarget = "releases/7";
    posix.hasLinkTarget = true;
    return job;
}

// Exchange 9: chunk 2 of "f" holding "xyz", 128 to come; with "|" where a tag may follow.
const char* const kMarked =
    "| 7F 3D 80 | 02 01 09 | A9 80 | 04 01 66 | 02 01 02 | 02 02 00 80 | 04 03 78 79 7A | 00 00 "
    "| 00 00";

std::string stripMarks(const std::string& marked, const std::string& filler = "")
{
    std::string text;
    for (char c : marked)
        text += c == '|' ? filler : std::string(1, c);
    return unhex(text);
}

proto::MessageExchangeResponse smallReply()
{
    proto::MessageExchangeResponse exchange;
    exchange.exchangeNumber = 9;
    auto& chunk = exchange.response.emplace<proto::ChunkResponse>();
    chunk.name = "f";
    chunk.chunkIndex = 2;
    chunk.remainingChunks = 128;
    chunk.data = "xyz";
    return exchange;
}

TEST(BerDecoder, DefiniteIndefiniteAndLongLengthsDecodeAlike)
{
    const std::string encodings[] = {
        hex(stripMarks(kMarked)),
        "7F 3D 14 02 01 09 A9 0F 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A",
        "7F 3D 16 02 01 09 A9 80 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00",
        "7F 3D 80 02 01 09 A9 0F 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00",
        "7F 3D 81 19 02 81 01 09 A9 84 00 00 00 0F 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A",
        // a field identifier in the high-number form
        "7F 3D 80 1F 02 01 09 A9 80 04 01 66 02 01 02 02 02 00 80 04 03 78 79 7A 00 00 00 00",
    };
    for (const auto& e : encodings)
        expectOneMessage(decode(unhex(e)), smallReply(), unhex(e).size(), e);
}

// Messages in any pieces, taken one at a time: nothing more is consumed while one waits.
TEST(BerDecoder, MessagesInAnyPiecesAreDeliveredOneAtATime)
{
    const proto::ClientRestoreJob job = sampleJob();
    const std::string first = encode(job);
    const std::string bytes = first + stripMarks(kMarked);
    std::mt19937 random(20240611);
    for (int round = 0; round < 100; ++round) {
        std::vector<std::size_t> pieces;
        for (std::size_t total = 0; total < bytes.size(); total += pieces.back())
            pieces.push_back(round == 0 ? 1 : std::uniform_int_distribution<std::size_t>(1, 12)(random));
        const Decoded d = decode(bytes, pieces);
        ASSERT_EQ(d.messages.size(), 2u) << round;
        EXPECT_TRUE(*d.messages[0] == job) << round;
        EXPECT_TRUE(*d.messages[1] == smallReply()) << round;
        EXPECT_EQ(d.sizes, (std::vector<std::uint64_t>{first.size(), bytes.size() - first.size()}));
    }

    proto::Protocol factory;
    BerDecoder decoder(factory);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(decoder.process(data, bytes.size()), first.size());
    EXPECT_EQ(decoder.process(data + first.size(), bytes.size() - first.size()), 0u);
    EXPECT_NE(decoder.take(), nullptr);
    EXPECT_EQ(decoder.take(), nullptr);
}

TEST(BerDecoder, FillersAreSkippedAtEveryTagPositionAndBetweenMessages)
{
    const std::string plain = stripMarks(kMarked);
    const std::string marked = kMarked;
    for (std::size_t at = marked.find('|'); at != std::string::npos; at = marked.find('|', at + 1)) {
        std::string one = marked;
        one.replace(at, 1, "19 19");
        // Fillers count towards the message they precede or sit in.
        expectOneMessage(decode(stripMarks(one)), smallReply(), plain.size() + 2, one);
    }
    const std::string everywhere = stripMarks(kMarked, " 19 ");
    expectOneMessage(decode(everywhere, std::vector<std::size_t>(everywhere.size(), 1)), smallReply(),
                     everywhere.size(), "everywhere, byte by byte");

    const Decoded d = decode(unhex("00 00 19 00") + plain + unhex("00") + plain + unhex("19 00 00"));
    EXPECT_EQ(d.sizes, (std::vector<std::uint64_t>{4 + plain.size(), 1 + plain.size()}));
}

TEST(BerDecoder, UnknownTrailingFieldsAreSkipped)
{
    proto::ClientRestoreJob job;
    job.jobNumber = 7;
    job.restoreRoot = "C:\\";
    const std::string plain = "7F 82 30 80 02 01 07 04 03 43 3A 5C 05 00 ";
    const std::string extras[] = {
        "01 01 FF",                                        // a boolean
        "01 01 FF 02 01 05",                               // two primitives
        "30 80 02 01 01 A3 80 00 00 30 03 02 01 01 00 00", // constructed, nested, definite inside
        "DF 81 00 81 80 " + hex(std::string(128, 'z')),    // high-number tag and long length
        "31 05 30 03 05 01 00",                            // definite constructed
    };
    for (const std::string& extra : extras)
        expectOneMessage(decode(unhex(plain + extra + " 00 00")), job, unhex(plain + extra + " 00 00").size(), extra);

    // Inside records: an eighth field of FileMetaUNIX and a fifth of FileMetaData.
    proto::ClientRestoreJob withRecord;
    withRecord.hasFiles = true;
    withRecord.files.emplace_back(new proto::FileMetaData)->osmeta.emplace<proto::FileMetaUNIX>().mode.emplace();
    const std::string bytes = hex(encode(withRecord));
    const std::string end = "05 00 00 00 01 01 00 00 00 00 00 00 00";
    ASSERT_EQ(bytes.substr(bytes.size() - end.size()), end);
    const std::string extended =
        bytes.substr(0, bytes.size() - end.size()) + "05 00 04 01 7A 00 00 01 01 00 0A 01 09 00 00 00 00 00 00";
    expectOneMessage(decode(unhex(extended)), withRecord, unhex(extended).size(), "records");
}

TEST(BerDecoder, MalformedInputFailsWithItsText)
{
    const std::string fewFields = "Got to few fields of constructed value";
    const std::string tooLong = "Length field too long";
    struct Case {
        const char* what;
        std::string bytes;
        std::string error;
    } cases[] = {
        // Lengths and identifiers.
        {"length of five octets", "7F 82 30 85", tooLong},
        {"field length of five octets", "7F 82 30 80 02 85 00", tooLong},
        {"primitive of indefinite length", "7F 82 30 80 02 80", "Indefinite length on tag 16"},
        {"end mark with a length", "7F 82 30 80 02 01 07 04 00 05 00 00 01", "Length field nonzero after zero tag 1"},
        {"job with two fields", "7F 82 30 80 02 01 07 04 00 00 00", fewFields},
        {"chunk reply on its own", "A9 80 00 00", "Unknown tag 77"},
        {"a record at the top level", "30 80 00 00", "Unknown tag 129"},
        // A value that cannot fit into its definite-length parent fails at once, not when the
        // parent's end never comes.
        {"string beyond its parent", "7F 82 30 05 02 01 07 04 03 41",
         "Length 3 of tag 32 overruns its definite-length parent"},
        {"length beyond its parent", "7F 82 30 06 02 01 07 04 00 30 80",
         "Value runs past the end of its definite-length parent"},
        {"largest length", "7F 82 30 82 FF FF 02 01 07 04 84 FF FF FF FF",
         "Length 4294967295 of tag 32 overruns its definite-length parent"},
        {"incomplete, not wrong", "7F 82 30 80 02 01 07 04 00 05 00 A0 80 31 80", "(no error)"},
        // Fields of the wrong kind.
        {"root as IA5String", "7F 82 30 80 02 01 07 16 03 43 3A 5C 05 00 00 00",
         "Tag mismatch, got 176 expected BE_STRING_CURRENT"},
        {"job number as a string", "7F 82 30 80 04 01 07 04 00 05 00 00 00",
         "Tag mismatch, got 32 expected BE_INTEGER"},
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
        {"NULL for the chunk's name", "7F 3D 80 02 01 00 A9 80 05 00",
         "Tag mismatch, got 40 expected BE_STRING_CURRENT"},
        {"status as an integer", "7F 3D 80 02 01 00 A8 80 02 01 02", "Tag mismatch, got 16 expected BE_ENUMERATED"},
        {"string in a list of integers", "7F 83 12 80 02 01 00 30 80 30 80 04 00 30 80 04 00",
         "Tag mismatch, got 32 expected BE_INTEGER"},
        // Unions.
        {"request in the response union", "7F 3D 80 02 01 00 B1 80 00 00 00 00",
         "Unexpected tag 141 received in Union MessageExchangeResponse.this->response"},
        {"reply in the request union", "7F 3C 80 02 01 00 BF 5E 80",
         "Unexpected tag 757 received in Union MessageExchangeRequest.this->request"},
        {"a request's number that is also a reply's", "7F 3D 80 02 01 00 AB 80 00 00 00 00", "(no error)"},
        // Limits.
        {"machine name over 256 bytes", "7F 3D 80 02 01 00 AE 80 30 80 04 82 01 01",
         "String exceeds allowed length 257 > 256"},
        {"chunk data over 100 MiB", "7F 3D 80 02 01 00 A9 80 04 00 02 01 00 02 01 00 04 84 06 40 00 01",
         "String exceeds allowed length 104857601 > 104857600"},
        {"port beyond 65535", "7F 3D 80 02 01 00 7F 4C 80 04 00 02 03 01 00 00",
         "data out of range in BerIntegerTemplate<unsigned int>::readDone 0 <= 65536 <= 65535"},
        {"percentage 101", "7F 82 2D 80 0A 00 02 01 65 05 00 02 01 00 02 01 00 05 00 00 00",
         "data out of range in BerIntegerTemplate<int>::readDone 0 <= 101 <= 100"},
        {"nanoseconds of a second", "7F 83 10 80 0A 01 02 04 00 30 80 02 01 00 02 04 3B 9A CA 00 00 00 00 00",
         "data out of range in BerIntegerTemplate<int>::readDone 0 <= 1000000000 <= 999999999"},
        {"percentage of five octets", "7F 82 2D 80 0A 00 02 05 00 00 00 00 01",
         "Data value exceeds maximum allowed length 5 > 4"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeError(unhex(c.bytes)), c.error) << c.what;
}

TEST(BerDecoder, RefusesNestingBeyondTheLimit)
{
    // The job is the first level; the rest are skipped constructed fields.
    const std::string head = "7F 82 30 80 02 01 00 04 00 05 00 ";
    auto nestedTo = [&](std::size_t depth) {
        std::string text = head;
        for (std::size_t i = 1; i < depth; ++i)
            text += "A0 80 ";
        for (std::size_t i = 0; i < depth; ++i)
            text += "00 00 ";
        return unhex(text);
    };
    const std::string tooDeep = "Constructed values nested deeper than " + std::to_string(BerDecoder::kMaxDepth);
    EXPECT_EQ(decode(nestedTo(BerDecoder::kMaxDepth)).messages.size(), 1u);
    EXPECT_EQ(decodeError(nestedTo(BerDecoder::kMaxDepth + 1)), tooDeep);
    std::string endless = unhex(head);
    for (int i = 0; i < 100000; ++i)
        endless += "\xA0\x80";
    EXPECT_EQ(decodeError(endless), tooDeep);
}

} // namespace
