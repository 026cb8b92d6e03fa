// Reference speeds for bench/restore-throughput, on the very files it restores: copying
// their bytes in memory (the least a restore can cost), and inflating text-like files that
// were compressed at zlib level 6 in 1 MiB pieces, as compressed chunks are.
//
//   baselines --memcpy DIR --inflate DIR
//
// prints one line per measurement, best of three rounds:
//   memcpy bytes=N seconds=S
//   inflate bytes=N compressed=C seconds=S
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPiece = 1 << 20;
constexpr int kRounds = 3;

std::vector<fs::path> filesBelow(const fs::path& root)
{
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string contentsOf(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(fs::file_size(path), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The whole tree in one buffer, copied into another in 1 MiB pieces.
void measureMemcpy(const fs::path& root)
{
    std::vector<char> source;
    for (const fs::path& file : filesBelow(root)) {
        std::string bytes = contentsOf(file);
        source.insert(source.end(), bytes.begin(), bytes.end());
    }
    // Touched before timing: the first write to a fresh page costs a fault, not a copy.
    std::vector<char> target(source.size(), 1);
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < source.size(); at += kPiece)
            std::memcpy(target.data() + at, source.data() + at, std::min(kPiece, source.size() - at));
        best = std::min(best, secondsSince(start));
        if (std::memcmp(target.data(), source.data(), source.size()) != 0)
            throw std::runtime_error("memcpy copied something else");
    }
    std::printf("memcpy bytes=%zu seconds=%.6f\n", source.size(), best);
}

// Every file in 1 MiB pieces, each compressed at level 6 beforehand; only inflation is timed.
void measureInflate(const fs::path& root)
{
    std::vector<std::string> pieces;
    std::vector<uLongf> plainSizes;
    std::size_t plainTotal = 0;
    std::size_t compressedTotal = 0;
    for (const fs::path& file : filesBelow(root)) {
        std::string bytes = contentsOf(file);
        for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
            const uLong length = static_cast<uLong>(std::min(kPiece, bytes.size() - at));
            uLongf packed = compressBound(length);
            std::string piece(packed, '\0');
            if (compress2(reinterpret_cast<Bytef*>(piece.data()), &packed,
                          reinterpret_cast<const Bytef*>(bytes.data() + at), length, 6) != Z_OK)
                throw std::runtime_error("compress2 failed on " + file.string());
            piece.resize(packed);
            compressedTotal += packed;
            plainTotal += length;
            plainSizes.push_back(length);
            pieces.push_back(std::move(piece));
        }
    }
    std::vector<Bytef> out(kPiece);
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            uLongf produced = static_cast<uLongf>(out.size());
            if (uncompress(out.data(), &produced, reinterpret_cast<const Bytef*>(pieces[i].data()),
                           static_cast<uLong>(pieces[i].size())) != Z_OK ||
                produced != plainSizes[i])
                throw std::runtime_error("uncompress failed");
        }
        best = std::min(best, secondsSince(start));
    }
    std::printf("inflate bytes=%zu compressed=%zu seconds=%.6f\n", plainTotal, compressedTotal, best);
}

} // namespace

int main(int argc, char** argv)
{
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string flag = argv[i];
            if (i + 1 >= argc)
                throw std::runtime_error("missing directory after " + flag);
            const fs::path directory = argv[++i];
            if (flag == "--memcpy")
                measureMemcpy(directory);
            else if (flag == "--inflate")
                measureInflate(directory);
            else
                throw std::runtime_error("unknown option " + flag);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "baselines: %s\n", e.what());
        return 1;
    }
}
