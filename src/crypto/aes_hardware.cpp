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

// Four blocks at a time keep the instruction's pipeline full.
constexpr std::size_t kLanes = 4;
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

bool allowAesHardware(bool allow) { return allowed.exchange(allow); }

#ifdef RW_AES_HARDWARE
void aesHardwareDecrypt(const std::uint32_t* roundKeys, int rounds, const unsigned char* input, std::size_t blocks,
                        unsigned char* output, unsigned char* iv)
{
    __m128i keys[15];
    for (int r = 0; r <= rounds; ++r)
        keys[r] = roundKey(roundKeys + 4 * r);
    auto decryptLanes = [&](__m128i* state, std::size_t lanes) {
        for (std::size_t i = 0; i < lanes; ++i)
            state[i] = _mm_xor_si128(state[i], keys[0]);
        for (int r = 1; r < rounds; ++r)
            for (std::size_t i = 0; i < lanes; ++i)
                state[i] = _mm_aesdec_si128(state[i], keys[r]);
        for (std::size_t i = 0; i < lanes; ++i)
            state[i] = _mm_aesdeclast_si128(state[i], keys[rounds]);
    };

    __m128i chain = iv != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv)) : _mm_setzero_si128();
    std::size_t done = 0;
    while (done < blocks) {
        const std::size_t lanes = blocks - done < kLanes ? blocks - done : kLanes;
        __m128i cipher[kLanes], state[kLanes];
        for (std::size_t i = 0; i < lanes; ++i)
            cipher[i] = state[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(input + 16 * (done + i)));
        decryptLanes(state, lanes);
        for (std::size_t i = 0; i < lanes; ++i) {
            if (iv != nullptr) {
                state[i] = _mm_xor_si128(state[i], chain);
                chain = cipher[i];
            }
            // Stored only after the block was read: input and output may be the same bytes.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output + 16 * (done + i)), state[i]);
        }
        done += lanes;
    }
    if (iv != nullptr)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), chain);
    std::memset(keys, 0, sizeof keys);
}
#else
void aesHardwareDecrypt(const std::uint32_t*, int, const unsigned char*, std::size_t, unsigned char*, unsigned char*) {}
#endif

} // namespace crypto
