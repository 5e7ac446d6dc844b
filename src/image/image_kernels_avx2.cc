// AVX2 image row kernels: two blocks side by side per 256-bit register.  What
// does not fill a 256-bit step goes to the SSSE3 variants, which every AVX2
// processor runs.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "image/image_x86.h"

namespace zv_pt {
namespace {

struct Avx2Ops {
    using Bytes = __m256i;
    using Floats = __m256;
    // The block at `at` in the low lane and the next block (48 bytes on) in the high lane.
    static Bytes load_blocks(const uint8_t* at) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 48)), 1);
    }
    static Floats load_blocks(const float* at) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(at)), _mm_loadu_ps(at + 12), 1);
    }
    static Floats load(const float* at) { return _mm256_loadu_ps(at); }
    static void store(uint8_t* at, Bytes v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v); }
    static void store(float* at, Floats v) { _mm256_storeu_ps(at, v); }
    static void stream(uint8_t* at, Bytes v) { _mm256_stream_si256(reinterpret_cast<__m256i*>(at), v); }
    static void stream(float* at, Floats v) { _mm256_stream_ps(at, v); }
    static Bytes shuffle(Bytes v, Bytes mask) { return _mm256_shuffle_epi8(v, mask); }
    static Bytes merge(Bytes a, Bytes b, Bytes c) { return _mm256_or_si256(_mm256_or_si256(a, b), c); }
    template <int z, int y, int x, int w>
    static Floats shuffle(Floats a, Floats b) { return _mm256_shuffle_ps(a, b, _MM_SHUFFLE(z, y, x, w)); }
    static Floats broadcast(float v) { return _mm256_set1_ps(v); }
    static Floats sub(Floats a, Floats b) { return _mm256_sub_ps(a, b); }
    static Floats div(Floats a, Floats b) { return _mm256_div_ps(a, b); }
};

bool aligned32(const void* at) { return (reinterpret_cast<uintptr_t>(at) & 31) == 0; }

// Converts with non-temporal stores once plane 0 is 32-byte aligned, when the
// other planes then are too (their distance is usually a multiple of 32 bytes);
// otherwise, and for the pixels before and after, with `regular`.
template <class T>
void split3_streaming(const T* src, T* d0, T* d1, T* d2, int64_t n,
                      void (*regular)(const T*, T*, T*, T*, int64_t)) {
    const uintptr_t misaligned = reinterpret_cast<uintptr_t>(d0) & 31;
    const int64_t head = misaligned % sizeof(T) != 0 ? n : std::min<int64_t>(n, ((32 - misaligned) & 31) / sizeof(T));
    regular(src, d0, d1, d2, head);
    int64_t p = head;
    if (aligned32(d1 + p) && aligned32(d2 + p)) {
        p += split3_blocks<Avx2Ops, true>(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
        _mm_sfence();  // order the streamed lines before the caller's later stores
    }
    regular(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

}  // namespace

void split3_u8_avx2(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    const int64_t p = split3_blocks<Avx2Ops>(src, d0, d1, d2, n);
    split3_u8_ssse3(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void split3_f32_avx2(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    const int64_t p = split3_blocks<Avx2Ops>(src, d0, d1, d2, n);
    split3_f32_ssse3(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void split3_u8_avx2_stream(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    split3_streaming(src, d0, d1, d2, n, split3_u8_avx2);
}

void split3_f32_avx2_stream(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    split3_streaming(src, d0, d1, d2, n, split3_f32_avx2);
}

void normalize3_f32_avx2(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    const int64_t i = normalize3_f32_blocks<Avx2Ops>(p0, p1, p2, mean, stdv, n);
    normalize3_f32_ssse3(p0 + i, p1 + i, p2 + i, mean, stdv, n - i);
}

}  // namespace zv_pt
