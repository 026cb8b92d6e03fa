// Cutting log texts into records for the parent, and the local line for an unsent text.
#include "worker/log_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A text in which every position holds a byte that tells where it came from, so a byte
// lost, repeated or moved changes what the pieces add up to.
std::string numberedText(std::size_t n)
{
    std::string text(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        text[i] = static_cast<char>('!' + (i * 7 + i / 90) % 90);
    return text;
}

TEST(SplitLogText, PiecesCarryEveryByteOnceAndContinuedOnesEndInTheMarker)
{
    const std::string marker(kContinuedMarker);
    struct Case {
        std::size_t length;
        std::vector<std::size_t> textBytes; // of each record, without its marker
    };
    const Case cases[] = {
        {0, {}},
        {1, {1}},
        {1005, {1005}},
        {1024, {1024}},
        {1025, {1005, 20}},
        {2029, {1005, 1024}},
        {2030, {1005, 1005, 20}},
        {2500, {1005, 1005, 490}},
        {4020, {1005, 1005, 1005, 1005}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        const std::string text = numberedText(c.length);
        const std::vector<std::string> records = splitLogText(text);
        ASSERT_EQ(records.size(), c.textBytes.size());
        std::string joined;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const bool continued = i + 1 < records.size();
            const std::size_t textBytes = c.textBytes[i];
            if (continued) {
                ASSERT_EQ(records[i].size(), 1024u);
                EXPECT_EQ(records[i].substr(textBytes), marker);
            } else {
                ASSERT_EQ(records[i].size(), textBytes);
            }
            joined += records[i].substr(0, textBytes);
        }
        EXPECT_EQ(joined, text);
    }
}

TEST(SplitLogText, MarkerInTheTextIsCarriedLikeAnyOtherBytes)
{
    const std::string text = std::string(kContinuedMarker) + "x";
    const std::vector<std::string> records = splitLogText(text);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], text);
}

TEST(LocalLogLine, LevelFlagAndTheWholeText)
{
    const std::string longText = numberedText(2500);
    struct Case {
        std::string text;
        int level;
        bool forward;
        std::string line;
    };
    const Case cases[] = {
        {"disk full", 2, false, "2,false: disk full"},
        {"dying", 0, true, "0,true: dying"},
        {"odd level", -1, false, "4294967295,false: odd level"},
        {longText, 3, false, "3,false: " + longText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        EXPECT_EQ(localLogLine(c.text, c.level, c.forward), c.line);
    }
}

} // namespace
