#include "io/seq_file_reader.h"

#include "common/assertion.h"
#include "io/errors.h"
#include "io/seq_file_reader_file.h"

SeqFileReader::SeqFileReader(const std::string& path, std::uint32_t startOffset)
    : buffer_(new unsigned char[kBufferSize]), path_(path)
{
    file_ = File::open(path); // nothing may run between a failure and its text
    if (!file_)
        throw io::EFileNotFound("Unable to open file '" + path + "' for SeqFileReader: " + error::lastErrorText());
    if (startOffset != 0)
        seek(startOffset);
}

SeqFileReader::~SeqFileReader()
{
    leaveAllSelectors();
}

std::size_t SeqFileReader::read(const unsigned char** data)
{
    if (readPos_ == fillEnd_) {
        std::size_t got = 0;
        if (!file_->read(buffer_.get(), kBufferSize, got))
            throw ESeqFile("Cannot read from file: " + error::lastErrorText());
        if (got == 0)
            throw io::EEndOfStream("EOS in SeqFileReader");
        readPos_ = 0;
        fillEnd_ = got;
    }
    *data = buffer_.get() + readPos_;
    return fillEnd_ - readPos_;
}

void SeqFileReader::readCommit(std::size_t n)
{
    readPos_ += n;
    if (readPos_ > fillEnd_)
        assertion("Overcommit in SeqFileReader " + std::to_string(n) + " is " + std::to_string(readPos_ - fillEnd_) +
                  " bytes past end of buffer");
}

void SeqFileReader::readInto(std::string& out)
{
    const std::size_t before = out.size();
    out.resize(before + kBufferSize);
    std::size_t got = 0;
    if (!file_->read(out.data() + before, kBufferSize, got)) {
        out.resize(before);
        throw ESeqFile("Cannot read from file: " + error::lastErrorText());
    }
    out.resize(before + got);
    if (got == 0)
        throw io::EEndOfStream("EOS in SeqFileReader");
}

void SeqFileReader::seek(std::uint32_t offset)
{
    std::uint64_t position = 0;
    if (!file_->seek(offset, position))
        throw ESeqFile("Unable to seek in " + path_ + ": " + error::lastErrorText());
    if (position != offset)
        throw ESeqFile("Seek missed in " + path_);
    readPos_ = fillEnd_ = 0;
}
