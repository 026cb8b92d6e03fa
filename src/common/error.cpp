#include "common/error.h"

namespace error {

void throwSystemError(unsigned long code, const std::string& context)
{
    std::string text = context + ": " + systemErrorText(code);
    switch (code) {
    case 2: // file not found
    case 3: // path not found
        throw EFileNotFoundError(text);
    case 183: // already exists
        throw EFileExistsError(text);
    default: throw ESystemError(text);
    }
}

void throwSystemErrorText(const std::string& text)
{
    throw ESystemError(text);
}

std::string lastErrorText()
{
    return systemErrorText(lastErrorCode());
}

} // namespace error
