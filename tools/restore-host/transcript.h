#pragma once
// The transcript of a restore: one JSON object per line, one line per message in either
// direction with its class and decoded fields (chunk data as its length and MD5, never its
// bytes), and the events of the host (faults it injected, the worker's exit).
#include "protocol/ber_value.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace host {

// `text` as a JSON string literal, quotes included. Bytes that are not valid UTF-8 are
// written as \u00XX of the byte, so a line stays valid JSON whatever the worker sent.
std::string jsonString(const std::string& text);

// The JSON object describing `message`: {"class":"...", fields...}. The messages of the restore
// conversation show their fields (those transcribed in protocol.desc); any other message
// shows its class and wire tag.
std::string describeMessage(const protocol::BerValue& message);

// The JSON object of raw bytes sent as they stand: their length and MD5.
std::string describeBytes(const std::string& bytes);

class Transcript {
public:
    // An empty path keeps no transcript.
    explicit Transcript(const std::string& path);

    void message(const char* from, const protocol::BerValue& message);
    void rawBytes(const char* from, const std::string& bytes);
    // {"event":name, extra fields...}; `fields` is empty or a JSON member list without braces.
    void event(const std::string& name, const std::string& fields = "");

private:
    void line(const std::string& json);
    std::ofstream out_;
    bool open_ = false;
};

} // namespace host
