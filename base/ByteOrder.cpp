#include "orvane/base/ByteOrder.h"

#include <immintrin.h>

namespace orvane {

namespace {

void swapTail(uint8_t* data, size_t words) {
    for (size_t w = 0; w < words; ++w) {
        uint8_t t = data[2 * w];
        data[2 * w] = data[2 * w + 1];
        data[2 * w + 1] = t;
    }
}

// SSE2 is in every x86-64 CPU; AVX2 doubles the width where the CPU has it.
// Two registers per iteration keep both load ports busy.
void swapSse2(uint8_t* data, size_t words) {
    size_t i = 0;
    for (; i + 16 <= words; i += 16) {
        auto* p = reinterpret_cast<__m128i*>(data + 2 * i);
        __m128i a = _mm_loadu_si128(p);
        __m128i b = _mm_loadu_si128(p + 1);
        _mm_storeu_si128(p, _mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8)));
        _mm_storeu_si128(p + 1, _mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8)));
    }
    swapTail(data + 2 * i, words - i);
}

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

using SwapFunction = void (*)(uint8_t*, size_t);

SwapFunction chooseSwap() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? swapAvx2 : swapSse2;
}

}  // namespace

void convertEndian(uint8_t* data, size_t size) {
    static const SwapFunction swap = chooseSwap();
    if (data != nullptr) {
        swap(data, size / 2);
    }
}

void convertEndian(std::vector<uint8_t>& buffer) {
    convertEndian(buffer.data(), buffer.size());
}

}  // namespace orvane
