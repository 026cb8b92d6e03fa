#pragma once
// Text helpers. Narrow texts are UTF-8 byte strings; wide texts are UTF-16 and exist only at
// the boundary with Windows.
#include <string>
#include <vector>

// UTF-16 → UTF-8. Throws error::EParseError when Windows refuses the text.
std::string toUtf8(const std::wstring& wide);
// UTF-8 → UTF-16; a text that is not UTF-8 is read in the ANSI code page instead.
// Throws error::EParseError when neither reading works.
std::wstring toWide(const std::string& narrow);

// The text between double quotes, with control characters, quotes and backslashes escaped.
std::string quoted(const std::string& text);
// Control characters (below 32, and 127) as "\x" + two lower-case hexadecimal digits, so
// that a text from outside (a stored name) can neither break nor forge a log line.
std::string escapeControlCharacters(const std::string& text);
// Each byte through toupper of the default locale.
std::string toUpper(const std::string& text);
// Pieces between separator bytes; empty pieces only when keepEmpty is set.
std::vector<std::string> split(const std::string& text, char separator, bool keepEmpty);
