#include "common/assertion.h"
#include "common/error.h"
#include "common/text.h"

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
    struct Case {
        unsigned long code;
        bool notFound, exists;
    };
    for (Case c : {Case{2, true, false}, Case{3, true, false}, Case{183, false, true}, Case{5, false, false}}) {
        try {
            error::throwSystemError(c.code, "Opening x");
        } catch (const error::ESystemError& e) {
            EXPECT_EQ(dynamic_cast<const error::EFileNotFoundError*>(&e) != nullptr, c.notFound) << c.code;
            EXPECT_EQ(dynamic_cast<const error::EFileExistsError*>(&e) != nullptr, c.exists) << c.code;
            EXPECT_EQ(e.fullText(), "Opening x: " + error::systemErrorText(c.code));
        }
    }
}

TEST(Errors, FileNotFoundTextHasNoLineBreak)
{
    std::string text = error::systemErrorText(2);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    EXPECT_NE(toUpper(text).find("FILE"), std::string::npos) << text;
}

TEST(Errors, ThrowSystemErrorTextKeepsTheTextAsItIs)
{
    try {
        error::throwSystemErrorText("'x' is not an absolute path.");
        FAIL();
    } catch (const error::ESystemError& e) {
        EXPECT_EQ(e.fullText(), "'x' is not an absolute path.");
    }
}

TEST(ErrorsDeathTest, AssertionEndsTheProcessWithItsText)
{
    EXPECT_DEATH(assertion("Negative usec"), "Assertion failed: Negative usec");
}

} // namespace
