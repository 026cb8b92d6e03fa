#include "io/pipe_stream.h"

#include "common/assertion.h"
#include "common/error.h"

#include <utility>

namespace io {

namespace {
// Completion codes that mean success: none, and "completion routines ran".
bool isSuccess(DWORD code)
{
    return code == 0 || code == WAIT_IO_COMPLETION;
}
} // namespace

void StreamBase::attach(HANDLE handle, bool ownsHandle)
{
    handle_ = handle;
    ownsHandle_ = ownsHandle;
    if (ownsHandle)
        owned_.reset(handle);
    overlapped_.hEvent = nullptr;
}

void StreamBase::completionArrived()
{
    if (--callbacks_ < 0)
        assertion("Negative number of callbacks associated with StreamBase " + name_);
}

void FileStreamBase::shutdown()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        if (ownsHandle_) {
            owned_.reset();
            handle_ = INVALID_HANDLE_VALUE;
        } else if (callbacks_ > 0) {
            sys::calls.CancelIo(handle_);
        }
    }
    // The buffer and the OVERLAPPED must outlive every issued operation.
    while (callbacks_ > 0)
        sys::calls.SleepEx(INFINITE, TRUE);
}

// ---------------------------------------------------------------------------------------

bool IStream::isReady() const
{
    if (!valid_)
        return true;
    return readPos_ != fillEnd_ || eof_;
}

void IStream::received(std::size_t n)
{
    fillEnd_ += n;
    if (fillEnd_ > kPipeBufferSize)
        assertion("Buffer out of bounds in IStream");
}

PipeIStream::PipeIStream(std::string name, HANDLE handle, bool ownsHandle)
{
    name_ = std::move(name);
    attach(handle, ownsHandle);
    overlapped_.hEvent = static_cast<void*>(this);
    try {
        startRead();
    } catch (...) {
        shutdown(); // no destructor runs: nothing may stay outstanding on this object
        throw;
    }
}

PipeIStream::~PipeIStream()
{
    shutdown();
    leaveAllSelectors();
}

std::size_t PipeIStream::read(const unsigned char** data)
{
    if (!isSuccess(lastError_))
        throw EInputOutput("Unhandled error set by fileInCallBack in " + name_ + ": " +
                           error::systemErrorText(lastError_));
    if (eof_)
        throw EEndOfStream("EOS on PipeIStream read");
    if (readPos_ == fillEnd_)
        throw ENotReady(this);
    *data = buffer_.get() + readPos_;
    return fillEnd_ - readPos_;
}

void PipeIStream::readCommit(std::size_t n)
{
    readPos_ += n;
    if (readPos_ > fillEnd_)
        assertion("Commit past the received bytes in PipeIStream " + name_);
    if (readPos_ != fillEnd_) {
        notifyReady();
        return;
    }
    // The offset means nothing to a pipe; it keeps counting for a file.
    ULARGE_INTEGER offset;
    offset.LowPart = overlapped_.Offset;
    offset.HighPart = overlapped_.OffsetHigh;
    offset.QuadPart += fillEnd_;
    overlapped_.Offset = offset.LowPart;
    overlapped_.OffsetHigh = offset.HighPart;
    readPos_ = fillEnd_ = 0;
    startRead();
}

DWORD PipeIStream::issueRead()
{
    sys::calls.SetLastError(0);
    if (sys::calls.ReadFileEx(handle_, buffer_.get(), static_cast<DWORD>(kPipeBufferSize), &overlapped_, readCompleted))
        ++callbacks_;
    DWORD code = error::lastErrorCode();
    if (code == ERROR_IO_PENDING || code == ERROR_PIPE_CONNECTED)
        return 0;
    return code;
}

void PipeIStream::startRead()
{
    DWORD code = issueRead();
    if (code == 0)
        return;
    if (code == ERROR_BROKEN_PIPE) {
        eof_ = true;
        notifyReady();
        return;
    }
    throw EInputOutput("Unknown error after ReadFileEx() in " + name_ + ": " + error::systemErrorText(code));
}

void CALLBACK PipeIStream::readCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped)
{
    auto* stream = static_cast<PipeIStream*>(overlapped->hEvent);
    stream->completionArrived();
    stream->lastError_ = error;
    if (isSuccess(error)) {
        stream->received(bytes);
        if (bytes == 0) {
            // An empty write of the peer: nothing to lend, so read again at once (no
            // exception may leave a completion routine; a failure is kept like any other).
            DWORD code = stream->issueRead();
            if (code == ERROR_BROKEN_PIPE) {
                stream->eof_ = true;
            } else if (code != 0) {
                stream->valid_ = false;
                stream->lastError_ = code;
            }
        }
    } else if (error == ERROR_BROKEN_PIPE) {
        stream->valid_ = false;
        stream->eof_ = true;
        stream->lastError_ = 0;
    } else {
        stream->valid_ = false;
    }
    stream->notifyReady();
}

// ---------------------------------------------------------------------------------------

bool OStream::isReady() const
{
    if (!valid_)
        return true;
    return sentPos_ == fillEnd_;
}

void OStream::checkWritable()
{
    if (!isSuccess(lastError_))
        throw EInputOutput("Unhandled error writing to pipe " + name_ + ": " + error::systemErrorText(lastError_));
    if (!valid_ || handle_ == INVALID_HANDLE_VALUE)
        throw EInputOutput("Trying write on non valid or closed pipe");
}

void OStream::refresh()
{
    checkWritable();
    notifyReady();
}

PipeOStream::PipeOStream(std::string name, HANDLE handle, bool ownsHandle)
{
    name_ = std::move(name);
    attach(handle, ownsHandle);
    overlapped_.hEvent = static_cast<void*>(this);
}

PipeOStream::~PipeOStream()
{
    shutdown();
    leaveAllSelectors();
}

std::size_t PipeOStream::getWriteBuffer(unsigned char** data)
{
    checkWritable();
    if (sentPos_ != fillEnd_)
        throw ENotReady(this);
    sentPos_ = fillEnd_ = 0;
    *data = buffer_.get();
    return kPipeBufferSize;
}

void PipeOStream::writeCommit(std::size_t n)
{
    fillEnd_ += n;
    if (fillEnd_ > kPipeBufferSize)
        assertion("Buffer out of bounds in PipeOStream::writeCommit");
    if (sentPos_ == fillEnd_) {
        notifyReady();
        return;
    }
    if (!sys::calls.WriteFileEx(handle_, buffer_.get() + sentPos_, static_cast<DWORD>(fillEnd_ - sentPos_),
                                &overlapped_, writeCompleted))
        throw EInputOutput("Unable to write data to: " + name_ + " : " + error::lastErrorText());
    ++callbacks_;
}

void PipeOStream::close()
{
    if (handle_ == INVALID_HANDLE_VALUE)
        assertion("PipeOStream already closed");
    leaveAllSelectors();
    shutdown();
    // A borrowed handle stays open, but this stream writes to it no more.
    handle_ = INVALID_HANDLE_VALUE;
}

void CALLBACK PipeOStream::writeCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped)
{
    auto* stream = static_cast<PipeOStream*>(overlapped->hEvent);
    stream->completionArrived();
    stream->lastError_ = error;
    if (isSuccess(error)) {
        stream->sentPos_ += bytes;
        if (stream->sentPos_ > kPipeBufferSize)
            assertion("Buffer out of bounds in OStream");
        if (stream->sentPos_ != stream->fillEnd_)
            assertion("Incomplete write in OStream");
    } else {
        stream->valid_ = false;
    }
    stream->notifyReady();
}

// ---------------------------------------------------------------------------------------

StdInStream::StdInStream() : PipeIStream("stdin", sys::calls.GetStdHandle(STD_INPUT_HANDLE), false)
{
}

StdOutStream::StdOutStream() : PipeOStream("stdout", sys::calls.GetStdHandle(STD_OUTPUT_HANDLE), false)
{
}

} // namespace io
