#pragma once
// Pipe streams: overlapped reads and writes with ReadFileEx / WriteFileEx whose completion
// routines run inside the selectors' alertable wait and mark the stream ready. Each stream
// owns one 128 KiB buffer and has at most one operation outstanding. The handle must be
// open for overlapped I/O (the worker's standard handles are overlapped named pipes).
#include "io/byte_stream.h"
#include "sys/handle.h"
#include "sys/syscalls.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace io {

constexpr std::size_t kPipeBufferSize = 0x20000;

// What every stream over a Windows handle shares.
class StreamBase : public virtual Selectable {
public:
    std::string name() const override { return name_; }

    HANDLE handle() const { return handle_; }
    bool valid() const { return valid_; }
    // Operations issued whose completion routine has not run yet.
    std::int32_t callbacks() const { return callbacks_; }
    // The error code the last completion routine reported; 0 when none.
    DWORD lastError() const { return lastError_; }

protected:
    StreamBase() = default;
    // Adopts `handle`; with `ownsHandle` the stream closes it when it shuts down.
    void attach(HANDLE handle, bool ownsHandle);
    // Accounts for a completion routine that ran; finds nothing wrong or ends the process.
    void completionArrived();

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    sys::UniqueHandle owned_; // the handle again when the stream owns it
    bool ownsHandle_ = false;
    bool valid_ = true;
    // The event field carries the stream object for the completion routines.
    OVERLAPPED overlapped_{};
    std::int32_t callbacks_ = 0;
    DWORD lastError_ = 0;
    std::string name_;
};

// The shutdown every file stream does before its buffer and OVERLAPPED go away.
class FileStreamBase : public virtual StreamBase {
protected:
    FileStreamBase() = default;
    // Closes an owned handle (or cancels the I/O on a borrowed one), then sleeps alertably
    // until every outstanding completion routine has run.
    void shutdown();
};

class IStream : public virtual StreamBase, public ByteIStream {
public:
    bool isReady() const override;
    // A completed read put `n` bytes at the fill end.
    virtual void received(std::size_t n);

    bool eof() const { return eof_; }

protected:
    IStream() : buffer_(new unsigned char[kPipeBufferSize]) {}

    bool eof_ = false;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t readPos_ = 0; // offsets from the buffer start
    std::size_t fillEnd_ = 0;
};

class OStream : public virtual StreamBase, public ByteOStream {
public:
    bool isReady() const override;
    void refresh() override;
    void checkWritable() override;

protected:
    OStream() : buffer_(new unsigned char[kPipeBufferSize]) {}

    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t sentPos_ = 0; // offsets from the buffer start
    std::size_t fillEnd_ = 0;
};

class PipeIStream : public IStream, private FileStreamBase {
public:
    // A stream over `handle`, named `name` in messages; the first read starts at once.
    PipeIStream(std::string name, HANDLE handle, bool ownsHandle);
    ~PipeIStream() override;

    std::size_t read(const unsigned char** data) override;
    void readCommit(std::size_t n) override;

private:
    // Issues the next read; throws for a failure other than the end of the pipe.
    void startRead();
    // Issues the next read; returns 0 when it is under way, else the error code of the issue.
    DWORD issueRead();
    static void CALLBACK readCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);
};

class PipeOStream : public OStream, private FileStreamBase {
public:
    // A stream over `handle`, named `name` in messages; nothing is written before the first
    // writeCommit.
    PipeOStream(std::string name, HANDLE handle, bool ownsHandle);
    ~PipeOStream() override;

    std::size_t getWriteBuffer(unsigned char** data) override;
    void writeCommit(std::size_t n) override;
    void close() override;

private:
    static void CALLBACK writeCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped);
};

// The worker's standard input from its parent; the handle is not closed by the stream.
class StdInStream : public PipeIStream {
public:
    StdInStream();
};

// The worker's standard output to its parent; the handle is not closed by the stream.
class StdOutStream : public PipeOStream {
public:
    StdOutStream();
};

} // namespace io
