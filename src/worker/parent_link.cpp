#include "worker/parent_link.h"

#include "io/pipe_stream.h"
#include "io/selector.h"
#include "proto/messages.h"

#include <utility>

ParentLink::ParentLink(MakeInput makeInput, MakeOutput makeOutput)
    : makeInput_(std::move(makeInput)), makeOutput_(std::move(makeOutput))
{
}

ParentLink::~ParentLink()
{
    while (!made_.empty())
        made_.pop_back();
}

template <class T>
T* ParentLink::keep(std::unique_ptr<T> made)
{
    T* kept = made.get();
    made_.push_back(std::move(made));
    return kept;
}

io::ByteIStream& ParentLink::input()
{
    if (input_ == nullptr)
        input_ = keep(makeInput_());
    return *input_;
}

io::ByteOStream& ParentLink::output()
{
    if (output_ == nullptr)
        output_ = keep(makeOutput_());
    return *output_;
}

protocol::BerWriter& ParentLink::writer()
{
    if (writer_ == nullptr) {
        io::ByteOStream& stream = output();
        writer_ = keep(std::make_unique<protocol::BerWriter>(stream));
    }
    return *writer_;
}

protocol::BerReader& ParentLink::reader()
{
    if (reader_ == nullptr) {
        io::ByteIStream& stream = input();
        reader_ = keep(std::make_unique<protocol::BerReader>(factory_, stream));
    }
    return *reader_;
}

void ParentLink::write(const protocol::BerValue& message)
{
    protocol::BerWriter& out = writer();
    out.write(message);
    out.sendFiller();
    io::waitReady(out);
    out.checkFailed();
    if (parentGone_)
        return;

    // Only the end of the input matters here: bytes that are waiting stay for read.
    io::ByteIStream& in = input();
    try {
        const unsigned char* data = nullptr;
        in.read(&data);
        in.readCommit(0);
    } catch (const io::ENotReady&) {
        // Nothing from the parent yet: the usual case.
    } catch (io::EEndOfStream& e) {
        parentGone_ = true;
        e.context += " during parent_write";
        throw;
    }
}

void ParentLink::request(const protocol::BerConstructed& message)
{
    proto::MessageExchangeRequest wrapper;
    wrapper.exchangeNumber = 0;
    wrapper.request.reset(proto::checked_cast<protocol::BerConstructed>(message.clone()));
    write(wrapper);
}

std::unique_ptr<protocol::BerConstructed> ParentLink::read()
{
    protocol::BerReader& in = reader();
    std::unique_ptr<protocol::BerConstructed> message;
    while (message == nullptr) {
        io::waitReady(in);
        message = in.read();
    }
    if (message->tag(false) != proto::MessageExchangeResponse::wireTag(false))
        return message;
    auto* wrapper = proto::checked_cast<proto::MessageExchangeResponse>(message.get());
    // The reader refuses a wrapper without its response, so one is always there. It is
    // taken out rather than cloned: the same value, without duplicating a chunk's data.
    return std::unique_ptr<protocol::BerConstructed>(wrapper->response.release());
}

// ---------------------------------------------------------------------------------------

std::unique_ptr<ParentLink> makeStandardParentLink()
{
    return std::make_unique<ParentLink>([] { return std::make_unique<io::StdInStream>(); },
                                        [] { return std::make_unique<io::StdOutStream>(); });
}
