// Advanced SIMD image row kernels: three-way structure loads de-interleave a
// block of 16 bytes or 4 floats per plane in one instruction.
#include <arm_neon.h>

#include "image/image_kernels.h"

namespace zv_pt {
namespace {

inline uint8x16x3_t load3(const uint8_t* at) { return vld3q_u8(at); }
inline float32x4x3_t load3(const float* at) { return vld3q_f32(at); }
inline void store(uint8_t* at, uint8x16_t v) { vst1q_u8(at, v); }
inline void store(float* at, float32x4_t v) { vst1q_f32(at, v); }

// Converts whole 128-bit blocks and advances the pointers and `left` past them.
template <class T>
void split3_blocks(const T*& src, T*& d0, T*& d1, T*& d2, int64_t& left) {
    constexpr int64_t lanes = 16 / sizeof(T);
    for (; left >= lanes; left -= lanes, src += 3 * lanes, d0 += lanes, d1 += lanes, d2 += lanes) {
        const auto v = load3(src);
        store(d0, v.val[0]);
        store(d1, v.val[1]);
        store(d2, v.val[2]);
    }
}

}  // namespace

void split3_u8_neon(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    int64_t left = n;
    split3_blocks(src, d0, d1, d2, left);
    if (left >= 8) {  // one half block: at most 7 pixels remain for the scalar loop
        const uint8x8x3_t v = vld3_u8(src);
        vst1_u8(d0, v.val[0]);
        vst1_u8(d1, v.val[1]);
        vst1_u8(d2, v.val[2]);
        left -= 8, src += 24, d0 += 8, d1 += 8, d2 += 8;
    }
    split3_u8_c(src, d0, d1, d2, left);
}

void split3_f32_neon(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    int64_t left = n;
    split3_blocks(src, d0, d1, d2, left);
    split3_f32_c(src, d0, d1, d2, left);
}

void normalize3_f32_neon(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    const float32x4_t m0 = vdupq_n_f32(mean[0]), m1 = vdupq_n_f32(mean[1]), m2 = vdupq_n_f32(mean[2]);
    const float32x4_t s0 = vdupq_n_f32(stdv[0]), s1 = vdupq_n_f32(stdv[1]), s2 = vdupq_n_f32(stdv[2]);
    int64_t left = n;
    for (; left >= 4; left -= 4, p0 += 4, p1 += 4, p2 += 4) {
        vst1q_f32(p0, vdivq_f32(vsubq_f32(vld1q_f32(p0), m0), s0));
        vst1q_f32(p1, vdivq_f32(vsubq_f32(vld1q_f32(p1), m1), s1));
        vst1q_f32(p2, vdivq_f32(vsubq_f32(vld1q_f32(p2), m2), s2));
    }
    normalize3_f32_c(p0, p1, p2, mean, stdv, left);
}

}  // namespace zv_pt
