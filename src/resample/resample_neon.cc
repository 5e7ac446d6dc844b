// Advanced SIMD resampling kernels: 4 float lanes with fused multiply-adds
// (fmla), and blocks of 16 output bytes with widening multiply-accumulates
// (smlal/smlal2 on bytes zero-extended to 16 bits), and for shared taps a
// few bytes apart 16-byte windows picked apart by tbl.  Where sources are
// consecutive, eight float vectors or three byte blocks go per step: enough
// work per tap to hide the loop, few enough accumulators to stay in registers.
#include <arm_neon.h>

#include "resample/resample_loops.h"

namespace zv_pt {
namespace {

// Byte loads: the caller's operands have no alignment.
inline uint8x16_t load16(const char* at) { return vld1q_u8(reinterpret_cast<const uint8_t*>(at)); }
inline int16x8_t load_weights(const char* at) { return vreinterpretq_s16_u8(load16(at)); }
inline int16x8_t widen_low(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v))); }
inline int16x8_t widen_high(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_high_u8(v)); }

struct NeonF32Ops {
    using V = float32x4_t;
    static constexpr int kLanes = 4;

    static V zero() { return vdupq_n_f32(0.0f); }
    static V load(const char* at) { return vreinterpretq_f32_u8(load16(at)); }
    static V broadcast(const char* at) { return vdupq_n_f32(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return vfmaq_f32(acc, x, w); }

    static V gather(const char* const* at, int64_t offset) {
        V v = vdupq_n_f32(zv_pt::load<float>(at[0] + offset));
        v = vsetq_lane_f32(zv_pt::load<float>(at[1] + offset), v, 1);
        v = vsetq_lane_f32(zv_pt::load<float>(at[2] + offset), v, 2);
        return vsetq_lane_f32(zv_pt::load<float>(at[3] + offset), v, 3);
    }

    // Four rows of four, transposed with trn1/trn2 on 32-bit then 64-bit lanes.
    static void transposed(const char* const* at, int64_t offset, V (&out)[4]) {
        const V r0 = load(at[0] + offset), r1 = load(at[1] + offset), r2 = load(at[2] + offset),
                r3 = load(at[3] + offset);
        const float64x2_t t0 = vreinterpretq_f64_f32(vtrn1q_f32(r0, r1)),
                          t1 = vreinterpretq_f64_f32(vtrn2q_f32(r0, r1)),
                          t2 = vreinterpretq_f64_f32(vtrn1q_f32(r2, r3)),
                          t3 = vreinterpretq_f64_f32(vtrn2q_f32(r2, r3));
        out[0] = vreinterpretq_f32_f64(vtrn1q_f64(t0, t2));
        out[1] = vreinterpretq_f32_f64(vtrn1q_f64(t1, t3));
        out[2] = vreinterpretq_f32_f64(vtrn2q_f64(t0, t2));
        out[3] = vreinterpretq_f32_f64(vtrn2q_f64(t1, t3));
    }

    static void store(char* at, int64_t step, V v) {
        if (step == sizeof(float)) {
            vst1q_u8(reinterpret_cast<uint8_t*>(at), vreinterpretq_u8_f32(v));
        } else {
            float lanes[kLanes];
            vst1q_f32(lanes, v);
            scatter_floats(at, step, lanes, kLanes);
        }
    }
};

struct NeonBlockOps {
    static constexpr int64_t kBytes = 16;
    struct Acc {
        int32x4_t sum[4];  // elements 0-3, 4-7, 8-11, 12-15
    };

    static Acc init(int32_t half) {
        const int32x4_t h = vdupq_n_s32(half);
        return {{h, h, h, h}};
    }

    // Multiplies the 16 bytes v, widened, by lane kLane of w.
    template <int kLane>
    static void add_tap(Acc& acc, uint8x16_t v, int16x4_t w) {
        const int16x8_t lo = widen_low(v), hi = widen_high(v);
        acc.sum[0] = vmlal_lane_s16(acc.sum[0], vget_low_s16(lo), w, kLane);
        acc.sum[1] = vmlal_high_lane_s16(acc.sum[1], lo, w, kLane);
        acc.sum[2] = vmlal_lane_s16(acc.sum[2], vget_low_s16(hi), w, kLane);
        acc.sum[3] = vmlal_high_lane_s16(acc.sum[3], hi, w, kLane);
    }

    // One 32-bit load brings both weights.
    static void add_pair(Acc& acc, const char* x, int64_t tap_stride, const char* w) {
        const int16x4_t pair = vreinterpret_s16_u32(vdup_n_u32(zv_pt::load<uint32_t>(w)));
        add_tap<0>(acc, load16(x), pair);
        add_tap<1>(acc, load16(x + tap_stride), pair);
    }

    static void add_one(Acc& acc, const char* x, const char* w) {
        add_tap<0>(acc, load16(x), vdup_n_s16(zv_pt::load<int16_t>(w)));
    }

    // The saturating narrows (to int16, then to 0..255) are the clamp.
    static void store(char* dst, int64_t step, const Acc& acc, int shift) {
        const int32x4_t right = vdupq_n_s32(-shift);
        auto narrow = [&](int32x4_t a, int32x4_t b) {
            return vcombine_s16(vqmovn_s32(vshlq_s32(a, right)), vqmovn_s32(vshlq_s32(b, right)));
        };
        const uint8x16_t bytes =
            vcombine_u8(vqmovun_s16(narrow(acc.sum[0], acc.sum[1])), vqmovun_s16(narrow(acc.sum[2], acc.sum[3])));
        if (step == 1) {
            vst1q_u8(reinterpret_cast<uint8_t*>(dst), bytes);
        } else {
            uint8_t spilled[kBytes];
            vst1q_u8(spilled, bytes);
            scatter_bytes(dst, step, spilled, kBytes);
        }
    }
};

struct NeonDotOps {
    using Dot = int32x4_t;
    using PairOps = NeonDotOps;
    static constexpr int kWindow = 16;

    static Dot dot_zero() { return vdupq_n_s32(0); }

    static Dot dot16(Dot acc, const char* x, const char* w) {
        const uint8x16_t v = load16(x);
        const int16x8_t lo = widen_low(v), hi = widen_high(v);
        const int16x8_t w0 = load_weights(w), w1 = load_weights(w + 16);
        acc = vmlal_s16(acc, vget_low_s16(lo), vget_low_s16(w0));
        acc = vmlal_high_s16(acc, lo, w0);
        acc = vmlal_s16(acc, vget_low_s16(hi), vget_low_s16(w1));
        return vmlal_high_s16(acc, hi, w1);
    }

    static Dot dot8(Dot acc, const char* x, const char* w) {
        const int16x8_t v = vreinterpretq_s16_u16(vmovl_u8(vld1_u8(reinterpret_cast<const uint8_t*>(x))));
        const int16x8_t w0 = load_weights(w);
        acc = vmlal_s16(acc, vget_low_s16(v), vget_low_s16(w0));
        return vmlal_high_s16(acc, v, w0);
    }

    // tbl gives 0 for the mask's out-of-range bytes: the zero extension.
    using Mask = uint8x16_t;
    using Weights = int16x8_t;
    static uint8x16_t mask_of(const uint8_t* at) { return vld1q_u8(at); }
    static int16x8_t weights_of(const int16_t* at) { return vld1q_s16(at); }

    static Dot dot_window(Dot acc, const char* x, Mask mask, Weights w) {
        const int16x8_t v = vreinterpretq_s16_u8(vqtbl1q_u8(load16(x), mask));
        acc = vmlal_s16(acc, vget_low_s16(v), vget_low_s16(w));
        return vmlal_high_s16(acc, v, w);
    }

    // Two elements per window (u8_paired_pass): the pairwise add of the
    // products gives pmaddwd's lanes.
    using Pair = int32x4_t;
    static Pair pair_window(const char* x, Mask mask, Weights w) {
        const int16x8_t v = vreinterpretq_s16_u8(vqtbl1q_u8(load16(x), mask));
        return vpaddq_s32(vmull_s16(vget_low_s16(v), vget_low_s16(w)), vmull_high_s16(v, w));
    }

    static void finish8(const Pair (&pairs)[4], int32_t half, int shift, uint8_t (&out)[8]) {
        const int32x4_t h = vdupq_n_s32(half), count = vdupq_n_s32(-shift);
        const int32x4_t low = vshlq_s32(vaddq_s32(vpaddq_s32(pairs[0], pairs[1]), h), count);
        const int32x4_t high = vshlq_s32(vaddq_s32(vpaddq_s32(pairs[2], pairs[3]), h), count);
        vst1_u8(out, vqmovun_s16(vcombine_s16(vqmovn_s32(low), vqmovn_s32(high))));
    }

    static void dot_sums(const Dot (&acc)[4], uint32_t (&sums)[4]) {
        const int32x4_t all = vpaddq_s32(vpaddq_s32(acc[0], acc[1]), vpaddq_s32(acc[2], acc[3]));
        vst1q_u32(sums, vreinterpretq_u32_s32(all));
    }

    static uint32_t finish4(const uint32_t (&sums)[4], int32_t half, int shift) {
        const int32_t* s = reinterpret_cast<const int32_t*>(sums);
        const int32x4_t v = vshlq_s32(vaddq_s32(vld1q_s32(s), vdupq_n_s32(half)), vdupq_n_s32(-shift));
        const int16x4_t narrow = vqmovn_s32(v);
        return vget_lane_u32(vreinterpret_u32_u8(vqmovun_s16(vcombine_s16(narrow, narrow))), 0);
    }
};

}  // namespace

void resample_f32_neon(const ResamplePass& p) { resample_f32_lanes<NeonF32Ops, 8>(p); }

void resample_u8_neon(const ResamplePass& p) {
    int64_t i = 0;
    if (u8_contiguous_shared(p)) {
        i = u8_contiguous_blocks<NeonBlockOps, 3>(p, 0);
        i = u8_contiguous_blocks<NeonBlockOps, 1>(p, i);
    } else if (u8_shuffled_pass<NeonDotOps>(p)) {
        return;
    }
    u8_dot_elements<NeonDotOps>(p, i);
}

}  // namespace zv_pt
