#pragma once
// Reads one line of a JSON-lines transcript into a value the tests can look into. Enough
// JSON for the transcript: objects, arrays, strings with escapes, integers, true, false,
// null. A line that is not JSON throws std::runtime_error.
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace e2e {

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
    bool boolean = false;
    std::int64_t number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool has(const std::string& key) const { return members.count(key) != 0; }
    // The member `key`; a missing one is null.
    const Json& operator[](const std::string& key) const
    {
        static const Json null;
        auto found = members.find(key);
        return found == members.end() ? null : found->second;
    }
    bool isNull() const { return kind == Kind::Null; }
};

class JsonParser {
public:
    static Json parse(const std::string& line)
    {
        JsonParser parser(line);
        Json value = parser.value();
        parser.skipBlanks();
        if (parser.at_ != line.size())
            parser.fail("text after the value");
        return value;
    }

private:
    explicit JsonParser(const std::string& text) : text_(text) {}

    [[noreturn]] void fail(const std::string& why) const
    {
        throw std::runtime_error("bad JSON at " + std::to_string(at_) + " (" + why + "): " + text_);
    }
    void skipBlanks()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r'))
            ++at_;
    }
    char peek()
    {
        skipBlanks();
        if (at_ >= text_.size())
            fail("unexpected end");
        return text_[at_];
    }
    void expect(char c)
    {
        if (peek() != c)
            fail(std::string("expected ") + c);
        ++at_;
    }
    bool literal(const char* word)
    {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0)
            return false;
        at_ += w.size();
        return true;
    }

    Json value()
    {
        Json v;
        const char c = peek();
        if (c == '{') {
            v.kind = Json::Kind::Object;
            ++at_;
            if (peek() == '}') {
                ++at_;
                return v;
            }
            for (;;) {
                std::string key = string();
                expect(':');
                v.members[key] = value();
                if (peek() == ',') {
                    ++at_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Kind::Array;
            ++at_;
            if (peek() == ']') {
                ++at_;
                return v;
            }
            for (;;) {
                v.items.push_back(value());
                if (peek() == ',') {
                    ++at_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::Kind::String;
            v.text = string();
            return v;
        }
        if (literal("null"))
            return v;
        if (literal("true") || literal("false")) {
            v.kind = Json::Kind::Bool;
            v.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
            return v;
        }
        std::size_t used = 0;
        try {
            v.number = std::stoll(text_.substr(at_), &used);
        } catch (const std::exception&) {
            fail("not a value");
        }
        v.kind = Json::Kind::Number;
        at_ += used;
        return v;
    }

    std::string string()
    {
        expect('"');
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size())
                fail("cut escape");
            c = text_[at_++];
            switch (c) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (at_ + 4 > text_.size())
                    fail("cut \\u");
                const unsigned code = static_cast<unsigned>(std::stoul(text_.substr(at_, 4), nullptr, 16));
                at_ += 4;
                if (code > 0xFF)
                    fail("only \\u00XX is written by the host");
                out += static_cast<char>(code);
                break;
            }
            default: out += c;
            }
        }
        expect('"');
        return out;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

} // namespace e2e
