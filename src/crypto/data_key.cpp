#include "crypto/data_key.h"

#include "common/error.h"

#include <optional>

namespace {

struct DataKey {
    AesKey key{2, BigNum()};
    // Empty when the key cannot make one: every decryption then says why.
    std::optional<AesKeyInstance> schedule;
};

DataKey& theKey()
{
    static DataKey key;
    return key;
}

} // namespace

const AesKey& dataKey()
{
    return theKey().key;
}

void setDataKey(const std::string& keyBytes)
{
    DataKey& data = theKey();
    data.key = AesKey{2, BigNum::fromBytesLE(keyBytes)};
    data.schedule.emplace();
    try {
        makeKey(*data.schedule, kAesDecrypt, data.key);
    } catch (const error::Exception&) {
        data.schedule.reset();
    }
}

void decryptWithDataKey(std::string& out, const unsigned char* in, std::size_t length)
{
    const DataKey& data = theKey();
    if (data.schedule)
        decryptBuffer(out, in, length, *data.schedule);
    else
        decryptBuffer(out, in, length, data.key);
}
