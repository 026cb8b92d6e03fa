#include "crypto/aes_hardware.h"

#include <atomic>
#include <cstring>
#include <utility>

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

// Decrypts the blocks I... side by side: the rounds of one block wait on each other, those of
// different blocks do not, so eight keep the instruction's pipeline full. With `chain`, CBC:
// each block is XORed with the ciphertext before it (the chain for the first) and `chain` is
// left at the last ciphertext block. Every block is read before any is stored, so `output`
// may be `input`. The block loops are written out by the pack expansions, whatever the
// optimiser unrolls, so that the states stay in registers.
template <std::size_t... I>
inline void decryptGroup(std::index_sequence<I...>, const __m128i* keys, int rounds, const unsigned char* input,
                         unsigned char* output, __m128i* chain)
{
    constexpr std::size_t kCount = sizeof...(I);
    auto block = [input](std::size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * i)); };
    __m128i state[kCount] = {_mm_xor_si128(block(I), keys[0])...};
    for (int r = 1; r < rounds; ++r) {
        const __m128i key = keys[r];
        ((state[I] = _mm_aesdec_si128(state[I], key)), ...);
    }
    ((state[I] = _mm_aesdeclast_si128(state[I], keys[rounds])), ...);
    if (chain != nullptr) {
        const __m128i last = block(kCount - 1);
        ((state[I] = _mm_xor_si128(state[I], I == 0 ? *chain : block(I - 1))), ...);
        *chain = last;
    }
    (_mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * I), state[I]), ...);
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
        decryptGroup(std::make_index_sequence<kLanes>(), keys, rounds, input + 16 * done, output + 16 * done, chained);
    for (; done < blocks; ++done)
        decryptGroup(std::make_index_sequence<1>(), keys, rounds, input + 16 * done, output + 16 * done, chained);
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
