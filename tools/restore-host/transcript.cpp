#include "transcript.h"

#include "crypto/md5.h"
#include "proto/transcribed.h"

#include <cstdio>
#include <stdexcept>

namespace host {
namespace {

// The length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one.
std::size_t utf8SequenceLength(const std::string& text, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string hexEscape(unsigned char byte)
{
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
    return buffer;
}

std::string member(const char* name, const std::string& jsonValue)
{
    return std::string(",\"") + name + "\":" + jsonValue;
}
std::string member(const char* name, std::uint64_t value)
{
    return member(name, std::to_string(value));
}

std::string withClass(const char* name, const std::string& members = "")
{
    return std::string("{\"class\":\"") + name + "\"" + members + "}";
}

std::string dataDescription(const std::string& data)
{
    crypto::MD5Hash md5;
    md5.update(data.size(), data.data());
    return "{\"length\":" + std::to_string(data.size()) + ",\"md5\":\"" + md5.hexDigest() + "\"}";
}

// The fields of a message as JSON members, each with its leading comma.
struct JsonMembers : proto::FieldVisitor {
    void signedNumber(const char* name, std::int64_t value) override { json += member(name, std::to_string(value)); }
    void unsignedNumber(const char* name, std::uint64_t value) override { json += member(name, value); }
    void text(const char* name, const std::string& value) override { json += member(name, jsonString(value)); }
    void bytes(const char* name, const std::string& value) override { json += member(name, dataDescription(value)); }
    void message(const char* name, const protocol::BerValue& value) override
    {
        json += member(name, describeMessage(value));
    }
    void absent(const char* name) override { json += member(name, std::string("null")); }

    std::string json;
};

} // namespace

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20)
            out += hexEscape(c);
        else if (c >= 0x80) {
            std::size_t length = utf8SequenceLength(text, i);
            if (length == 0) {
                out += hexEscape(c);
                ++i;
                continue;
            }
            out.append(text, i, length);
            i += length;
            continue;
        } else
            out += static_cast<char>(c);
        ++i;
    }
    return out + "\"";
}

std::string describeMessage(const protocol::BerValue& message)
{
    JsonMembers members;
    if (const char* name = proto::visitTranscribed(message, members))
        return withClass(name, members.json);
    return withClass("Other", member("tag", message.tag(false)));
}

std::string describeBytes(const std::string& bytes)
{
    return withClass("RawBytes", member("data", dataDescription(bytes)));
}

Transcript::Transcript(const std::string& path)
{
    if (path.empty())
        return;
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_)
        throw std::runtime_error("cannot write the transcript " + path);
    open_ = true;
}

void Transcript::message(const char* from, const protocol::BerValue& message)
{
    if (!open_)
        return;
    std::string object = describeMessage(message);
    line("{\"from\":\"" + std::string(from) + "\"," + object.substr(1));
}

void Transcript::rawBytes(const char* from, const std::string& bytes)
{
    if (!open_)
        return;
    line("{\"from\":\"" + std::string(from) + "\"," + describeBytes(bytes).substr(1));
}

void Transcript::event(const std::string& name, const std::string& fields)
{
    if (!open_)
        return;
    line("{\"event\":" + jsonString(name) + (fields.empty() ? "" : "," + fields) + "}");
}

void Transcript::line(const std::string& json)
{
    out_ << json << '\n';
    out_.flush();
}

} // namespace host
