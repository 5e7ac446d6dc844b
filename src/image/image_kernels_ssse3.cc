// SSSE3 image row kernels (the float ones need only SSE2).
#include <tmmintrin.h>

#include "image/image_kernels.h"

namespace zv_pt {
namespace {

// pshufb control that moves channel `channel` of 16 pixels out of the 16-byte
// part `part` (0..2) of their 48 interleaved bytes; -128 zeroes a lane.
struct Mask16 {
    alignas(16) int8_t lane[16];
};

constexpr Mask16 gather_mask(int channel, int part) {
    Mask16 m{};
    for (int k = 0; k < 16; ++k) {
        const int byte = 3 * k + channel - 16 * part;
        m.lane[k] = static_cast<int8_t>(byte >= 0 && byte < 16 ? byte : -128);
    }
    return m;
}

constexpr Mask16 kGather[3][3] = {
    {gather_mask(0, 0), gather_mask(0, 1), gather_mask(0, 2)},
    {gather_mask(1, 0), gather_mask(1, 1), gather_mask(1, 2)},
    {gather_mask(2, 0), gather_mask(2, 1), gather_mask(2, 2)},
};

inline __m128i load_mask(int channel, int part) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(kGather[channel][part].lane));
}

}  // namespace

void split3_u8_ssse3(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    __m128i mask[3][3];
    for (int c = 0; c < 3; ++c)
        for (int part = 0; part < 3; ++part) mask[c][part] = load_mask(c, part);
    uint8_t* const dst[3] = {d0, d1, d2};

    int64_t p = 0;
    for (; p + 16 <= n; p += 16) {
        const __m128i* in = reinterpret_cast<const __m128i*>(src + 3 * p);
        const __m128i v[3] = {_mm_loadu_si128(in), _mm_loadu_si128(in + 1), _mm_loadu_si128(in + 2)};
        for (int c = 0; c < 3; ++c) {
            const __m128i plane = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(v[0], mask[c][0]), _mm_shuffle_epi8(v[1], mask[c][1])),
                _mm_shuffle_epi8(v[2], mask[c][2]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[c] + p), plane);
        }
    }
    split3_u8_c(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void split3_f32_ssse3(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    int64_t p = 0;
    for (; p + 4 <= n; p += 4) {
        // a = r0 g0 b0 r1, b = g1 b1 r2 g2, c = b2 r3 g3 b3
        const __m128 a = _mm_loadu_ps(src + 3 * p);
        const __m128 b = _mm_loadu_ps(src + 3 * p + 4);
        const __m128 c = _mm_loadu_ps(src + 3 * p + 8);
        const __m128 r = _mm_shuffle_ps(a, _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
        const __m128 g = _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1)),
                                        _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 bl = _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2)), c, _MM_SHUFFLE(3, 0, 2, 0));
        _mm_storeu_ps(d0 + p, r);
        _mm_storeu_ps(d1 + p, g);
        _mm_storeu_ps(d2 + p, bl);
    }
    split3_f32_c(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void normalize3_f32_ssse3(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    float* const plane[3] = {p0, p1, p2};
    const __m128 m[3] = {_mm_set1_ps(mean[0]), _mm_set1_ps(mean[1]), _mm_set1_ps(mean[2])};
    const __m128 s[3] = {_mm_set1_ps(stdv[0]), _mm_set1_ps(stdv[1]), _mm_set1_ps(stdv[2])};
    int64_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (int c = 0; c < 3; ++c)
            _mm_storeu_ps(plane[c] + i, _mm_div_ps(_mm_sub_ps(_mm_loadu_ps(plane[c] + i), m[c]), s[c]));
    normalize3_f32_c(p0 + i, p1 + i, p2 + i, mean, stdv, n - i);
}

}  // namespace zv_pt
