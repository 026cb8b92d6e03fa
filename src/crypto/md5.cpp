#include "crypto/md5.h"

#include <array>
#include <cmath>
#include <cstring>

namespace crypto {

struct MD5Hash::Context {
    std::uint32_t state[4];
    std::uint64_t bitCount;
    unsigned char block[64];
    unsigned char digest[16]; // kept after finalisation for hexDigest
};

namespace {

// T[i] = floor(|sin(i + 1)| × 2^32). Every product lies at least 0.01 away from an
// integer, far beyond the error of a double sine, so the floor is exact.
const std::array<std::uint32_t, 64>& sineTable()
{
    static const std::array<std::uint32_t, 64> table = [] {
        std::array<std::uint32_t, 64> t{};
        for (int i = 0; i < 64; ++i)
            t[i] =
                static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(static_cast<double>(i + 1))) * 4294967296.0));
        return t;
    }();
    return table;
}

constexpr int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline std::uint32_t rotl(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

void transform(std::uint32_t state[4], const unsigned char* block)
{
    const auto& T = sineTable();
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t{block[4 * i]} | (std::uint32_t{block[4 * i + 1]} << 8) |
               (std::uint32_t{block[4 * i + 2]} << 16) | (std::uint32_t{block[4 * i + 3]} << 24);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        std::uint32_t rotated = b + rotl(a + f + x[k] + T[i], kShifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void start(MD5Hash::Context& ctx)
{
    ctx.state[0] = 0x67452301;
    ctx.state[1] = 0xEFCDAB89;
    ctx.state[2] = 0x98BADCFE;
    ctx.state[3] = 0x10325476;
    ctx.bitCount = 0;
}

void feed(MD5Hash::Context& ctx, const unsigned char* data, std::size_t length)
{
    std::size_t used = static_cast<std::size_t>((ctx.bitCount / 8) % 64);
    ctx.bitCount += static_cast<std::uint64_t>(length) * 8;
    if (used != 0) {
        std::size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(ctx.block + used, data, take);
        data += take;
        length -= take;
        if (used + take < 64)
            return;
        transform(ctx.state, ctx.block);
    }
    for (; length >= 64; data += 64, length -= 64)
        transform(ctx.state, data);
    if (length != 0)
        std::memcpy(ctx.block, data, length);
}

} // namespace

MD5Hash::MD5Hash() : context_(std::make_unique<Context>())
{
    start(*context_);
}

MD5Hash::~MD5Hash() = default;

void MD5Hash::reset()
{
    finalized_ = false;
    hexCache_.clear();
    start(*context_);
}

void MD5Hash::update(std::size_t length, const void* data)
{
    if (finalized_)
        throw EHash("Hash context is finalized");
    if (length != 0)
        feed(*context_, static_cast<const unsigned char*>(data), length);
}

void MD5Hash::update(unsigned char byte)
{
    if (finalized_)
        throw EHash("Hash context is finalized");
    feed(*context_, &byte, 1);
}

void MD5Hash::finalize(unsigned char* digest)
{
    if (finalized_)
        return;
    Context& ctx = *context_;
    std::uint64_t bits = ctx.bitCount;
    unsigned char tail[72] = {0x80};
    std::size_t used = static_cast<std::size_t>((bits / 8) % 64);
    std::size_t padding = used < 56 ? 56 - used : 120 - used;
    for (int i = 0; i < 8; ++i)
        tail[padding + i] = static_cast<unsigned char>(bits >> (8 * i));
    feed(ctx, tail, padding + 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            ctx.digest[4 * i + j] = static_cast<unsigned char>(ctx.state[i] >> (8 * j));
    std::memcpy(digest, ctx.digest, sizeof ctx.digest);
    finalized_ = true;
}

void MD5Hash::updateText(const std::string& text)
{
    if (text.size() == 1)
        update(static_cast<unsigned char>(text[0]));
    else
        update(text.size(), text.data());
}

std::string MD5Hash::hexDigest()
{
    if (hexCache_.empty()) {
        // A digest already taken through finalize() is still held by the context.
        unsigned char digest[16];
        finalize(digest);
        static const char digits[] = "0123456789abcdef";
        for (unsigned char byte : context_->digest) {
            hexCache_ += digits[byte >> 4];
            hexCache_ += digits[byte & 0xF];
        }
    }
    return hexCache_;
}

} // namespace crypto
