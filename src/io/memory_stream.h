#pragma once
// Byte streams over memory, always due in a selector: input lent from a byte string in
// windows of a chosen size, output collected into a byte string. For tools, benchmarks and
// fuzzing, where a message source or sink has no pipe behind it.
#include "io/byte_stream.h"
#include "io/errors.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace io {

class MemoryIStream : public ByteIStream, public AlwaysReady {
public:
    // `bytes` must outlive the stream; each read lends at most `window` bytes.
    explicit MemoryIStream(std::string_view bytes, std::size_t window = 131072)
        : bytes_(bytes), window_(window == 0 ? 1 : window)
    {
    }
    std::string name() const override { return "memory"; }
    std::size_t read(const unsigned char** data) override
    {
        if (position_ == bytes_.size())
            throw EEndOfStream("EOS on MemoryIStream read");
        *data = reinterpret_cast<const unsigned char*>(bytes_.data()) + position_;
        return std::min(window_, bytes_.size() - position_);
    }
    void readCommit(std::size_t n) override { position_ = std::min(bytes_.size(), position_ + n); }

private:
    std::string_view bytes_;
    std::size_t window_;
    std::size_t position_ = 0;
};

class MemoryOStream : public ByteOStream, public AlwaysReady {
public:
    // Keeps what is written in `written` unless `keep` is false (then it only counts).
    explicit MemoryOStream(bool keep = true, std::size_t window = 131072) : keep_(keep), buffer_(window) {}
    std::string name() const override { return "memory"; }
    std::size_t getWriteBuffer(unsigned char** data) override
    {
        *data = buffer_.data();
        return buffer_.size();
    }
    void writeCommit(std::size_t n) override
    {
        if (keep_)
            written.append(reinterpret_cast<const char*>(buffer_.data()), n);
        count += n;
    }
    void refresh() override {}
    void checkWritable() override {}
    void close() override {}

    std::string written;
    std::size_t count = 0;

private:
    bool keep_;
    std::vector<unsigned char> buffer_;
};

} // namespace io
