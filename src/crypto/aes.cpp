#include "crypto/aes.h"

#include "common/error.h"
#include "common/format.h"
#include "crypto/aes_hardware.h"

#include <array>

namespace {

// ---- Tables, computed by the compiler from the field arithmetic of GF(2^8) ----

constexpr std::uint8_t xtime(std::uint8_t x)
{
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0)
            product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

// Multiplicative inverse as x^254 (0 maps to 0).
constexpr std::uint8_t ginverse(std::uint8_t x)
{
    std::uint8_t result = 1;
    std::uint8_t base = x;
    for (unsigned e = 254; e != 0; e >>= 1) {
        if ((e & 1) != 0)
            result = gmul(result, base);
        base = gmul(base, base);
    }
    return x == 0 ? 0 : result;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int n)
{
    return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::uint32_t rotr32(std::uint32_t x, int n)
{
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

constexpr std::uint32_t bytesToWord(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3)
{
    return (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8) | b3;
}

struct Tables {
    std::array<std::uint8_t, 256> sbox{};
    std::array<std::uint8_t, 256> inverseSbox{};
    // te[k][x]: the MixColumns column of S[x] for the state byte in row k, rotated into
    // place; td[k][x] likewise for InvMixColumns of S^-1[x].
    std::array<std::array<std::uint32_t, 256>, 4> te{};
    std::array<std::array<std::uint32_t, 256>, 4> td{};
    std::array<std::uint32_t, 10> rcon{};
};

constexpr Tables makeTables()
{
    Tables t;
    for (int x = 0; x < 256; ++x) {
        std::uint8_t b = ginverse(static_cast<std::uint8_t>(x));
        auto s = static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^ 0x63);
        t.sbox[x] = s;
        t.inverseSbox[s] = static_cast<std::uint8_t>(x);
    }
    for (int x = 0; x < 256; ++x) {
        std::uint8_t s = t.sbox[x];
        std::uint32_t forward = bytesToWord(gmul(s, 2), s, s, gmul(s, 3));
        std::uint8_t i = t.inverseSbox[x];
        std::uint32_t inverse = bytesToWord(gmul(i, 0x0E), gmul(i, 0x09), gmul(i, 0x0D), gmul(i, 0x0B));
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = rotr32(forward, 8 * k);
            t.td[k][x] = rotr32(inverse, 8 * k);
        }
    }
    std::uint8_t r = 1;
    for (auto& word : t.rcon) {
        word = std::uint32_t{r} << 24;
        r = xtime(r);
    }
    return t;
}

constexpr Tables kTables = makeTables();
constexpr const auto& S = kTables.sbox;
constexpr const auto& Si = kTables.inverseSbox;
constexpr const auto& Te0 = kTables.te[0];
constexpr const auto& Te1 = kTables.te[1];
constexpr const auto& Te2 = kTables.te[2];
constexpr const auto& Te3 = kTables.te[3];
constexpr const auto& Td0 = kTables.td[0];
constexpr const auto& Td1 = kTables.td[1];
constexpr const auto& Td2 = kTables.td[2];
constexpr const auto& Td3 = kTables.td[3];

static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xED && kTables.inverseSbox[0x63] == 0x00);

// ---- Block primitives ----

inline std::uint32_t load(const unsigned char* p)
{
    return bytesToWord(p[0], p[1], p[2], p[3]);
}

inline void store(unsigned char* p, std::uint32_t w)
{
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}

inline unsigned b0(std::uint32_t w)
{
    return w >> 24;
}
inline unsigned b1(std::uint32_t w)
{
    return (w >> 16) & 0xFF;
}
inline unsigned b2(std::uint32_t w)
{
    return (w >> 8) & 0xFF;
}
inline unsigned b3(std::uint32_t w)
{
    return w & 0xFF;
}

using Block = std::array<std::uint32_t, 4>;

inline Block encryptBlock(const std::uint32_t* rk, int rounds, Block in)
{
    std::uint32_t s0 = in[0] ^ rk[0], s1 = in[1] ^ rk[1], s2 = in[2] ^ rk[2], s3 = in[3] ^ rk[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        std::uint32_t t0 = Te0[b0(s0)] ^ Te1[b1(s1)] ^ Te2[b2(s2)] ^ Te3[b3(s3)] ^ rk[0];
        std::uint32_t t1 = Te0[b0(s1)] ^ Te1[b1(s2)] ^ Te2[b2(s3)] ^ Te3[b3(s0)] ^ rk[1];
        std::uint32_t t2 = Te0[b0(s2)] ^ Te1[b1(s3)] ^ Te2[b2(s0)] ^ Te3[b3(s1)] ^ rk[2];
        std::uint32_t t3 = Te0[b0(s3)] ^ Te1[b1(s0)] ^ Te2[b2(s1)] ^ Te3[b3(s2)] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return bytesToWord(S[b0(a)], S[b1(b)], S[b2(c)], S[b3(d)]);
    };
    return {last(s0, s1, s2, s3) ^ rk[0], last(s1, s2, s3, s0) ^ rk[1], last(s2, s3, s0, s1) ^ rk[2],
            last(s3, s0, s1, s2) ^ rk[3]};
}

// The equivalent inverse cipher: the schedule already carries InvMixColumns.
inline Block decryptBlock(const std::uint32_t* rk, int rounds, Block in)
{
    std::uint32_t s0 = in[0] ^ rk[0], s1 = in[1] ^ rk[1], s2 = in[2] ^ rk[2], s3 = in[3] ^ rk[3];
    for (int r = 1; r < rounds; ++r) {
        rk += 4;
        std::uint32_t t0 = Td0[b0(s0)] ^ Td1[b1(s3)] ^ Td2[b2(s2)] ^ Td3[b3(s1)] ^ rk[0];
        std::uint32_t t1 = Td0[b0(s1)] ^ Td1[b1(s0)] ^ Td2[b2(s3)] ^ Td3[b3(s2)] ^ rk[1];
        std::uint32_t t2 = Td0[b0(s2)] ^ Td1[b1(s1)] ^ Td2[b2(s0)] ^ Td3[b3(s3)] ^ rk[2];
        std::uint32_t t3 = Td0[b0(s3)] ^ Td1[b1(s2)] ^ Td2[b2(s1)] ^ Td3[b3(s0)] ^ rk[3];
        s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    rk += 4;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return bytesToWord(Si[b0(a)], Si[b1(b)], Si[b2(c)], Si[b3(d)]);
    };
    return {last(s0, s3, s2, s1) ^ rk[0], last(s1, s0, s3, s2) ^ rk[1], last(s2, s1, s0, s3) ^ rk[2],
            last(s3, s2, s1, s0) ^ rk[3]};
}

inline Block loadBlock(const unsigned char* p)
{
    return {load(p), load(p + 4), load(p + 8), load(p + 12)};
}

inline void storeBlock(unsigned char* p, const Block& b)
{
    for (int i = 0; i < 4; ++i)
        store(p + 4 * i, b[i]);
}

template <class T>
void wipe(T* data, std::size_t count)
{
    volatile T* p = data;
    for (std::size_t i = 0; i < count; ++i)
        p[i] = 0;
}

std::uint32_t subWord(std::uint32_t w)
{
    return bytesToWord(S[b0(w)], S[b1(w)], S[b2(w)], S[b3(w)]);
}

// Checks what the block calls need of their instances: kAesOk or the code to return.
int checkState(const AesCipherInstance* cipher, const AesKeyInstance* key, int direction)
{
    if (cipher == nullptr || key == nullptr || key->direction != direction || key->rounds < 10 || key->rounds > 14)
        return kAesBadCipherState;
    if (cipher->mode != kAesModeEcb && cipher->mode != kAesModeCbc)
        return kAesBadCipherMode;
    return kAesOk;
}

void checkPadded(std::size_t length, const AesKey& key)
{
    if (length % static_cast<std::size_t>(keyBits(key) / 8) != 0)
        throw error::EInvariant("AES block decryption called with non-padded buffer");
}

// Runs `length` bytes (at `in`, or already in `out` when `in` is null) through CBC from a
// zero IV into `out` with the schedule `instance`, whose direction says which way.
void cbcWithSchedule(std::string& out, const unsigned char* in, std::size_t length, const AesKeyInstance& instance)
{
    if (length == 0) {
        out.clear();
        return;
    }
    AesCipherInstance cipher;
    cipherInit(cipher, kAesModeCbc, nullptr);
    out.resize(length);
    auto* target = reinterpret_cast<unsigned char*>(out.data());
    const unsigned char* source = in != nullptr ? in : target;
    auto bits = static_cast<std::int64_t>(length) * 8;
    const bool decrypt = instance.direction == kAesDecrypt;
    std::int64_t done = decrypt ? blockDecrypt(&cipher, &instance, source, bits, target)
                                : blockEncrypt(&cipher, &instance, source, bits, target);
    if (done != bits)
        throw error::EInvariant(decrypt ? "AES decryption failed" : "AES encryption failed");
}

// As above with a schedule made from `key` for `direction`, before `out` is touched.
void cbcBuffer(std::string& out, const unsigned char* in, std::size_t length, const AesKey& key, int direction)
{
    checkPadded(length, key);
    AesKeyInstance instance;
    if (length != 0)
        makeKey(instance, direction, key);
    cbcWithSchedule(out, in, length, instance);
}

void cbcString(std::string& out, const std::string& in, const AesKey& key, int direction)
{
    const auto* source = &out == &in ? nullptr : reinterpret_cast<const unsigned char*>(in.data());
    cbcBuffer(out, source, in.size(), key, direction);
}

} // namespace

AesKeyInstance::~AesKeyInstance()
{
    wipe(roundKeys, kAesMaxRoundKeyWords);
}

int keyBits(const AesKey& key)
{
    switch (key.keyKind) {
    case 0: return 128;
    case 1: return 192;
    case 2: return 256;
    default: throw error::EInvariant("Key size of impossible length");
    }
}

void makeKey(AesKeyInstance& instance, int direction, const AesKey& key)
{
    int bits = keyBits(key) / 8 * 8;
    auto keyBytes = static_cast<std::size_t>(bits / 8);
    std::string bytes = key.keyValue.toBytesLE(keyBytes);
    if (bytes.size() != keyBytes) {
        wipe(bytes.data(), bytes.size());
        throw error::EInvariant("BigNum encoding pad wrong");
    }
    if (direction != kAesEncrypt && direction != kAesDecrypt) {
        wipe(bytes.data(), bytes.size());
        throw error::EInvariant("Bad enc/dec to raw make-key request");
    }

    int nk = bits / 32;
    int rounds = nk + 6;
    int total = 4 * (rounds + 1);
    std::uint32_t* w = instance.roundKeys;
    const auto* k = reinterpret_cast<const unsigned char*>(bytes.data());
    for (int i = 0; i < nk; ++i)
        w[i] = load(k + 4 * i);
    for (int i = nk; i < total; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0)
            temp = subWord(rotr32(temp, 24)) ^ kTables.rcon[i / nk - 1];
        else if (nk > 6 && i % nk == 4)
            temp = subWord(temp);
        w[i] = w[i - nk] ^ temp;
    }
    wipe(bytes.data(), bytes.size());

    if (direction == kAesDecrypt) {
        // Round keys in reverse order, InvMixColumns on all but the first and last.
        for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
            for (int c = 0; c < 4; ++c) {
                std::uint32_t tmp = w[i + c];
                w[i + c] = w[j + c];
                w[j + c] = tmp;
            }
        }
        for (int i = 4; i < 4 * rounds; ++i) {
            std::uint32_t v = w[i];
            w[i] = Td0[S[b0(v)]] ^ Td1[S[b1(v)]] ^ Td2[S[b2(v)]] ^ Td3[S[b3(v)]];
        }
    }
    for (int i = total; i < kAesMaxRoundKeyWords; ++i)
        w[i] = 0;
    instance.direction = direction;
    instance.keyLength = bits;
    instance.rounds = rounds;
}

int cipherInit(AesCipherInstance& cipher, int mode, const char* iv)
{
    if (mode != kAesModeEcb && mode != kAesModeCbc && mode != kAesModeCfb1)
        return kAesBadCipherMode;
    unsigned char bytes[kAesBlockBytes] = {};
    if (iv != nullptr) {
        // A shorter text ends in its terminator, which is no digit.
        for (int i = 0; i < kAesBlockBytes; ++i) {
            int high = hexDigitValue(iv[2 * i]);
            if (high < 0)
                return kAesBadCipherInstance;
            int low = hexDigitValue(iv[2 * i + 1]);
            if (low < 0)
                return kAesBadCipherInstance;
            bytes[i] = static_cast<unsigned char>(high * 16 + low);
        }
    }
    cipher.mode = mode;
    for (int i = 0; i < kAesBlockBytes; ++i)
        cipher.iv[i] = bytes[i];
    return kAesOk;
}

std::int64_t blockDecrypt(AesCipherInstance* cipher, const AesKeyInstance* key, const unsigned char* input,
                          std::int64_t inputBits, unsigned char* output)
{
    int state = checkState(cipher, key, kAesDecrypt);
    if (state != kAesOk)
        return state;
    if (input == nullptr || inputBits <= 0)
        return 0;
    std::int64_t blocks = inputBits / 128;
    const std::uint32_t* rk = key->roundKeys;
    int rounds = key->rounds;
    if (crypto::aesHardwareUsable()) {
        crypto::aesHardwareDecrypt(rk, rounds, input, static_cast<std::size_t>(blocks), output,
                                   cipher->mode == kAesModeCbc ? cipher->iv : nullptr);
    } else if (cipher->mode == kAesModeEcb) {
        for (std::int64_t b = 0; b < blocks; ++b, input += 16, output += 16)
            storeBlock(output, decryptBlock(rk, rounds, loadBlock(input)));
    } else {
        Block iv = loadBlock(cipher->iv);
        for (std::int64_t b = 0; b < blocks; ++b, input += 16, output += 16) {
            Block c = loadBlock(input);
            Block p = decryptBlock(rk, rounds, c);
            for (int i = 0; i < 4; ++i)
                p[i] ^= iv[i];
            storeBlock(output, p);
            iv = c;
        }
        storeBlock(cipher->iv, iv);
    }
    return blocks * 128;
}

std::int64_t blockEncrypt(AesCipherInstance* cipher, const AesKeyInstance* key, const unsigned char* input,
                          std::int64_t inputBits, unsigned char* output)
{
    int state = checkState(cipher, key, kAesEncrypt);
    if (state != kAesOk)
        return state;
    if (input == nullptr || inputBits <= 0)
        return 0;
    std::int64_t blocks = inputBits / 128;
    const std::uint32_t* rk = key->roundKeys;
    int rounds = key->rounds;
    if (cipher->mode == kAesModeEcb) {
        for (std::int64_t b = 0; b < blocks; ++b, input += 16, output += 16)
            storeBlock(output, encryptBlock(rk, rounds, loadBlock(input)));
    } else {
        Block iv = loadBlock(cipher->iv);
        for (std::int64_t b = 0; b < blocks; ++b, input += 16, output += 16) {
            Block p = loadBlock(input);
            for (int i = 0; i < 4; ++i)
                p[i] ^= iv[i];
            iv = encryptBlock(rk, rounds, p);
            storeBlock(output, iv);
        }
        storeBlock(cipher->iv, iv);
    }
    return blocks * 128;
}

void decryptBuffer(std::string& out, const std::string& in, const AesKey& key)
{
    cbcString(out, in, key, kAesDecrypt);
}

void decryptBuffer(std::string& out, const unsigned char* in, std::size_t length, const AesKey& key)
{
    cbcBuffer(out, in, length, key, kAesDecrypt);
}

void decryptBuffer(std::string& out, const unsigned char* in, std::size_t length, const AesKeyInstance& schedule)
{
    if (schedule.direction != kAesDecrypt || schedule.keyLength == 0)
        throw error::EInvariant("AES decryption failed");
    if (length % static_cast<std::size_t>(schedule.keyLength / 8) != 0)
        throw error::EInvariant("AES block decryption called with non-padded buffer");
    cbcWithSchedule(out, in, length, schedule);
}

void encryptBuffer(std::string& out, const std::string& in, const AesKey& key)
{
    cbcString(out, in, key, kAesEncrypt);
}
