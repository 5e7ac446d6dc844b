// Advanced SIMD resampling kernels: 4 float lanes with fused multiply-adds
// (fmla), and blocks of 16 output bytes with widening multiply-accumulates
// (smlal/smlal2 on bytes zero-extended to 16 bits), and for shared taps a
// few bytes apart 16-byte windows picked apart by tbl.  Where sources are
// consecutive, eight float vectors or three byte blocks go per step: enough
// work per tap to hide the loop, few enough accumulators to stay in registers.
#include <arm_neon.h>

#include "resample/resample_f32_paths.h"
#include "resample/resample_u8_paths.h"

namespace zv_pt {
namespace {

// Byte loads: the caller's operands have no alignment.
inline uint8x16_t load16(const char* at) { return vld1q_u8(reinterpret_cast<const uint8_t*>(at)); }
inline int16x8_t load_weights(const char* at) { return vreinterpretq_s16_u8(load16(at)); }
inline int16x8_t widen_low(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(v))); }
inline int16x8_t widen_high(uint8x16_t v) { return vreinterpretq_s16_u16(vmovl_high_u8(v)); }

struct NeonWindows;

struct NeonF32Ops {
    using V = float32x4_t;
    static constexpr int kLanes = 4;
    using Windows = NeonWindows;

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
        transpose(load(at[0] + offset), load(at[1] + offset), load(at[2] + offset), load(at[3] + offset), out);
    }

    // Every third float from each row's first, of twelve read from kBack
    // floats before it (ld3), transposed.
    template <int kBack>
    static void deinterleaved(const char* const* at, int64_t offset, V (&out)[4]) {
        constexpr int64_t kBackBytes = kBack * int64_t{sizeof(float)};
        const auto third = [&](int k) {
            return vld3q_f32(reinterpret_cast<const float*>(at[k] + offset - kBackBytes)).val[kBack];
        };
        transpose(third(0), third(1), third(2), third(3), out);
    }

    static void transpose(V r0, V r1, V r2, V r3, V (&out)[4]) {
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

// ---- float windows: 4 elements, 16-float windows picked apart by tbl --------------

// The four registers of a 64-byte window; loads read them whole.
inline uint8x16x4_t window64(const char* at) { return vld1q_u8_x4(reinterpret_cast<const uint8_t*>(at)); }

// Per lane the four bytes of float slot[lane] of a window.
inline uint8x16_t float_bytes(uint32x4_t slot) {
    const uint32x4_t first = vshlq_n_u32(slot, 2);
    return vreinterpretq_u8_u32(vaddq_u32(vmulq_n_u32(first, 0x01010101u), vdupq_n_u32(0x03020100u)));
}

// 4 int64 entries of packed tables at `at`, less `minus`, plus `plus`.
inline void entries4(const char* at, int64_t minus, const int64x2_t (&plus)[2], int64x2_t (&v)[2]) {
    const int64x2x2_t two = vld1q_s64_x2(reinterpret_cast<const int64_t*>(at));
    v[0] = vaddq_s64(vsubq_s64(two.val[0], vdupq_n_s64(minus)), plus[0]);
    v[1] = vaddq_s64(vsubq_s64(two.val[1], vdupq_n_s64(minus)), plus[1]);
}

// Lanes of four int64 values v with 0 <= v <= most and v a multiple of
// `unit` (a power of two), as an all-ones 32-bit lane each; none where
// most < 0 (a run that no window holds).
inline uint32x4_t within4(const int64x2_t (&v)[2], int64_t most, int64_t unit) {
    if (most < 0) return vdupq_n_u32(0);
    const uint64x2_t limit = vdupq_n_u64(static_cast<uint64_t>(most));
    const int64x2_t low = vdupq_n_s64(unit - 1);
    auto half = [&](int64x2_t x) {
        return vandq_u64(vcleq_u64(vreinterpretq_u64_s64(x), limit), vceqq_s64(vandq_s64(x, low), vdupq_n_s64(0)));
    };
    return vcombine_u32(vmovn_u64(half(v[0])), vmovn_u64(half(v[1])));
}

inline int32x4_t narrow4(const int64x2_t (&v)[2]) { return vcombine_s32(vmovn_s64(v[0]), vmovn_s64(v[1])); }

inline int leading4(uint32x4_t ok) {
    const uint64_t bits = vget_lane_u64(vreinterpret_u64_u16(vmovn_u32(ok)), 0);  // 16 bits per lane
    return __builtin_ctzll(~bits | (uint64_t{1} << 63)) / 16;
}

struct NeonWindows {
    static constexpr int kLanes = 4;
    static constexpr int64_t kWindow = 16;
    static constexpr int64_t kWeightWindow = 16;
    struct Group {
        uint8x16_t x, w;        // per lane: the window bytes of its first tap, of its first weight
        int32x4_t counts;       // per lane: its tap count
        int64_t stride;         // window bytes from a tap to the next
        uint8x16x4_t window, weights;
    };
    struct Steps {
        int64x2_t lane[2];  // lane * source step
    };
    using Acc = float32x4_t;

    static Steps steps_of(int64_t s) {
        const int64_t lanes[4] = {0, s, 2 * s, 3 * s};
        return {{vld1q_s64(lanes), vld1q_s64(lanes + 2)}};
    }

    static int element_group(const ResamplePass& p, int64_t i, int64_t taps, const Steps& steps, Group& g) {
        const int64_t span = (taps - 1) * p.tap_stride;  // bytes from a lane's first tap to its last
        if (span > 4 * (kWindow - 1)) return 0;
        const int64x2_t none[2] = {vdupq_n_s64(0), vdupq_n_s64(0)};
        int64x2_t d[2], wd[2], c1[2];
        entries4(p.tap_min + 8 * i, zv_pt::load<int64_t>(p.tap_min + 8 * i), steps.lane, d);
        entries4(p.weight_offset + 8 * i, zv_pt::load<int64_t>(p.weight_offset + 8 * i), none, wd);
        entries4(p.tap_count + 8 * i, 1, none, c1);
        const uint32x4_t ok =
            vandq_u32(vandq_u32(within4(d, 4 * (kWindow - 1) - span, 4), within4(wd, 4 * (kWeightWindow - taps), 4)),
                      within4(c1, taps - 1, 1));
        g.counts = vaddq_s32(narrow4(c1), vdupq_n_s32(1));
        g.x = float_bytes(vreinterpretq_u32_s32(vshrq_n_s32(narrow4(d), 2)));
        g.w = float_bytes(vreinterpretq_u32_s32(vshrq_n_s32(narrow4(wd), 2)));
        g.stride = p.tap_stride;
        return leading4(ok);
    }

    static int shared_group(const ResamplePass& p, int64_t taps, Group& g) {
        const int64_t span = (taps - 1) * p.tap_stride / 4;  // floats from a lane's first tap to its last
        if (p.src_step < 0 || p.src_step % 4 != 0 || span > kWindow - 1) return 0;
        const uint32_t s = static_cast<uint32_t>(p.src_step / 4);
        const uint32_t lane[4] = {0, s, 2 * s, 3 * s};
        g.x = float_bytes(vld1q_u32(lane));
        g.stride = p.tap_stride;
        return static_cast<int>(s == 0 ? kLanes : std::min<int64_t>(kLanes, (kWindow - 1 - span) / s + 1));
    }

    static void load(Group& g, const char* x, const char* w) {
        g.window = window64(x);
        if (w != nullptr) g.weights = window64(w);
    }

    static Acc start() { return vdupq_n_f32(0.0f); }

    static float32x4_t tap(const Group& g, int64_t j) {
        const uint8x16_t at = vaddq_u8(g.x, vdupq_n_u8(static_cast<uint8_t>(j * g.stride)));
        return vreinterpretq_f32_u8(vqtbl4q_u8(g.window, at));
    }

    // Lanes with fewer than j + 1 taps keep their sums.
    static Acc tap_elements(Acc acc, const Group& g, int64_t j) {
        const uint32x4_t has = vcgtq_s32(g.counts, vdupq_n_s32(static_cast<int32_t>(j)));
        const uint8x16_t at = vaddq_u8(g.w, vdupq_n_u8(static_cast<uint8_t>(4 * j)));
        const float32x4_t weight = vreinterpretq_f32_u8(vqtbl4q_u8(g.weights, at));
        return vbslq_f32(has, vfmaq_f32(acc, tap(g, j), weight), acc);
    }

    static Acc tap_shared(Acc acc, const Group& g, int64_t j, const char* w) {
        return vfmaq_n_f32(acc, tap(g, j), zv_pt::load<float>(w));
    }

    static void store(char* dst, int64_t step, Acc acc, int lanes) {
        if (step == sizeof(float) && lanes == kLanes) {
            vst1q_f32(reinterpret_cast<float*>(dst), acc);
        } else {
            float out[4];
            vst1q_f32(out, acc);
            scatter_floats(dst, step, out, lanes);
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

// ---- 8-bit runs: up to 16 taps a step, picked out of 64 bytes by tbl -------------

// 16-bit slots of bytes picked by `index` (byte pairs: a window byte, then
// 0xff, out of range, which tbl turns into the zero high byte).
inline int16x8_t pick(const uint8x16x4_t& window, uint8x16_t index) {
    return vreinterpretq_s16_u8(vqtbl4q_u8(window, index));
}

// Shifts, clamps by the saturating narrows and stores the first `count` of
// the four sums.
inline void store_four(char* dst, int64_t step, int32x4_t sums, int shift, int64_t count) {
    const int16x4_t narrow = vqmovn_s32(vshlq_s32(sums, vdupq_n_s32(-shift)));
    const uint8x8_t bytes = vqmovun_s16(vcombine_s16(narrow, narrow));
    if (step == 1 && count == 4) {
        vst1_lane_u32(reinterpret_cast<uint32_t*>(dst), vreinterpret_u32_u8(bytes), 0);
    } else {
        uint8_t out[8];
        vst1_u8(out, bytes);
        scatter_bytes(dst, step, out, count);
    }
}

// Taps per step at a tap stride: within 64 bytes, at most 16.
constexpr int64_t neon_step_taps(int64_t ts) { return std::min<int64_t>(16, 63 / ts + 1); }

struct NeonRuns {
    static constexpr int kLanes = 4;
    static constexpr bool kExactLoads = false;
    struct Tail {
        int quarters;         // groups of four slots with taps
        int16x8_t keep[2];    // per slot: all ones if the step has its tap
    };
    struct Plan {
        int64_t taps;          // per step: those within 64 bytes, at most 16
        int64_t stride;        // tap stride
        int64_t window;        // source bytes a step reads from its first tap
        int64_t weight_bytes;  // weight bytes a step reads
        uint8x16_t index[2];   // slots 0-7 and 8-15: window byte t * stride
        Tail full;
    };
    struct Weights {
        int16x8_t w[2];
    };
    struct Acc {
        int32x4_t lo, hi;  // products of slots 0-3 and 8-11, 4-7 and 12-15
    };
    using Sums = int32x4_t;

    static Tail tail(const Plan&, int64_t taps) {
        static constexpr int16_t kSlot[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        const int16x8_t count = vdupq_n_s16(static_cast<int16_t>(taps));
        return {static_cast<int>((taps + 3) / 4),
                {vreinterpretq_s16_u16(vcltq_s16(vld1q_s16(kSlot), count)),
                 vreinterpretq_s16_u16(vcltq_s16(vld1q_s16(kSlot + 8), count))}};
    }

    // Slot t: window byte t * stride, then 0xff (zero).
    static constexpr std::array<std::array<uint8_t, 32>, kMaxTableStride + 1> kIndex =
        per_stride<std::array<uint8_t, 32>>([](int ts) {
            std::array<uint8_t, 32> index{};
            for (int64_t t = 0; t < 16; ++t) {
                index[static_cast<size_t>(2 * t)] = t < neon_step_taps(ts) ? static_cast<uint8_t>(t * ts) : 0xff;
                index[static_cast<size_t>(2 * t + 1)] = 0xff;
            }
            return index;
        });

    static bool plan(int64_t ts, Plan& plan) {
        if (ts < 1 || ts > 7) return false;
        plan.stride = ts;
        plan.taps = neon_step_taps(ts);
        plan.window = 64;
        plan.weight_bytes = 32;
        plan.index[0] = vld1q_u8(kIndex[static_cast<size_t>(ts)].data());
        plan.index[1] = vld1q_u8(kIndex[static_cast<size_t>(ts)].data() + 16);
        plan.full = tail(plan, plan.taps);
        return true;
    }

    static Weights weights(const char* w, const Tail& tail, const Plan&) {
        return {{vandq_s16(load_weights(w), tail.keep[0]), vandq_s16(load_weights(w + 16), tail.keep[1])}};
    }

    static Acc zero() { return {vdupq_n_s32(0), vdupq_n_s32(0)}; }

    // Steps of at most 8 taps skip the second half; the weights past a
    // step's taps are zero, so the rest needs no test.
    static Acc step(Acc acc, const char* x, const Weights& w, const Tail& tail, const Plan& plan) {
        const uint8x16x4_t window = window64(x);
        const int16x8_t first = pick(window, plan.index[0]);
        acc.lo = vmlal_s16(acc.lo, vget_low_s16(first), vget_low_s16(w.w[0]));
        acc.hi = vmlal_high_s16(acc.hi, first, w.w[0]);
        if (tail.quarters > 2) {
            const int16x8_t second = pick(window, plan.index[1]);
            acc.lo = vmlal_s16(acc.lo, vget_low_s16(second), vget_low_s16(w.w[1]));
            acc.hi = vmlal_high_s16(acc.hi, second, w.w[1]);
        }
        return acc;
    }

    static Sums reduce(const Acc (&acc)[4]) {
        auto whole = [&](int e) { return vaddq_s32(acc[e].lo, acc[e].hi); };
        return vpaddq_s32(vpaddq_s32(whole(0), whole(1)), vpaddq_s32(whole(2), whole(3)));
    }

    static Sums with(Sums sums, const uint32_t (&extra)[4]) {
        return vaddq_s32(sums, vreinterpretq_s32_u32(vld1q_u32(extra)));
    }

    static void store(char* dst, int64_t step, Sums sums, int32_t half, int shift, int64_t count) {
        store_four(dst, step, vaddq_s32(sums, vdupq_n_s32(half)), shift, count);
    }
};

// ---- 8-bit lanes: 8 elements, 64-byte windows picked apart by tbl ----------------
//
// One product per int32 lane: tap 2r and tap 2r + 1 of the eight lanes each
// take two smlal (slots 0-3 into lo, 4-7 into hi).

struct NeonLanes {
    static constexpr int kLanes = 8;
    static constexpr int64_t kWindow = 64;
    static constexpr int64_t kWeightWindow = 64;
    struct Group {
        uint8x16_t x[2];     // tap 2r, 2r + 1: per lane the window byte of the tap, then 0xff
        uint8x16_t w[2];     // weight 2r, 2r + 1: per lane its two weight-window bytes
        int16x8_t counts;    // per lane: its tap count
        bool full;
    };
    struct Steps {
        int64x2_t lane[4];  // lanes 2k and 2k + 1: lane * source step
    };
    struct Acc {
        int32x4_t lo, hi;  // lanes 0-3, 4-7
    };

    static Steps steps_of(int64_t s) {
        Steps steps;
        for (int k = 0; k < 4; ++k) {
            const int64_t two[2] = {2 * k * s, (2 * k + 1) * s};
            steps.lane[k] = vld1q_s64(two);
        }
        return steps;
    }

    // Lanes whose int64 value v has 0 <= v <= most: a 16-bit mask per lane.
    static uint16x8_t within(const int64x2_t (&v)[4], int64_t most) {
        const uint64x2_t limit = vdupq_n_u64(static_cast<uint64_t>(most));
        uint32x4_t lo = vcombine_u32(vmovn_u64(vcleq_u64(vreinterpretq_u64_s64(v[0]), limit)),
                                     vmovn_u64(vcleq_u64(vreinterpretq_u64_s64(v[1]), limit)));
        uint32x4_t hi = vcombine_u32(vmovn_u64(vcleq_u64(vreinterpretq_u64_s64(v[2]), limit)),
                                     vmovn_u64(vcleq_u64(vreinterpretq_u64_s64(v[3]), limit)));
        return vcombine_u16(vmovn_u32(lo), vmovn_u32(hi));
    }

    static int16x8_t narrow(const int64x2_t (&v)[4]) {
        const int32x4_t lo = vcombine_s32(vmovn_s64(v[0]), vmovn_s64(v[1]));
        const int32x4_t hi = vcombine_s32(vmovn_s64(v[2]), vmovn_s64(v[3]));
        return vcombine_s16(vmovn_s32(lo), vmovn_s32(hi));
    }

    static void entries(const char* at, int64x2_t (&v)[4]) {
        const int64x2x4_t four = vld1q_s64_x4(reinterpret_cast<const int64_t*>(at));
        v[0] = four.val[0], v[1] = four.val[1], v[2] = four.val[2], v[3] = four.val[3];
    }

    static int leading(uint16x8_t ok) {
        const uint64_t bits = vget_lane_u64(vreinterpret_u64_u8(vmovn_u16(ok)), 0);  // a byte per lane
        return __builtin_ctzll(~bits | (uint64_t{1} << 63)) / 8;
    }

    static int element_group(const ResamplePass& p, int64_t i, int64_t max_taps, const Steps& steps, Group& g) {
        int64x2_t d[4], wd[4], c[4], c1[4], odd[4];
        entries(p.tap_min + 8 * i, d);
        entries(p.weight_offset + 8 * i, wd);
        entries(p.tap_count + 8 * i, c);
        const int64x2_t min0 = vdupq_n_s64(load<int64_t>(p.tap_min + 8 * i));
        const int64x2_t w0 = vdupq_n_s64(load<int64_t>(p.weight_offset + 8 * i));
        for (int k = 0; k < 4; ++k) {
            d[k] = vaddq_s64(vsubq_s64(d[k], min0), steps.lane[k]);
            wd[k] = vsubq_s64(wd[k], w0);
            c1[k] = vsubq_s64(c[k], vdupq_n_s64(1));
            odd[k] = vandq_s64(wd[k], vdupq_n_s64(1));
        }
        const uint16x8_t ok = vandq_u16(vandq_u16(within(d, kWindow - 1 - p.tap_stride), within(c1, max_taps - 1)),
                                        vandq_u16(within(wd, kWeightWindow - 4), within(odd, 0)));
        const int lanes = leading(ok);
        if (lanes == 0) return 0;
        const int16x8_t dx = narrow(d), wx = narrow(wd);
        g.counts = narrow(c);
        g.full = vminvq_u16(vceqq_s16(g.counts, vdupq_n_s16(static_cast<int16_t>(max_taps)))) != 0;
        const int16x8_t high = vdupq_n_s16(static_cast<int16_t>(0xff00));
        for (int h = 0; h < 2; ++h) {
            g.x[h] = vreinterpretq_u8_s16(vorrq_s16(vaddq_s16(dx, vdupq_n_s16(static_cast<int16_t>(h * p.tap_stride))), high));
            // Weight bytes wd + 2h and wd + 2h + 1.
            const int16x8_t at = vaddq_s16(wx, vdupq_n_s16(static_cast<int16_t>(2 * h)));
            g.w[h] = vreinterpretq_u8_s16(vorrq_s16(at, vshlq_n_s16(vaddq_s16(at, vdupq_n_s16(1)), 8)));
        }
        return lanes;
    }

    static int shared_group(const ResamplePass& p, Group& g) {
        if (p.src_step < 0 || p.src_step >= kWindow) return 0;
        const int64_t most = p.src_step == 0 ? kLanes : (kWindow - 1 - p.tap_stride) / p.src_step + 1;
        uint8_t index[2][16];
        for (int h = 0; h < 2; ++h)
            for (int e = 0; e < 8; ++e) {
                const int64_t at = e * p.src_step + h * p.tap_stride;
                index[h][2 * e] = at < kWindow ? static_cast<uint8_t>(at) : 0xff;
                index[h][2 * e + 1] = 0xff;
            }
        g.x[0] = vld1q_u8(index[0]);
        g.x[1] = vld1q_u8(index[1]);
        return static_cast<int>(std::min<int64_t>(most, kLanes));
    }

    static Acc start(int32_t half) { return {vdupq_n_s32(half), vdupq_n_s32(half)}; }

    static Acc multiply_add(Acc acc, int16x8_t x, int16x8_t w) {
        acc.lo = vmlal_s16(acc.lo, vget_low_s16(x), vget_low_s16(w));
        acc.hi = vmlal_high_s16(acc.hi, x, w);
        return acc;
    }

    static Acc round_elements(Acc acc, const Group& g, const char* x, const char* w, int64_t r) {
        const uint8x16x4_t window = window64(x), weights = window64(w);
        for (int h = 0; h < 2; ++h) {
            int16x8_t wh = vreinterpretq_s16_u8(vqtbl4q_u8(weights, g.w[h]));
            if (!g.full) wh = vandq_s16(wh, vreinterpretq_s16_u16(vcgtq_s16(g.counts, vdupq_n_s16(static_cast<int16_t>(2 * r + h)))));
            acc = multiply_add(acc, pick(window, g.x[h]), wh);
        }
        return acc;
    }

    // The shared pair's weights by lane: tap 2r times lane 0, tap 2r + 1 times lane 1.
    static Acc round_shared(Acc acc, const Group& g, const char* x, uint32_t weight_pair) {
        const uint8x16x4_t window = window64(x);
        const int16x4_t pair = vreinterpret_s16_u32(vdup_n_u32(weight_pair));
        const int16x8_t first = pick(window, g.x[0]), second = pick(window, g.x[1]);
        acc.lo = vmlal_lane_s16(acc.lo, vget_low_s16(first), pair, 0);
        acc.hi = vmlal_high_lane_s16(acc.hi, first, pair, 0);
        acc.lo = vmlal_lane_s16(acc.lo, vget_low_s16(second), pair, 1);
        acc.hi = vmlal_high_lane_s16(acc.hi, second, pair, 1);
        return acc;
    }

    static void store(char* dst, int64_t step, Acc acc, int shift, int lanes) {
        store_four(dst, step, acc.lo, shift, std::min(lanes, 4));
        if (lanes > 4) store_four(dst + 4 * step, step, acc.hi, shift, lanes - 4);
    }
};

struct NeonU8 {
    using Block = NeonBlockOps;
    using SmallBlock = NeonBlockOps;
    static constexpr int kBlocks = 3;
    using Pixels = NoPixels;
    using Lanes = NeonLanes;
    using Runs = NeonRuns;
    static constexpr int64_t kPixelsFrom = 9;
    static constexpr int64_t kRunsFrom = 9;
};

}  // namespace

void resample_f32_neon(const ResamplePass& p) { resample_f32_lanes<NeonF32Ops, 8>(p); }

void resample_u8_neon(const ResamplePass& p) { resample_u8_with<NeonU8>(p); }

}  // namespace zv_pt
