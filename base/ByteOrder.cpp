// Swapping the bytes of 16-bit words: portable scalar code, and SSE2 and AVX2
// versions chosen at run time on x86 CPUs that have them.
#include "orvane/base/ByteOrder.h"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define ORVANE_X86 1
#include <immintrin.h>
#endif

namespace orvane {

namespace {

void swapScalar(uint8_t* data, size_t words) {
    for (size_t w = 0; w < words; ++w) {
        uint16_t v;
        std::memcpy(&v, data + 2 * w, 2);
        v = static_cast<uint16_t>((v << 8) | (v >> 8));
        std::memcpy(data + 2 * w, &v, 2);
    }
}

#ifdef ORVANE_X86
// Two registers per iteration keep both load ports busy.
__attribute__((target("sse2"))) void swapSse2(uint8_t* data, size_t words) {
    size_t i = 0;
    for (; i + 16 <= words; i += 16) {
        auto* p = reinterpret_cast<__m128i*>(data + 2 * i);
        __m128i a = _mm_loadu_si128(p);
        __m128i b = _mm_loadu_si128(p + 1);
        _mm_storeu_si128(p, _mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8)));
        _mm_storeu_si128(p + 1, _mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8)));
    }
    swapScalar(data + 2 * i, words - i);
}

// AVX2 doubles the width where the CPU has it (and every AVX2 CPU has SSE2).
__attribute__((target("avx2"))) void swapAvx2(uint8_t* data, size_t words) {
    const __m256i pairs = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1,
                                           0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    size_t i = 0;
    for (; i + 32 <= words; i += 32) {
        auto* p = reinterpret_cast<__m256i*>(data + 2 * i);
        __m256i a = _mm256_loadu_si256(p);
        __m256i b = _mm256_loadu_si256(p + 1);
        _mm256_storeu_si256(p, _mm256_shuffle_epi8(a, pairs));
        _mm256_storeu_si256(p + 1, _mm256_shuffle_epi8(b, pairs));
    }
    swapSse2(data + 2 * i, words - i);
}
#endif

using SwapFunction = void (*)(uint8_t*, size_t);

// Null when this CPU or build lacks the path.
SwapFunction implementation(ByteSwapPath path) {
#ifdef ORVANE_X86
    __builtin_cpu_init();
    if (path == ByteSwapPath::Avx2) {
        return __builtin_cpu_supports("avx2") ? swapAvx2 : nullptr;
    }
    if (path == ByteSwapPath::Sse2) {
        return __builtin_cpu_supports("sse2") ? swapSse2 : nullptr;
    }
#else
    if (path != ByteSwapPath::Scalar) {
        return nullptr;
    }
#endif
    return swapScalar;
}

ByteSwapPath choosePath() {
    const char* forced = std::getenv("ORVANE_SIMD");
    if (forced != nullptr && std::strcmp(forced, "scalar") == 0) {
        return ByteSwapPath::Scalar;
    }
    for (ByteSwapPath path : {ByteSwapPath::Avx2, ByteSwapPath::Sse2}) {
        if (implementation(path) != nullptr) {
            return path;
        }
    }
    return ByteSwapPath::Scalar;
}

}  // namespace

ByteSwapPath byteSwapPath() {
    static const ByteSwapPath path = choosePath();
    return path;
}

void convertEndian(uint8_t* data, size_t size) {
    static const SwapFunction swap = implementation(byteSwapPath());
    if (data != nullptr) {
        swap(data, size / 2);
    }
}

void convertEndian(std::vector<uint8_t>& buffer) {
    convertEndian(buffer.data(), buffer.size());
}

bool convertEndian(uint8_t* data, size_t size, ByteSwapPath path) {
    const SwapFunction swap = implementation(path);
    if (swap == nullptr) {
        return false;
    }
    if (data != nullptr) {
        swap(data, size / 2);
    }
    return true;
}

}  // namespace orvane
