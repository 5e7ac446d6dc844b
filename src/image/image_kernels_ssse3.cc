// SSSE3 image row kernels (the float ones need only SSE2): one block per register.
#include <tmmintrin.h>

#include "image/image_x86.h"

namespace zv_pt {
namespace {

struct Ssse3Ops {
    using Bytes = __m128i;
    using Floats = __m128;
    static Bytes load_blocks(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
    static Floats load_blocks(const float* at) { return _mm_loadu_ps(at); }
    static Floats load(const float* at) { return _mm_loadu_ps(at); }
    static void store(uint8_t* at, Bytes v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v); }
    static void store(float* at, Floats v) { _mm_storeu_ps(at, v); }
    static Bytes shuffle(Bytes v, Bytes mask) { return _mm_shuffle_epi8(v, mask); }
    static Bytes merge(Bytes a, Bytes b, Bytes c) { return _mm_or_si128(_mm_or_si128(a, b), c); }
    template <int z, int y, int x, int w>
    static Floats shuffle(Floats a, Floats b) { return _mm_shuffle_ps(a, b, _MM_SHUFFLE(z, y, x, w)); }
    static Floats broadcast(float v) { return _mm_set1_ps(v); }
    static Floats sub(Floats a, Floats b) { return _mm_sub_ps(a, b); }
    static Floats div(Floats a, Floats b) { return _mm_div_ps(a, b); }
};

}  // namespace

void split3_u8_ssse3(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    const int64_t p = split3_blocks<Ssse3Ops>(src, d0, d1, d2, n);
    split3_u8_c(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void split3_f32_ssse3(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    const int64_t p = split3_blocks<Ssse3Ops>(src, d0, d1, d2, n);
    split3_f32_c(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void normalize3_f32_ssse3(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    const int64_t i = normalize3_f32_blocks<Ssse3Ops>(p0, p1, p2, mean, stdv, n);
    normalize3_f32_c(p0 + i, p1 + i, p2 + i, mean, stdv, n - i);
}

}  // namespace zv_pt
