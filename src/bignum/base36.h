#pragma once
#include <string>

// The bytes (least significant first, no padding) of a number written in base 36, least
// significant digit first, with "A".."Z" for 0..25 and "0".."9" for 26..35.
// Throws error::EParseError "Error parsing: " + text for any other character.
std::string parseBase36(const std::string& text);

// The inverse of parseBase36: the number whose bytes are `bytes` (least significant
// first) written in the same base-36 text, least significant digit first. Zero (no bytes,
// or only zero bytes) is "A". High zero bytes are not part of the number, so they do not
// come back from parseBase36.
std::string formatBase36(const std::string& bytes);
