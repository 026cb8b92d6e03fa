#include "common/error.h"

#include "support.h"

#include <gtest/gtest.h>

namespace {

TEST(Errors, FullTextIsReasonThenContext)
{
    try {
        try {
            throw error::EFatal("Cannot parse file");
        } catch (error::Exception& e) {
            e.context += " during parent_write";
            throw;
        }
    } catch (const error::EFatal& e) {
        EXPECT_EQ(e.reason(), "Cannot parse file");
        EXPECT_EQ(e.fullText(), "Cannot parse file during parent_write");
    }
}

TEST(Errors, SystemErrorClassFollowsTheCode)
{
    const std::pair<unsigned long, const std::type_info*> cases[] = {
        {2, &typeid(error::EFileNotFoundError)},
        {3, &typeid(error::EFileNotFoundError)},
        {183, &typeid(error::EFileExistsError)},
        {5, &typeid(error::ESystemError)},
    };
    for (const auto& [code, type] : cases)
        EXPECT_EQ(support::thrown([&] { error::throwSystemError(code, "Opening x"); }),
                  std::make_pair(type, "Opening x: " + error::systemErrorText(code)));
    support::expectThrows<error::ESystemError>([] { error::throwSystemErrorText("'x' is not an absolute path."); },
                                               "'x' is not an absolute path.");
    // The system's text, without the line break it ends with.
    const std::string text = error::systemErrorText(2);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
}

} // namespace
