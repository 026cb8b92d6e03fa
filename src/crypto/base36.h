#pragma once
#include <string>

// The bytes (least significant first, no padding) of a number written in base 36, least
// significant digit first, with "A".."Z" for 0..25 and "0".."9" for 26..35.
// Throws error::EParseError "Error parsing: " + text for any other character.
std::string parseBase36(const std::string& text);
