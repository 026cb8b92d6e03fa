#pragma once
// A fresh directory under the system's temporary directory, removed with its contents at
// the end of the test. Paths are UTF-8 text with the platform's separator, as the worker
// passes them.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

namespace testing_fs {

#ifdef _WIN32
inline const std::string separator = "\\";
#else
inline const std::string separator = "/";
#endif

inline std::filesystem::path toPath(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string toText(const std::filesystem::path& path)
{
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(toPath(path), std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw std::runtime_error("cannot write test file " + path);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read test file " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path)
{
    return std::filesystem::exists(toPath(path));
}

class TempDir {
public:
    TempDir()
    {
        std::random_device random;
        std::filesystem::path base = std::filesystem::temp_directory_path();
        for (;;) {
            std::filesystem::path candidate = base / ("rw-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) {
                path_ = toText(candidate);
                return;
            }
        }
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(toPath(path_), ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // `name` inside the directory; `name` may use the platform's separator.
    std::string operator/(const std::string& name) const { return path_ + separator + name; }

private:
    std::string path_;
};

} // namespace testing_fs
