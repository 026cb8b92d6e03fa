#pragma once
// What SeqFileReader needs of the platform's files; a failing call leaves its reason in the
// thread's last error (error::lastErrorText).
#include "io/seq_file_reader.h"

class SeqFileReader::File {
public:
    // Null when the file cannot be opened.
    static std::unique_ptr<File> open(const std::string& path);
    virtual ~File() = default;
    // Synchronous read of up to `count` bytes; false when the call failed.
    virtual bool read(void* into, std::size_t count, std::size_t& got) = 0;
    // Moves to `offset` from the start; false when the call failed, else the new position.
    virtual bool seek(std::uint64_t offset, std::uint64_t& position) = 0;
};
