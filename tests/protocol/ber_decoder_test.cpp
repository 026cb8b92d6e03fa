#include "protocol/ber_decoder.h"

#include "protocol/hex.h"
#include "protocol/sample_messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

using namespace protocol;
using bertest::hex;
using bertest::unhex;
using sample::Blob;
using sample::Ping;
using sample::Record;
using sample::Sample;
using sample::SampleFactory;

namespace {

struct Decoded {
    std::vector<std::unique_ptr<BerConstructed>> messages;
    std::vector<std::uint64_t> sizes;
};

// Feeds the bytes in pieces of the given sizes (the rest in one piece), taking every
// message as soon as it is finished, as the reader does.
Decoded decodePieces(BerDecoder& decoder, const std::string& bytes, const std::vector<std::size_t>& pieces)
{
    Decoded out;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t offset = 0;
    std::size_t piece = 0;
    while (offset < bytes.size()) {
        std::size_t count = bytes.size() - offset;
        if (piece < pieces.size())
            count = std::min(count, pieces[piece++]);
        std::size_t left = count;
        while (left != 0) {
            const std::size_t used = decoder.process(data + offset, left);
            offset += used;
            left -= used;
            if (decoder.hasMessage()) {
                std::uint64_t size = 0;
                out.messages.push_back(decoder.take(&size));
                out.sizes.push_back(size);
            } else if (used == 0) {
                ADD_FAILURE() << "no progress at offset " << offset;
                return out;
            }
        }
    }
    return out;
}

Decoded decode(const std::string& bytes, std::vector<std::size_t> pieces = {})
{
    SampleFactory factory;
    BerDecoder decoder(factory);
    try {
        return decodePieces(decoder, bytes, pieces);
    } catch (const EBer& e) {
        ADD_FAILURE() << "EBer: " << e.reason();
    }
    return {};
}

std::string decodeError(const std::string& bytes, BerProtocol& factory, bool legacy = false)
{
    BerDecoder decoder(factory, legacy);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string first = "(no error)";
    try {
        std::size_t offset = 0;
        while (offset < bytes.size()) {
            offset += decoder.process(data + offset, bytes.size() - offset);
            decoder.take();
        }
        return first;
    } catch (const EBer& e) {
        first = e.reason();
    }
    // The decoder stays failed.
    try {
        decoder.process(data, bytes.size());
        return "accepted input after \"" + first + "\"";
    } catch (const EBer& e) {
        if (e.reason() != first)
            return "second error \"" + e.reason() + "\" after \"" + first + "\"";
    }
    return first;
}

std::string decodeError(const std::string& bytes)
{
    SampleFactory factory;
    return decodeError(bytes, factory);
}

using bertest::encode;

Sample makeSample()
{
    Sample s;
    s.id = 4000000000u;
    s.record.number = -17;
    s.record.name = "outer";
    s.record.next = std::make_unique<Record>(999, "inner");
    s.record.next->next = std::make_unique<Record>(-1000, "");
    s.values = {0, -1, 1LL << 40, std::numeric_limits<std::int64_t>::min()};
    s.flag = true;
    s.ratio = -0.375;
    s.kind = 128;
    s.total = std::numeric_limits<std::uint64_t>::max();
    const unsigned char key[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
    s.key = BigNum::fromBytesBE(key, sizeof key);
    return s;
}

// Sample { id 7, record { -200, "abc" } }, with "|" where a tag may follow.
const char* const kIndefiniteMarked = "| 65 80 | 02 01 07 | 30 80 | 02 02 FF 38 | 04 03 61 62 63 | 00 00 | 00 00";

std::string stripMarks(const std::string& marked, const std::string& filler = "")
{
    std::string text;
    for (char c : marked)
        text += c == '|' ? filler : std::string(1, c);
    return unhex(text);
}

Sample smallSample()
{
    Sample s;
    s.id = 7;
    s.record.number = -200;
    s.record.name = "abc";
    return s;
}

void expectOneMessage(const Decoded& d, const BerValue& expected, std::uint64_t size, const std::string& what)
{
    ASSERT_EQ(d.messages.size(), 1u) << what;
    EXPECT_TRUE(*d.messages[0] == expected) << what;
    EXPECT_EQ(d.sizes[0], size) << what;
}

// ---------------------------------------------------------------------------------------

TEST(BerDecoder, DefiniteIndefiniteAndLongLengthsDecodeAlike)
{
    const Sample expected = smallSample();
    const std::string encodings[] = {
        hex(stripMarks(kIndefiniteMarked)),
        "65 0E 02 01 07 30 09 02 02 FF 38 04 03 61 62 63",
        "65 10 02 01 07 30 80 02 02 FF 38 04 03 61 62 63 00 00",
        "65 80 02 01 07 30 09 02 02 FF 38 04 03 61 62 63 00 00",
        "65 81 12 02 01 07 30 84 00 00 00 09 02 02 FF 38 04 03 61 62 63",
        "65 12 02 81 01 07 30 0C 02 02 FF 38 04 83 00 00 03 61 62 63",
        // a field identifier in the high-number form
        "65 80 1F 02 01 07 30 80 02 02 FF 38 04 03 61 62 63 00 00 00 00",
    };
    for (const auto& e : encodings) {
        const std::string bytes = unhex(e);
        expectOneMessage(decode(bytes), expected, bytes.size(), e);
    }
}

TEST(BerDecoder, EmptyMessagesInBothForms)
{
    expectOneMessage(decode(unhex("7F 82 2C 00")), Ping(), 4, "definite");
    expectOneMessage(decode(unhex("7F 82 2C 80 00 00")), Ping(), 6, "indefinite");
    EXPECT_EQ(hex(encode(Ping())), "7F 82 2C 80 00 00"); // the indefinite form above
}

TEST(BerDecoder, SplittingTheInputDoesNotChangeTheResult)
{
    const Sample expected = makeSample();
    const std::string bytes = encode(expected);

    const Decoded whole = decode(bytes);
    expectOneMessage(whole, expected, bytes.size(), "whole");
    ASSERT_EQ(whole.messages.size(), 1u);
    EXPECT_EQ(hex(encode(*whole.messages[0])), hex(bytes)); // and writes the same bytes again
    expectOneMessage(decode(bytes, std::vector<std::size_t>(bytes.size(), 1)), expected, bytes.size(), "byte by byte");

    std::mt19937 random(20240611);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::size_t> pieces;
        std::string split;
        for (std::size_t total = 0; total < bytes.size();) {
            const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 12)(random);
            pieces.push_back(piece);
            split += std::to_string(piece) + " ";
            total += piece;
        }
        expectOneMessage(decode(bytes, pieces), expected, bytes.size(), split);
    }
}

TEST(BerDecoder, LegacyEncodingIsReadWithTheLegacyFlag)
{
    const Sample expected = makeSample();
    const std::string legacy = encode(expected, true);
    ASSERT_NE(legacy, encode(expected));

    SampleFactory factory;
    BerDecoder decoder(factory, true);
    const Decoded d = decodePieces(decoder, legacy, {});
    expectOneMessage(d, expected, legacy.size(), "legacy");

    EXPECT_EQ(decodeError(legacy), "Tag mismatch, got 1 expected BE_SEQ_CURRENT");
}

TEST(BerDecoder, DeliversMessagesOneAtATime)
{
    const std::string first = encode(makeSample());
    const std::string second = encode(Ping());
    const std::string third = stripMarks(kIndefiniteMarked);
    const std::string bytes = first + second + third;

    SampleFactory factory;
    BerDecoder decoder(factory);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(decoder.process(data, bytes.size()), first.size());
    ASSERT_TRUE(decoder.hasMessage());
    // Nothing more is consumed while a message waits.
    EXPECT_EQ(decoder.process(data + first.size(), bytes.size() - first.size()), 0u);

    std::uint64_t size = 0;
    auto message = decoder.take(&size);
    EXPECT_FALSE(decoder.hasMessage());
    EXPECT_EQ(size, first.size());
    ASSERT_NE(message, nullptr);
    EXPECT_TRUE(*message == makeSample());
    EXPECT_EQ(decoder.take(&size), nullptr);
    EXPECT_EQ(size, 0u);

    const Decoded rest = decodePieces(decoder, bytes.substr(first.size()), {});
    ASSERT_EQ(rest.messages.size(), 2u);
    EXPECT_TRUE(*rest.messages[0] == Ping());
    EXPECT_TRUE(*rest.messages[1] == smallSample());
    EXPECT_EQ(rest.sizes, (std::vector<std::uint64_t>{second.size(), third.size()}));
}

TEST(BerDecoder, FillerBytesAreSkippedAtEveryTagPosition)
{
    const Sample expected = smallSample();
    const std::string plain = stripMarks(kIndefiniteMarked);
    const std::string marked = kIndefiniteMarked;
    std::size_t marks = 0;
    for (std::size_t at = marked.find('|'); at != std::string::npos; at = marked.find('|', at + 1)) {
        ++marks;
        std::string one = marked;
        one.replace(at, 1, "19 19");
        const std::string bytes = stripMarks(one);
        // Fillers count towards the message they precede or sit in.
        expectOneMessage(decode(bytes), expected, plain.size() + 2, hex(bytes));
    }
    EXPECT_EQ(marks, 7u);
    const std::string everywhere = stripMarks(kIndefiniteMarked, " 19 ");
    expectOneMessage(decode(everywhere), expected, plain.size() + marks, "everywhere");
    expectOneMessage(decode(everywhere, std::vector<std::size_t>(everywhere.size(), 1)), expected, plain.size() + marks,
                     "everywhere, byte by byte");
}

TEST(BerDecoder, ZeroAndFillerBytesBetweenMessagesAreSkipped)
{
    const std::string ping = encode(Ping());
    const std::string small = stripMarks(kIndefiniteMarked);
    const Decoded d = decode(unhex("00 00 19 00") + ping + unhex("00") + small + unhex("19 00 00"));
    ASSERT_EQ(d.messages.size(), 2u);
    EXPECT_TRUE(*d.messages[0] == Ping());
    EXPECT_TRUE(*d.messages[1] == smallSample());
    EXPECT_EQ(d.sizes, (std::vector<std::uint64_t>{4 + ping.size(), 1 + small.size()}));
}

TEST(BerDecoder, UnknownTrailingFieldsAreSkipped)
{
    const Sample expected = smallSample();
    const std::string record = "30 80 02 02 FF 38 04 03 61 62 63 ";
    const std::string extras[] = {
        // record: a boolean after its optional third field (given as NULL)
        "65 80 02 01 07 30 80 02 02 FF 38 04 03 61 62 63 05 00 01 01 FF 00 00 00 00",
        // record: a constructed field with nested values, indefinite and definite inside
        "65 80 02 01 07 30 80 02 02 FF 38 04 03 61 62 63 05 00 "
        "A3 80 02 01 05 30 03 04 01 41 B1 80 00 00 00 00 00 00 00 00",
        // record: a definite constructed field and a high-tag primitive with a long length
        "65 80 02 01 07 30 80 02 02 FF 38 04 03 61 62 63 05 00 "
        "31 05 30 03 05 01 00 DF 81 00 81 80 " +
            hex(std::string(128, 'z')) + " 00 00 00 00",
        // message: fields beyond the last known one
        "65 80 02 01 07 " + record +
            "00 00 30 80 00 00 01 01 00 09 00 0A 00 02 01 00 02 00 "
            "04 02 68 69 7F 8F 00 80 00 00 00 00",
    };
    for (const auto& e : extras) {
        std::string bytes;
        ASSERT_NO_THROW(bytes = unhex(e)) << e;
        expectOneMessage(decode(bytes), expected, bytes.size(), e);
    }
    const std::string pingWithFields = unhex("7F 82 2C 80 02 01 05 30 80 04 00 00 00 00 00");
    expectOneMessage(decode(pingWithFields), Ping(), pingWithFields.size(), "ping");
}

TEST(BerDecoder, LargeStringArrivesInPieces)
{
    Blob blob;
    blob.data.resize(1024 * 1024);
    for (std::size_t i = 0; i < blob.data.size(); ++i)
        blob.data[i] = static_cast<char>(i * 7 + i / 251);
    const std::string bytes = encode(blob);
    ASSERT_EQ(hex(bytes.substr(0, 8)), "66 80 04 83 10 00 00 00");
    expectOneMessage(decode(bytes, std::vector<std::size_t>(bytes.size() / 65536 + 1, 65536)), blob, bytes.size(),
                     "64 KiB pieces");
    expectOneMessage(decode(bytes, {3, 5, 1, 999999}), blob, bytes.size(), "uneven pieces");
}

// Every error that input can cause; the decoder refuses further input with the same text.
TEST(BerDecoder, MalformedInputFailsWithItsText)
{
    const std::string nested = "65 80 02 01 00 30 80 02 01 00 04 00 ";
    const std::string fewFields = "Got to few fields of constructed value";
    const std::string tooLong = "Length field too long";
    // Sample { 0, record { 0, "" } } up to its list, then the fields after it.
    const std::string upToList = "65 80 02 01 00 30 80 02 01 00 04 00 00 00 30 80 ";
    struct Case {
        std::string bytes;
        std::string error;
    } cases[] = {
        {"65 85", tooLong},
        {"65 FF", tooLong},
        {"65 80 02 85 00", tooLong},
        {"65 80 02 80", "Indefinite length on tag 16"},
        {"65 80 02 01 00 30 80 02 01 05 04 00 00 01", "Length field nonzero after zero tag 1"},
        {"65 80 02 01 00 30 80 02 01 05 04 00 00 FF", "Length field nonzero after zero tag 255"},
        {"65 80 02 01 00 00 00", fewFields},
        {"65 03 02 01 00", fewFields},
        {"65 80 02 01 00 30 80 02 01 00 00 00", fewFields},
        {"65 80 02 01 00 30 03 02 01 00", fewFields},
        {"65 80 02 01 00 30 00", fewFields},
        {"A9 80 00 00", "Unknown tag 77"},
        {"30 80 00 00", "Unknown tag 129"},
        {"02 01 00", "Unknown tag 16"},
        {"7F 82 30 80 00 00", "Unknown tag 2435"},
        {"65 80 04 00", "Tag mismatch, got 32 expected BE_INTEGER"},
        {"65 80 02 01 00 30 80 02 01 00 16 00", "Tag mismatch, got 176 expected BE_STRING_CURRENT"},
        {"65 80 02 01 00 30 80 02 01 00 04 11 " + hex(std::string(17, 'n')), "String exceeds allowed length 17 > 16"},
        {"65 80 02 01 00 30 80 02 02 03 E9",
         "data out of range in BerIntegerTemplate<int>::readDone -1000 <= 1001 <= 1000"},
        {"65 80 02 01 00 30 80 02 05 00 00 00 00 01", "Data value exceeds maximum allowed length 5 > 4"},
        {"65 80 02 06 00 00 00 00 00 01", "Data value exceeds maximum allowed length 6 > 5"},
        {"65 80 02 05 01 00 00 00 00", "data out of range in BerIntegerTemplate"},
        {upToList + "00 00 01 01 00 09 01 42", "Unsupported real number format revceived"},
        {upToList + "00 00 01 01 00 09 02 00 41", "Parse error in real number"},
        {upToList + "02 01 00 00 00 01 02 00 00", "Data value exceeds maximum allowed length 2 > 1"},
        // A value that cannot fit into its definite-length parent fails at once, not
        // when the parent's end never comes.
        {"65 05 02 01 07 30 03 02 01 05", "Length 3 of tag 129 overruns its definite-length parent"},
        {"65 03 02 05 00 00 00 00 01", "Length 5 of tag 16 overruns its definite-length parent"},
        {"65 04 02 01 07 30 80", "Value runs past the end of its definite-length parent"},
        {"65 06 02 01 07 30 80 02 01 05", "Value runs past the end of its definite-length parent"},
        {"65 08 02 01 07 30 80 02 01 05 04 00 00 00", "Value runs past the end of its definite-length parent"},
        {"65 82 FF FF 02 01 07 30 84 FF FF FF FF", "Length 4294967295 of tag 129 overruns its definite-length parent"},
        {nested + "05 00 A0 80 31 80", "(no error)"}, // incomplete, not wrong
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeError(unhex(c.bytes)), c.error) << c.bytes;
}

TEST(BerDecoder, RefusesNestingBeyondTheLimit)
{
    // Sample and Record are two levels; the rest are skipped constructed fields.
    const std::string head = "65 80 02 01 00 30 80 02 01 00 04 00 05 00 ";
    auto nestedTo = [&](std::size_t depth) {
        std::string text = head;
        for (std::size_t i = 2; i < depth; ++i)
            text += "A0 80 ";
        for (std::size_t i = 0; i < depth; ++i)
            text += "00 00 ";
        return unhex(text);
    };
    const std::string deepest = nestedTo(BerDecoder::kMaxDepth);
    const Decoded d = decode(deepest);
    ASSERT_EQ(d.messages.size(), 1u);
    EXPECT_EQ(d.sizes[0], deepest.size());
    EXPECT_EQ(decodeError(nestedTo(BerDecoder::kMaxDepth + 1)),
              "Constructed values nested deeper than " + std::to_string(BerDecoder::kMaxDepth));
    std::string endless = unhex(head);
    for (int i = 0; i < 100000; ++i)
        endless += "\xA0\x80";
    EXPECT_EQ(decodeError(endless), "Constructed values nested deeper than " + std::to_string(BerDecoder::kMaxDepth));
}

// A partial message is released when the decoder goes away: cut the input at every
// position (the sanitizers report anything left behind).
TEST(BerDecoder, PartialMessagesAreReleased)
{
    const std::string bytes = encode(makeSample()) + encode(Ping());
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        const Decoded d = decode(bytes.substr(0, cut));
        EXPECT_EQ(d.messages.size(), cut < bytes.size() - 6 ? 0u : cut < bytes.size() ? 1u : 2u) << cut;
    }
}

// A fault at every position of a message (one byte replaced by an impossible length
// octet) releases what was built so far.
TEST(BerDecoder, FailuresMidMessageReleaseEverything)
{
    const std::string bytes = encode(makeSample());
    std::size_t failures = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string broken = bytes;
        broken[at] = '\x85';
        SampleFactory factory;
        BerDecoder decoder(factory);
        try {
            decodePieces(decoder, broken, {});
        } catch (const EBer&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, bytes.size() / 2);
}

// ---------------------------------------------------------------------------------------
// Faults of the message classes themselves are reported like bad input.

class Misfit : public BerConstructed {
public:
    enum class Gives { Primitive, TransientView, OwnMember, Nothing, KeptValue };
    explicit Misfit(Gives gives) : gives_(gives) {}

    BerValue* clone() const override { return new Misfit(gives_); }
    std::uint32_t tag(bool) const override { return Sample::kTag; }
    void readDone() override {}
    std::uint32_t minFields() const override { return 0; }
    bool operator==(const BerValue&) const override { return false; }
    bool operator<(const BerValue&) const override { return false; }
    bool operator>(const BerValue&) const override { return false; }
    void write(BasicIo&, bool) const override {}

    BerValue* child(std::uint32_t, std::uint32_t, std::uint32_t, bool) override
    {
        switch (gives_) {
        case Gives::Primitive: return new BerBoolean(&flag_);
        case Gives::TransientView: return new sample::Int64ListView(values_);
        case Gives::OwnMember: return &member_;
        case Gives::Nothing: return nullptr;
        case Gives::KeptValue: {
            // A value kept by its parent, with its own datum: the decoder must not free it.
            auto value = std::make_unique<BerIntegerTemplate<std::int32_t>>(new std::int32_t(0), -5, 5);
            value->owns = true;
            kept.push_back(std::move(value));
            return kept.back().get();
        }
        }
        return nullptr;
    }

    std::vector<std::unique_ptr<BerValue>> kept;

private:
    Gives gives_;
    bool flag_ = false;
    std::vector<std::int64_t> values_;
    Record member_;
};

class MisfitFactory : public BerProtocol {
public:
    explicit MisfitFactory(Misfit::Gives gives, std::uint32_t claimedTag = Sample::kTag)
        : gives_(gives), claimedTag_(claimedTag)
    {
    }
    BerConstructed* create(std::uint32_t tag, bool) override
    {
        if (tag != claimedTag_)
            throw EBer("Unknown tag " + std::to_string(tag));
        return new Misfit(gives_);
    }

private:
    Misfit::Gives gives_;
    std::uint32_t claimedTag_;
};

TEST(BerDecoder, ValueWithAnotherTagThanReadIsRefused)
{
    const std::string child = std::string(" child of ") + typeid(Misfit).name();
    struct Case {
        Misfit::Gives gives;
        std::string bytes;
        std::string error;
    } cases[] = {
        {Misfit::Gives::Primitive, "65 80 02 01 00", "Internal server error, tag mismatch 8 != 16" + child},
        {Misfit::Gives::TransientView, "65 80 02 01 00", "Internal server error, tag mismatch 129 != 16" + child},
        {Misfit::Gives::OwnMember, "65 80 02 01 00", "Internal server error, tag mismatch 129 != 16" + child},
        {Misfit::Gives::OwnMember, "65 80 31 80", "Internal server error, tag mismatch 129 != 137" + child},
        {Misfit::Gives::KeptValue, "65 80 02 01 00 30 80", "Internal server error, tag mismatch 16 != 129" + child},
        {Misfit::Gives::Nothing, "65 80 02 01 00", "Value neither BerPrimitive nor BerConstructed"},
    };
    for (const auto& c : cases) {
        MisfitFactory factory(c.gives);
        EXPECT_EQ(decodeError(unhex(c.bytes), factory), c.error) << c.bytes;
    }

    MisfitFactory lying(Misfit::Gives::Primitive, Ping::kTag);
    EXPECT_EQ(decodeError(unhex("7F 82 2C 80 00 00"), lying),
              "Internal server error, tag mismatch 43 != 2403 at top level");
}

TEST(BerDecoder, ValuesKeptByTheirParentAreFilledAndNotFreed)
{
    MisfitFactory factory(Misfit::Gives::KeptValue);
    BerDecoder decoder(factory);
    const std::string bytes = unhex("65 80 02 01 03 02 01 FC 02 00 00 00");
    const Decoded d = decodePieces(decoder, bytes, {});
    ASSERT_EQ(d.messages.size(), 1u);
    const auto& kept = dynamic_cast<const Misfit&>(*d.messages[0]).kept;
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(hex(encode(*kept[0])), "02 01 03");
    EXPECT_EQ(hex(encode(*kept[1])), "02 01 FC");
    EXPECT_EQ(hex(encode(*kept[2])), "02 01 00");

    // And not freed when a later field fails either.
    EXPECT_EQ(decodeError(unhex("65 80 02 01 03 02 01 06"), factory),
              "data out of range in BerIntegerTemplate<int>::readDone -5 <= 6 <= 5");
}

} // namespace
