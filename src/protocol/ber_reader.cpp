#include "protocol/ber_reader.h"

#include "common/assertion.h"

namespace protocol {

BerReader::BerReader(BerProtocol& factory, io::ByteIStream& stream) : stream_(stream), decoder_(factory, false)
{
    setUnderlying(&stream_, true);
}

void BerReader::underlyingIsReady()
{
    if (windowPos_ != windowEnd_)
        assertion("Non-empty buffer at entry to BerReader::underlyingIsReady()");
    try {
        windowEnd_ = stream_.read(&window_);
        windowPos_ = 0;
        if (windowEnd_ == 0) {
            settle(); // nothing lent: keep waiting
            return;
        }
        processInput();
        if (windowPos_ != windowEnd_ && !decoder_.hasMessage())
            assertion("BerReader underlyingIsReady invariant");
        settle();
    } catch (const io::ENotReady&) {
        // Woken without data: not a failure, wait for the stream again.
        windowPos_ = windowEnd_ = 0;
        settle();
    } catch (const io::EEndOfStream&) {
        endOfStream_ = true;
        stop();
    } catch (const error::Exception& e) {
        failed_ = true;
        failure_ = e.fullText();
        stop();
    }
}

std::unique_ptr<BerConstructed> BerReader::read()
{
    if (endOfStream_)
        throw io::EEndOfStream("End of BER stream");
    if (failed_)
        throw io::EInputOutput(failure_);
    if (!decoder_.hasMessage())
        return nullptr;
    std::unique_ptr<BerConstructed> message = decoder_.take(&lastMessageSize_);
    if (windowPos_ != windowEnd_) {
        try {
            processInput();
        } catch (const error::Exception& e) {
            // The taken message is whole; the failure surfaces at the next read.
            failed_ = true;
            failure_ = e.fullText();
            stop();
            return message;
        }
        if (windowPos_ != windowEnd_ && !decoder_.hasMessage())
            assertion("BerReader read invariant");
    }
    settle();
    return message;
}

void BerReader::processInput()
{
    if (windowPos_ == windowEnd_)
        assertion("BerReader::processInput invoked without input");
    windowPos_ += decoder_.process(window_ + windowPos_, windowEnd_ - windowPos_);
    if (windowPos_ == windowEnd_) {
        const std::size_t used = windowEnd_;
        window_ = nullptr;
        windowPos_ = windowEnd_ = 0;
        stream_.readCommit(used);
    }
}

void BerReader::settle()
{
    const bool complete = decoder_.hasMessage();
    setUnderlying(&stream_, !complete);
    setReady(complete);
}

void BerReader::stop()
{
    window_ = nullptr;
    windowPos_ = windowEnd_ = 0;
    setUnderlying(&stream_, false);
    setReady(true);
}

} // namespace protocol
