#pragma once
// The worker's only channel to the outside: BER messages to its parent on the standard
// output and from it on the standard input, one complete message at a time. Requests that
// expect a reply travel wrapped in a MessageExchangeRequest and their replies arrive wrapped
// in a MessageExchangeResponse; the link unwraps them. A write also notices when the parent
// has closed the worker's standard input, which means the parent has gone away.
//
// Everything runs on the calling thread: each wait runs the selector loop, in which the
// completions of the overlapped pipe operations arrive.
#include "common/error.h"
#include "io/byte_stream.h"
#include "proto/protocol_factory.h"
#include "protocol/ber_reader.h"
#include "protocol/ber_value.h"
#include "protocol/ber_writer.h"

#include <functional>
#include <memory>
#include <vector>

// A message channel over a pair of byte streams. The streams, the writer and the reader are
// made when first needed and destroyed with the link, in the reverse order of their making
// (so the writer and the reader always go before their streams).
class ParentLink {
public:
    using MakeInput = std::function<std::unique_ptr<io::ByteIStream>()>;
    using MakeOutput = std::function<std::unique_ptr<io::ByteOStream>()>;

    ParentLink(MakeInput makeInput, MakeOutput makeOutput);
    ~ParentLink();
    ParentLink(const ParentLink&) = delete;
    ParentLink& operator=(const ParentLink&) = delete;

    // Writes one message and returns once all of it has been handed to the pipe. Then,
    // unless the parent is known to be gone, looks at the input without consuming anything:
    // when it has ended, the parent is gone and io::EEndOfStream is thrown with
    // " during parent_write" appended to its context. A failure of the output is thrown as
    // io::EInputOutput.
    void write(const protocol::BerValue& message);
    // Writes a copy of `message` wrapped in a MessageExchangeRequest with exchange number 0.
    void request(const protocol::BerConstructed& message);
    // Waits for the next complete message; a MessageExchangeResponse gives its response,
    // anything else comes as it is. The end of the input is io::EEndOfStream, a malformed
    // message io::EInputOutput with the decoder's text.
    std::unique_ptr<protocol::BerConstructed> read();

    // A write found that the input has ended; later writes no longer look at the input.
    bool parentGone() const { return parentGone_; }

private:
    io::ByteIStream& input();
    io::ByteOStream& output();
    protocol::BerWriter& writer();
    protocol::BerReader& reader();
    // Takes ownership of a newly made object, after those made before it.
    template <class T>
    T* keep(std::unique_ptr<T> made);

    MakeInput makeInput_;
    MakeOutput makeOutput_;
    proto::Protocol factory_;
    io::ByteIStream* input_ = nullptr;
    io::ByteOStream* output_ = nullptr;
    protocol::BerWriter* writer_ = nullptr;
    protocol::BerReader* reader_ = nullptr;
    std::vector<std::unique_ptr<io::Selectable>> made_; // in the order of making
    bool parentGone_ = false;
};

// The link over the worker's own standard input and output, as its parent starts it.
std::unique_ptr<ParentLink> makeStandardParentLink();

// One typed exchange with the parent: sends `request` wrapped, reads the reply and holds it
// as a Reply. A reply of another type throws error::EFatal "Bad reply in pfreply_t".
template <class Reply>
class pfreply_t {
public:
    pfreply_t(ParentLink& link, const protocol::BerConstructed& request)
    {
        link.request(request);
        std::unique_ptr<protocol::BerConstructed> reply = link.read();
        Reply* typed = dynamic_cast<Reply*>(reply.get());
        if (typed == nullptr)
            throw error::EFatal("Bad reply in pfreply_t");
        reply.release();
        reply_.reset(typed);
    }

    Reply& operator*() const { return *reply_; }
    Reply* operator->() const { return reply_.get(); }
    Reply* get() const { return reply_.get(); }

private:
    std::unique_ptr<Reply> reply_;
};
