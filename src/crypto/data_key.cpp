#include "crypto/data_key.h"

namespace {
AesKey& theKey()
{
    static AesKey key{2, BigNum()};
    return key;
}
} // namespace

const AesKey& dataKey()
{
    return theKey();
}

void setDataKey(const std::string& keyBytes)
{
    theKey() = AesKey{2, BigNum::fromBytesLE(keyBytes)};
}
