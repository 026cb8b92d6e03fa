// Arbitrary configuration text through the store's parser, then its data key with and
// without the length limit. Every input must parse or end in an error::Exception; anything
// else is a finding, and so is a key decoded from a text longer than the limit.
#include "common/error.h"
#include "config/config_store.h"
#include "crypto/data_key.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ConfigStore store("fuzz");
    try {
        store.parse(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const error::Exception&) {
        return 0;
    }
    for (const auto& [name, members] : store.listEntries())
        if (members.empty())
            std::abort(); // a list exists only with its first member
    try {
        const std::string key = store.getString("DataKey", kMaxDataKeyText);
        // 50 base-36 digits make at most 33 bytes.
        if (key.size() > 33)
            std::abort();
        store.getString("DataKey");
    } catch (const error::Exception&) {
    }
    return 0;
}
