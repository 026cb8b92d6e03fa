#pragma once
// A disk file offered as an input byte stream that is always ready: read synchronously in
// 1 MiB pieces and lent out like the bytes of a pipe stream. The job file is read this way,
// through the same BER reader as the parent pipe.
#include "common/error.h"
#include "io/byte_stream.h"
#include "io/selectable.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A read or seek failure of SeqFileReader.
class ESeqFile : public error::WithReason<error::Exception> {
    using WithReason::WithReason;
};

class SeqFileReader : public io::ByteIStream, public io::AlwaysReady {
public:
    static constexpr std::size_t kBufferSize = 1048576;

    // Opens `path` (UTF-8) for reading and seeks to `startOffset` unless it is 0. Throws
    // io::EFileNotFound when the file cannot be opened.
    explicit SeqFileReader(const std::string& path, std::uint32_t startOffset = 0);
    ~SeqFileReader() override;

    std::string name() const override { return "SeqFileReader"; }

    // Lends the buffered bytes, reading the next piece first when all are consumed. Throws
    // io::EEndOfStream at the end of the file, ESeqFile when the read fails.
    std::size_t read(const unsigned char** data) override;
    // Consuming more than was lent is a caller bug and ends the process.
    void readCommit(std::size_t n) override;
    // Appends up to 1 MiB of the file to `out`, past the internal buffer.
    void readInto(std::string& out);
    // Moves to `offset` from the file start and drops the buffered bytes.
    void seek(std::uint32_t offset);

    // The platform's open file.
    class File;

private:
    std::unique_ptr<File> file_;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t readPos_ = 0; // offsets from the buffer start
    std::size_t fillEnd_ = 0;
    std::string path_;
};
