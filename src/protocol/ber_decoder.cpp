#include "protocol/ber_decoder.h"

#include "common/assertion.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

namespace protocol {

namespace {

enum class Step {
    Identifier,    // state 0
    TagNumber,     // state 1
    FirstLength,   // state 2
    EndOfContents, // state 3
    LongLength,    // state 4
    Contents,      // state 5
};

struct OpenValue {
    BerConstructed* value;
    std::uint32_t fieldsBegun;
    std::uint64_t consumed; // content bytes read so far, nested values included
    std::uint32_t length;
    bool definite;
    // The message position (see State::running) that the value's content must not pass:
    // its own end when its length is definite, else the end of the nearest definite
    // value around it.
    std::uint64_t end;
};

constexpr std::uint64_t kNoEnd = UINT64_MAX;

} // namespace

struct BerDecoder::State {
    State(BerProtocol& factory, bool legacy) : factory(factory), legacy(legacy) {}
    ~State() { releaseAll(); }

    BerProtocol& factory;
    const bool legacy;

    Step step = Step::Identifier;
    // The bottom value belongs to the decoder; the others to their parents, except the
    // transient ones, which the decoder deletes when they close.
    std::vector<OpenValue> stack;
    // The primitive being filled; the decoder deletes it unless its owns flag is set.
    BerPrimitive* primitive = nullptr;
    std::uint32_t tag = 0;
    std::uint32_t length = 0;
    std::uint32_t lengthOctets = 0;
    std::uint32_t lengthReceived = 0;
    unsigned char lengthBuffer[4] = {};
    std::uint32_t contentReceived = 0;

    std::unique_ptr<BerConstructed> finished;
    std::uint64_t finishedSize = 0;
    std::uint64_t running = 0;

    bool failed = false;
    std::string failure;

    std::size_t process(const unsigned char* data, std::size_t count);
    void consumeByte(unsigned char b);
    // Counts bytes read inside the innermost open value. Bytes past its end (a header
    // that does not fit, the end of contents of an inner value) fail at once: otherwise
    // the value would never complete and the reader would wait for ever.
    void countBytes(std::uint64_t n)
    {
        running += n;
        if (stack.empty())
            return;
        stack.back().consumed += n;
        if (running > stack.back().end)
            throw EBer("Value runs past the end of its definite-length parent");
    }
    void beginValue(bool definite);
    void finishPrimitive();
    // `doubleResult` names the caller in the assertion for a second finished message.
    void closeInnermost(const char* doubleResult);
    void checkEndOfList();
    // Drops a value that was just handed out by the factory or a parent but is not taken
    // up by the decoder, following the same ownership rules as when it completes.
    void discardNew(BerValue* value, bool topLevel);
    void releaseAll();
};

void BerDecoder::State::releaseAll()
{
    if (primitive != nullptr && !primitive->owns)
        delete primitive;
    primitive = nullptr;
    // Innermost first: a transient view may refer into the values below it.
    while (!stack.empty()) {
        BerConstructed* value = stack.back().value;
        stack.pop_back();
        if (stack.empty() || value->isTransient())
            delete value;
    }
}

void BerDecoder::State::discardNew(BerValue* value, bool topLevel)
{
    if (topLevel) {
        delete value;
    } else if (auto* constructed = dynamic_cast<BerConstructed*>(value)) {
        if (constructed->isTransient())
            delete constructed;
    } else if (!value->owns) {
        delete value;
    }
}

std::size_t BerDecoder::State::process(const unsigned char* data, std::size_t count)
{
    std::size_t used = 0;
    while (used < count && !finished) {
        if (step == Step::Contents) {
            const std::size_t available = count - used;
            const std::uint32_t wanted = length - contentReceived;
            const auto take = static_cast<std::uint32_t>(std::min<std::size_t>(wanted, available));
            primitive->append(data + used, take);
            used += take;
            contentReceived += take;
            countBytes(take);
            if (contentReceived == length)
                finishPrimitive();
            continue;
        }
        const unsigned char b = data[used++];
        countBytes(1);
        consumeByte(b);
    }
    return used;
}

void BerDecoder::State::consumeByte(unsigned char b)
{
    switch (step) {
    case Step::Identifier:
        if ((b & 0x1F) != 0x1F) {
            tag = (b & 0x1Fu) * 8 + (b >> 5);
            if (tag == BE_END_OF_CONTENTS) {
                if (!stack.empty())
                    step = Step::EndOfContents;
            } else if (tag != BE_FILLER) {
                step = Step::FirstLength;
            }
        } else {
            tag = b >> 5;
            step = Step::TagNumber;
        }
        return;

    case Step::TagNumber:
        // Overlong numbers wrap around; the factory or the parent then refuses the tag.
        tag = ((((tag & ~7u) << 4) | (b & 0x7Fu)) * 8) | (tag & 7u);
        if ((b & 0x80) == 0)
            step = Step::FirstLength;
        return;

    case Step::FirstLength:
        if (b < 0x80) {
            length = b;
            beginValue(true);
        } else if (b == 0x80) {
            length = 0;
            beginValue(false);
        } else {
            lengthOctets = b & 0x7Fu;
            if (lengthOctets > 4)
                throw EBer("Length field too long");
            lengthReceived = 0;
            step = Step::LongLength;
        }
        return;

    case Step::LongLength:
        if (lengthReceived >= 4)
            throw EBer("ExtLength field too long");
        lengthBuffer[lengthReceived++] = b;
        if (lengthReceived == lengthOctets) {
            length = 0;
            for (std::uint32_t i = 0; i < lengthReceived; ++i)
                length = (length << 8) | lengthBuffer[i];
            beginValue(true);
        }
        return;

    case Step::EndOfContents:
        if (b != 0)
            throw EBer("Length field nonzero after zero tag " + std::to_string(b));
        if (primitive != nullptr)
            assertion("Primitive object on top of stack");
        if (stack.empty())
            assertion("Stack empty");
        closeInnermost("Double result in fetchPacket");
        // The closed value may complete a definite-length parent.
        checkEndOfList();
        step = Step::Identifier;
        return;

    case Step::Contents: break;
    }
    assertion("BerDecoder::consumeByte in the contents state");
}

void BerDecoder::State::beginValue(bool definite)
{
    const bool topLevel = stack.empty();
    const std::uint64_t limit = topLevel ? kNoEnd : stack.back().end;
    if (definite && length > limit - running)
        throw EBer("Length " + std::to_string(length) + " of tag " + std::to_string(tag) +
                   " overruns its definite-length parent");
    BerValue* value = nullptr;
    if (topLevel) {
        value = factory.create(tag, legacy);
    } else {
        OpenValue& parent = stack.back();
        const std::uint32_t position = parent.fieldsBegun++;
        value = parent.value->child(position, tag, 0, legacy);
    }
    if (value == nullptr)
        throw EBer("Value neither BerPrimitive nor BerConstructed");

    // The factory and child() have checked the tag already; a value that disagrees is a
    // fault of those classes, reported like bad input so that no message ends the process.
    const std::uint32_t expected = value->tag(legacy);
    if (expected != tag) {
        std::string where = " at top level";
        if (!topLevel) {
            const BerConstructed& parent = *stack.back().value;
            where = std::string(" child of ") + typeid(parent).name();
        }
        discardNew(value, topLevel);
        throw EBer("Internal server error, tag mismatch " + std::to_string(expected) + " != " + std::to_string(tag) +
                   where);
    }

    if (auto* constructed = dynamic_cast<BerConstructed*>(value)) {
        if (stack.size() >= kMaxDepth) {
            discardNew(value, topLevel);
            throw EBer("Constructed values nested deeper than " + std::to_string(kMaxDepth));
        }
        stack.push_back(OpenValue{constructed, 0, 0, length, definite, definite ? running + length : limit});
        checkEndOfList(); // an empty definite-length value is complete already
        step = Step::Identifier;
        return;
    }

    auto* prim = dynamic_cast<BerPrimitive*>(value);
    if (prim == nullptr) {
        discardNew(value, topLevel);
        throw EBer("Value neither BerPrimitive nor BerConstructed");
    }
    primitive = prim;
    if (!definite)
        throw EBer("Indefinite length on tag " + std::to_string(tag));
    primitive->setLength(length);
    contentReceived = 0;
    if (length == 0)
        finishPrimitive();
    else
        step = Step::Contents;
}

void BerDecoder::State::finishPrimitive()
{
    primitive->readDone();
    if (!primitive->owns)
        delete primitive;
    primitive = nullptr;
    step = Step::Identifier;
    checkEndOfList();
}

void BerDecoder::State::closeInnermost(const char* doubleResult)
{
    OpenValue closing = stack.back();
    if (closing.fieldsBegun < closing.value->minFields())
        throw EBer("Got to few fields of constructed value");
    closing.value->readDone();
    if (stack.size() == 1) {
        if (finished)
            assertion(doubleResult);
        stack.pop_back();
        finished.reset(closing.value);
        finishedSize = running;
        running = 0;
        return;
    }
    stack.pop_back();
    if (closing.value->isTransient())
        delete closing.value;
    stack.back().consumed += closing.consumed;
}

void BerDecoder::State::checkEndOfList()
{
    while (!stack.empty() && stack.back().definite && stack.back().consumed == stack.back().length)
        closeInnermost("Double result in checkEndOfList");
}

// ---------------------------------------------------------------------------------------

BerDecoder::BerDecoder(BerProtocol& factory, bool legacy) : state_(std::make_unique<State>(factory, legacy))
{
}

BerDecoder::~BerDecoder() = default;

std::size_t BerDecoder::process(const unsigned char* data, std::size_t count)
{
    State& s = *state_;
    if (s.failed)
        throw EBer(s.failure);
    try {
        return s.process(data, count);
    } catch (const error::Exception& e) {
        s.failed = true;
        s.failure = e.reason();
        s.releaseAll();
        throw;
    } catch (...) {
        s.failed = true;
        s.failure = "BER decoding failed";
        s.releaseAll();
        throw;
    }
}

bool BerDecoder::hasMessage() const
{
    return state_->finished != nullptr;
}

std::unique_ptr<BerConstructed> BerDecoder::take(std::uint64_t* size)
{
    State& s = *state_;
    if (size != nullptr)
        *size = s.finished ? s.finishedSize : 0;
    return std::move(s.finished);
}

} // namespace protocol
