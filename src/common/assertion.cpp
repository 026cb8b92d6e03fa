#include "common/assertion.h"

#include <cstdio>
#include <cstdlib>

void assertion(const std::string& reason)
{
    std::string text = "Assertion failed: " + reason + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    std::abort();
}
