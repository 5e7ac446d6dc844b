// AVX2 image row kernels: two 128-bit blocks side by side per 256-bit vector
// (the byte and float shuffles work within 128-bit lanes).  Whatever does not
// fill a 256-bit step goes to the SSSE3 variants, which every AVX2 processor runs.
#include <immintrin.h>

#include "image/image_kernels.h"

namespace zv_pt {
namespace {

// Bytes [at, at + 16) in the low lane and [at + 48, at + 64) in the high lane.
inline __m256i load_lane_pair(const uint8_t* at) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 48)), 1);
}

inline __m256 load_lane_pair(const float* at) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(at)), _mm_loadu_ps(at + 12), 1);
}

// pshufb control for channel `channel` out of 16-byte part `part`, in both lanes.
inline __m256i gather_mask(int channel, int part) {
    alignas(32) int8_t lane[32];
    for (int k = 0; k < 32; ++k) {
        const int byte = 3 * (k & 15) + channel - 16 * part;
        lane[k] = static_cast<int8_t>(byte >= 0 && byte < 16 ? byte : -128);
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(lane));
}

}  // namespace

void split3_u8_avx2(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    __m256i mask[3][3];
    for (int c = 0; c < 3; ++c)
        for (int part = 0; part < 3; ++part) mask[c][part] = gather_mask(c, part);
    uint8_t* const dst[3] = {d0, d1, d2};

    int64_t p = 0;
    for (; p + 32 <= n; p += 32) {
        const uint8_t* in = src + 3 * p;
        const __m256i v[3] = {load_lane_pair(in), load_lane_pair(in + 16), load_lane_pair(in + 32)};
        for (int c = 0; c < 3; ++c) {
            const __m256i plane = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(v[0], mask[c][0]), _mm256_shuffle_epi8(v[1], mask[c][1])),
                _mm256_shuffle_epi8(v[2], mask[c][2]));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst[c] + p), plane);
        }
    }
    split3_u8_ssse3(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void split3_f32_avx2(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    int64_t p = 0;
    for (; p + 8 <= n; p += 8) {
        // per lane: a = r0 g0 b0 r1, b = g1 b1 r2 g2, c = b2 r3 g3 b3
        const float* in = src + 3 * p;
        const __m256 a = load_lane_pair(in), b = load_lane_pair(in + 4), c = load_lane_pair(in + 8);
        const __m256 r =
            _mm256_shuffle_ps(a, _mm256_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2)), _MM_SHUFFLE(2, 0, 3, 0));
        const __m256 g = _mm256_shuffle_ps(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1)),
                                           _mm256_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3)), _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 bl =
            _mm256_shuffle_ps(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2)), c, _MM_SHUFFLE(3, 0, 2, 0));
        _mm256_storeu_ps(d0 + p, r);
        _mm256_storeu_ps(d1 + p, g);
        _mm256_storeu_ps(d2 + p, bl);
    }
    split3_f32_ssse3(src + 3 * p, d0 + p, d1 + p, d2 + p, n - p);
}

void normalize3_f32_avx2(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    float* const plane[3] = {p0, p1, p2};
    const __m256 m[3] = {_mm256_set1_ps(mean[0]), _mm256_set1_ps(mean[1]), _mm256_set1_ps(mean[2])};
    const __m256 s[3] = {_mm256_set1_ps(stdv[0]), _mm256_set1_ps(stdv[1]), _mm256_set1_ps(stdv[2])};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int c = 0; c < 3; ++c)
            _mm256_storeu_ps(plane[c] + i, _mm256_div_ps(_mm256_sub_ps(_mm256_loadu_ps(plane[c] + i), m[c]), s[c]));
    normalize3_f32_ssse3(p0 + i, p1 + i, p2 + i, mean, stdv, n - i);
}

}  // namespace zv_pt
