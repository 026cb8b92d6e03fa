// make-object-set: the backup set of the small-object benchmark, written without a source
// tree: a job of N tiny files in directories of 1000 below C:\source, NTFS metadata, clear
// chunks, and chunk files for the objects that hold the first K files only (restore-host
// --serve serves those; a job of a million objects need not put a million chunk files on
// the disk to be loaded whole).
//
//   make-object-set SET --files N [--served K]
//
// prints "make-object-set: objects=O served=S job_bytes=J": O records in the job, the first
// S of them with chunk files, J bytes of restore.job.
#include "object_layout.h"

#include "backupset/chunk_store.h"
#include "backupset/pack.h"
#include "backupset/path_text.h"
#include "proto/messages.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(backupset::toPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw backupset::ChunkStoreError("cannot write " + path);
}

proto::FileMetaData* record(const std::string& name, bool directory, std::uint64_t size)
{
    auto* r = new proto::FileMetaData;
    r->name = name;
    r->directory = directory;
    r->size = size;
    auto& ntfs = r->osmeta.emplace<proto::FileMetaNTFS>();
    ntfs.owner = objectbench::kOwner;
    ntfs.creationTime = ntfs.lastWriteTime = ntfs.lastAccessTime = objectbench::kStamp;
    ntfs.archive = !directory;
    return r;
}

void addChunks(const std::string& set, std::size_t position, const std::string& data)
{
    backupset::ChunkFileWriter writer(backupset::chunkFilePath(set, position), 1);
    writer.add(data.empty() ? data : "CTCN" + data);
    writer.finish();
}

int make(const std::string& set, std::size_t files, std::size_t servedFiles)
{
    if (fs::exists(backupset::toPath(set)))
        fs::remove_all(backupset::toPath(set));
    fs::create_directories(backupset::toPath(set + "/" + backupset::kChunkDirectory));

    proto::ClientRestoreJob job;
    job.jobNumber = 1;
    job.restoreRoot = "C:\\bench-objects";
    job.hasFiles = true;
    const std::string source = backupset::kDefaultWindowsSource;
    const std::size_t served = objectbench::objectsFor(std::min(servedFiles, files));
    for (std::size_t file = 0; file < files; ++file) {
        const std::string directory = source + "\\" + objectbench::directoryName(file);
        if (file % objectbench::kFilesPerDirectory == 0) {
            if (job.files.size() < served)
                addChunks(set, job.files.size(), "");
            job.files.emplace_back(record(directory, true, 0));
        }
        const std::string data = objectbench::contents(file);
        if (job.files.size() < served)
            addChunks(set, job.files.size(), data);
        job.files.emplace_back(record(directory + "\\" + objectbench::fileName(file), false, data.size()));
    }
    const std::string jobBytes = backupset::encodeJob(job);
    writeFile(set + "/" + backupset::kJobFile, jobBytes);
    writeFile(set + "/" + backupset::kConfigFile, backupset::configText(std::string(32, '\x01')));
    std::printf("make-object-set: objects=%zu served=%zu job_bytes=%zu\n", job.files.size(),
                std::min(served, job.files.size()), jobBytes.size());
    return 0;
}

bool count(const char* text, std::size_t& value)
{
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    value = static_cast<std::size_t>(parsed);
    return *text >= '0' && *text <= '9' && *end == '\0';
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t files = 0;
    std::size_t served = SIZE_MAX;
    bool usable = argc == 4 || argc == 6;
    for (int i = 2; usable && i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--files") == 0)
            usable = count(argv[i + 1], files) && files > 0;
        else if (std::strcmp(argv[i], "--served") == 0)
            usable = count(argv[i + 1], served);
        else
            usable = false;
    }
    if (!usable || files == 0) {
        std::fputs("usage: make-object-set SET --files N [--served K]\n", stderr);
        return 2;
    }
    try {
        return make(argv[1], files, served);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make-object-set: %s\n", e.what());
        return 3;
    }
}
