// Cutting log texts into records for the parent, and the local line for an unsent text.
#include "worker/log_records.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitLogText, PiecesCarryEveryByteOnceAndContinuedOnesEndInTheMarker)
{
    const std::string marker(kContinuedMarker);
    struct Case {
        std::size_t length;
        std::vector<std::size_t> textBytes; // of each record, without its marker
    };
    const Case cases[] = {
        {0, {}},
        {1024, {1024}},
        {1025, {1005, 20}},
        {2029, {1005, 1024}},
        {2030, {1005, 1005, 20}},
        {4020, {1005, 1005, 1005, 1005}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        // Bytes that differ from one position to the next: one lost, repeated or moved shows.
        const std::string text = support::patterned(c.length);
        const std::vector<std::string> records = splitLogText(text);
        ASSERT_EQ(records.size(), c.textBytes.size());
        std::string joined;
        for (std::size_t i = 0; i < records.size(); ++i) {
            const std::size_t textBytes = c.textBytes[i];
            const bool continued = i + 1 < records.size();
            EXPECT_EQ(records[i].size(), continued ? 1024u : textBytes);
            EXPECT_EQ(records[i].substr(textBytes), continued ? marker : "");
            joined += records[i].substr(0, textBytes);
        }
        EXPECT_EQ(joined, text);
    }
    // The marker in the text is carried like any other bytes.
    EXPECT_EQ(splitLogText(marker + "x"), std::vector<std::string>{marker + "x"});
}

TEST(LocalLogLine, LevelFlagAndTheWholeText)
{
    const std::string longText = support::patterned(2500);
    EXPECT_EQ(localLogLine("disk full", 2, false), "2,false: disk full");
    EXPECT_EQ(localLogLine("dying", 0, true), "0,true: dying");
    EXPECT_EQ(localLogLine("odd level", -1, false), "4294967295,false: odd level");
    EXPECT_EQ(localLogLine(longText, 3, false), "3,false: " + longText);
}

} // namespace
