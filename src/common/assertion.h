#pragma once
#include <string>

// Ends the process at once for a broken internal invariant: "Assertion failed: " + reason
// on the standard error stream, then abort. No destructor runs. Never used for input the
// worker received: that is reported through an exception.
[[noreturn]] void assertion(const std::string& reason);
