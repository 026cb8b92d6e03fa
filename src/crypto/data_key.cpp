#include "crypto/data_key.h"

#include "common/error.h"

DataKey::DataKey(const std::string& keyBytes) : key_{2, BigNum::fromBytesLE(keyBytes)}
{
    schedule_.emplace();
    try {
        makeKey(*schedule_, kAesDecrypt, key_);
    } catch (const error::Exception&) {
        schedule_.reset();
    }
}

void DataKey::decrypt(std::string& out, const unsigned char* in, std::size_t length) const
{
    if (schedule_)
        decryptBuffer(out, in, length, *schedule_);
    else
        decryptBuffer(out, in, length, key_);
}
