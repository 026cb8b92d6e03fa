#pragma once
// Checks that an action throws exactly the expected kind of failure with exactly its text.
#include "common/error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

template <class Expected>
void expectThrows(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected: " << text;
    } catch (const Expected& e) {
        EXPECT_EQ(e.fullText(), text);
    } catch (const error::Exception& e) {
        ADD_FAILURE() << "other exception: " << e.fullText();
    }
}
