#include "crypto/aes_hardware.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define RW_AES_HARDWARE 1
#include <wmmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace crypto {
namespace {

std::atomic<bool> allowed{true};

#ifdef RW_AES_HARDWARE
bool processorHasAes()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
#if defined(_MSC_VER)
    int registers[4];
    __cpuid(registers, 1);
    ecx = static_cast<unsigned int>(registers[2]);
#else
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
#endif
    return (ecx & (1u << 25)) != 0; // AES
}

const bool kProcessorHasAes = processorHasAes();

__m128i roundKey(const std::uint32_t* words)
{
    unsigned char bytes[16];
    for (int i = 0; i < 4; ++i) {
        bytes[4 * i] = static_cast<unsigned char>(words[i] >> 24);
        bytes[4 * i + 1] = static_cast<unsigned char>(words[i] >> 16);
        bytes[4 * i + 2] = static_cast<unsigned char>(words[i] >> 8);
        bytes[4 * i + 3] = static_cast<unsigned char>(words[i]);
    }
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

// Decrypts N blocks side by side: the rounds of one block wait on each other, those of
// different blocks do not, so eight keep the instruction's pipeline full. With `chain`, CBC:
// each block is XORed with the ciphertext before it (the chain for the first) and `chain` is
// left at the last ciphertext block. Every block is read before any is stored, so `output`
// may be `input`. N is a constant, so the states stay in registers.
template <std::size_t N>
inline void decryptGroup(const __m128i* keys, int rounds, const unsigned char* input, unsigned char* output,
                         __m128i* chain)
{
    auto block = [input](std::size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * i)); };
    __m128i state[N];
    for (std::size_t i = 0; i < N; ++i)
        state[i] = _mm_xor_si128(block(i), keys[0]);
    for (int r = 1; r < rounds; ++r) {
        const __m128i key = keys[r];
        for (std::size_t i = 0; i < N; ++i)
            state[i] = _mm_aesdec_si128(state[i], key);
    }
    for (std::size_t i = 0; i < N; ++i)
        state[i] = _mm_aesdeclast_si128(state[i], keys[rounds]);
    if (chain != nullptr) {
        const __m128i last = block(N - 1);
        for (std::size_t i = N - 1; i > 0; --i)
            state[i] = _mm_xor_si128(state[i], block(i - 1));
        state[0] = _mm_xor_si128(state[0], *chain);
        *chain = last;
    }
    for (std::size_t i = 0; i < N; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * i), state[i]);
}

constexpr std::size_t kLanes = 8;
#endif

} // namespace

bool aesHardwareUsable()
{
#ifdef RW_AES_HARDWARE
    return kProcessorHasAes && allowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

bool allowAesHardware(bool allow)
{
    return allowed.exchange(allow);
}

#ifdef RW_AES_HARDWARE
void aesHardwareDecrypt(const std::uint32_t* roundKeys, int rounds, const unsigned char* input, std::size_t blocks,
                        unsigned char* output, unsigned char* iv)
{
    __m128i keys[15];
    for (int r = 0; r <= rounds; ++r)
        keys[r] = roundKey(roundKeys + 4 * r);
    __m128i chain = iv != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv)) : _mm_setzero_si128();
    __m128i* chained = iv != nullptr ? &chain : nullptr;
    std::size_t done = 0;
    for (; blocks - done >= kLanes; done += kLanes)
        decryptGroup<kLanes>(keys, rounds, input + 16 * done, output + 16 * done, chained);
    for (; done < blocks; ++done)
        decryptGroup<1>(keys, rounds, input + 16 * done, output + 16 * done, chained);
    if (iv != nullptr)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), chain);
    std::memset(keys, 0, sizeof keys);
}
#else
void aesHardwareDecrypt(const std::uint32_t*, int, const unsigned char*, std::size_t, unsigned char*, unsigned char*)
{
}
#endif

} // namespace crypto
