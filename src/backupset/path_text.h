#pragma once
// Paths as UTF-8 text and back, whatever the platform's own path encoding is.
#include <filesystem>
#include <string>

namespace backupset {

inline std::filesystem::path toPath(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string toText(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// With '/' between the components on every platform.
inline std::string genericText(const std::filesystem::path& path)
{
    const std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

} // namespace backupset
