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

// Whether the kPixelLanes pixels from element i on are pixels of
// kElement-byte channels (pixel_at) with at least one tap, whose reads stay
// within the pass's ends: floats read 16 bytes from each tap and four
// weights from every fourth; bytes read 16 from each tap and four weights
// from each.  The tables' entries are read three at a time (ld3): per
// table, the channels' entries of two pixels in three vectors; the ends are
// taken as offsets from the source and the weights.
template <int64_t kElement>
inline bool neon_pixel_group(const ResamplePass& p, int64_t i, const PassEnds& ends) {
    static_assert(kPixelLanes % 2 == 0);
    const auto entries = [&](const char* table, int64_t at) {
        return vld3q_s64(reinterpret_cast<const int64_t*>(table + 8 * at));
    };
    const auto offset = [](uintptr_t end, const char* from) {
        return vdupq_n_s64(static_cast<int64_t>(end - reinterpret_cast<uintptr_t>(from)));
    };
    const int64x2_t x_end = offset(ends.x, p.src), w_end = offset(ends.w, p.weights);
    const int64x2_t one = vdupq_n_s64(kElement), two = vdupq_n_s64(2 * kElement), sixteen = vdupq_n_s64(16);
    uint64x2_t all = vdupq_n_u64(~uint64_t{0});
    const auto both = [&](uint64x2_t a, uint64x2_t b) { all = vandq_u64(all, vandq_u64(a, b)); };
    for (int64_t at = i; at < i + 3 * kPixelLanes; at += 6) {
        const int64x2x3_t m = entries(p.tap_min, at), c = entries(p.tap_count, at), w = entries(p.weight_offset, at);
        both(vceqq_s64(vsubq_s64(m.val[1], m.val[0]), one), vceqq_s64(vsubq_s64(m.val[2], m.val[0]), two));
        both(vceqq_s64(c.val[1], c.val[0]), vceqq_s64(c.val[2], c.val[0]));
        both(vceqq_s64(w.val[1], w.val[0]), vceqq_s64(w.val[2], w.val[0]));
        const int64x2_t last = vsubq_s64(c.val[0], vdupq_n_s64(1));
        // The last tap's pixel: 3 * kElement bytes a tap.
        const int64x2_t pixels = vaddq_s64(vshlq_n_s64(last, 1), last);
        int64x2_t x, wl;
        if constexpr (kElement == sizeof(float)) {
            x = vaddq_s64(vaddq_s64(m.val[0], sixteen), vshlq_n_s64(pixels, 2));
            wl = vaddq_s64(vaddq_s64(w.val[0], sixteen), vshlq_n_s64(vbicq_s64(last, vdupq_n_s64(3)), 2));
        } else {
            x = vaddq_s64(vaddq_s64(m.val[0], sixteen), pixels);
            wl = vaddq_s64(vaddq_s64(w.val[0], vdupq_n_s64(8)), vshlq_n_s64(last, 1));
        }
        both(vcgeq_s64(last, vdupq_n_s64(0)), vandq_u64(vcleq_s64(x, x_end), vcleq_s64(wl, w_end)));
    }
    return vminvq_u32(vreinterpretq_u32_u64(all)) != 0;
}

// Float pixels: the four floats from a tap's pixel hold its three channels in
// lanes 0 to 2 (lane 3 the next pixel's first, unused), so one fmla by the
// tap's weight's lane adds its three products.  Reads: 16 bytes from each
// tap's pixel, four weights from every fourth tap.

struct NeonF32PixelLanes {
    using T = float;
    using Acc = float32x4_t;

    static Acc start(int32_t) { return vdupq_n_f32(0.0f); }

    template <int kTaps>
    static Acc taps(Acc acc, const char* x, const char* w) {
        const float32x4_t weights = vld1q_f32(reinterpret_cast<const float*>(w));
        unrolled<kTaps>([&](auto t) {
            acc = vfmaq_laneq_f32(acc, vld1q_f32(reinterpret_cast<const float*>(x + 12 * t)), weights, t);
        });
        return acc;
    }
    static Acc tap(Acc acc, const char* x, const char* w) {
        return vfmaq_f32(acc, vld1q_f32(reinterpret_cast<const float*>(x)), vld1q_dup_f32(reinterpret_cast<const float*>(w)));
    }

    static bool pixel_group(const ResamplePass& p, int64_t i, const PassEnds& ends) {
        return neon_pixel_group<sizeof(float)>(p, i, ends);
    }

    // Each pixel's lane 3 lands on the next pixel's first element, which
    // that pixel's store then replaces; the last pixel stores three.
    static void store(char* dst, const Acc (&acc)[kPixelLanes], int) {
        float* out = reinterpret_cast<float*>(dst);
        for (int q = 0; q + 1 < kPixelLanes; ++q) vst1q_f32(out + 3 * q, acc[q]);
        float* last = out + 3 * (kPixelLanes - 1);
        vst1_f32(last, vget_low_f32(acc[kPixelLanes - 1]));
        vst1q_lane_f32(last + 2, acc[kPixelLanes - 1], 2);
    }
};

struct NeonF32Ops {
    using V = float32x4_t;
    static constexpr int kLanes = 4;
    // No window lanes: picking taps and weights from 64-byte windows by tbl
    // took about twice the instructions of the transposed lanes, per element
    // and shared (1920 to 1919 interleaved, per element: 67.9 against 36.3 an
    // element; 1280 to 640 bicubic planar, shared: 32.6 against 14.3).
    using Windows = NoWindows;
    using PixelLanes = NeonF32PixelLanes;

    static V zero() { return vdupq_n_f32(0.0f); }
    static V load(const char* at) { return vreinterpretq_f32_u8(load16(at)); }
    static V broadcast(const char* at) { return vdupq_n_f32(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return vfmaq_f32(acc, x, w); }
    template <class At>
    static V gather(const At& at, int64_t offset) {
        V v = vdupq_n_f32(zv_pt::load<float>(at[0] + offset));
        v = vsetq_lane_f32(zv_pt::load<float>(at[1] + offset), v, 1);
        v = vsetq_lane_f32(zv_pt::load<float>(at[2] + offset), v, 2);
        return vsetq_lane_f32(zv_pt::load<float>(at[3] + offset), v, 3);
    }

    // Four rows of four, transposed with trn1/trn2 on 32-bit then 64-bit lanes.
    template <class At>
    static void transposed(const At& at, int64_t offset, V (&out)[4]) {
        transpose(load(at[0] + offset), load(at[1] + offset), load(at[2] + offset), load(at[3] + offset), out);
    }

    // Every third float from each row's first, of twelve read from kBack
    // floats before it (ld3), transposed.
    template <int kBack, class At>
    static void deinterleaved(const At& at, int64_t offset, V (&out)[4]) {
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

// The four registers of a 64-byte window; loads read them whole.
inline uint8x16x4_t window64(const char* at) { return vld1q_u8_x4(reinterpret_cast<const uint8_t*>(at)); }

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

// Four sums shifted and narrowed to int16 with saturation (the first half
// of the clamp; vqmovun the second).
inline int16x4_t shifted16(int32x4_t sums, int shift) { return vqmovn_s32(vshlq_s32(sums, vdupq_n_s32(-shift))); }

// Shifts, clamps by the saturating narrows and stores the first `count` of
// the four sums.
inline void store_four(char* dst, int64_t step, int32x4_t sums, int shift, int64_t count) {
    const int16x4_t narrow = shifted16(sums, shift);
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
    // The products of all 16 slots: one sum, for fewer instructions than two
    // (the photo per phase, four elements a group: the two halves' sums had
    // taken four adds more a group).
    using Acc = int32x4_t;
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

    static Acc zero() { return vdupq_n_s32(0); }

    // A step's picks: slots 0-7, or all 16.  Steps of at most 8 taps skip
    // the second half; the weights past a step's taps are zero, so two picks
    // are always exact and the rest needs no test.
    static constexpr int kMostPicks = 2;
    static int picks(const Tail& tail) { return tail.quarters > 2 ? 2 : 1; }

    template <int kPicks>
    __attribute__((always_inline)) static Acc step_with(Acc acc, const char* x, const Weights& w, const Plan& plan) {
        const uint8x16x4_t window = window64(x);
        const int16x8_t first = pick(window, plan.index[0]);
        acc = vmlal_high_s16(vmlal_s16(acc, vget_low_s16(first), vget_low_s16(w.w[0])), first, w.w[0]);
        if constexpr (kPicks == 2) {
            const int16x8_t second = pick(window, plan.index[1]);
            acc = vmlal_high_s16(vmlal_s16(acc, vget_low_s16(second), vget_low_s16(w.w[1])), second, w.w[1]);
        }
        return acc;
    }

    static Acc step(Acc acc, const char* x, const Weights& w, const Tail& tail, const Plan& plan) {
        return picks(tail) == 2 ? step_with<2>(acc, x, w, plan) : step_with<1>(acc, x, w, plan);
    }

    static Sums reduce(const Acc (&acc)[4]) {
        return vpaddq_s32(vpaddq_s32(acc[0], acc[1]), vpaddq_s32(acc[2], acc[3]));
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
        bool zero;          // a source step of 0 (one call per line): nothing to add
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
        steps.zero = s == 0;
        return steps;
    }

    // Eight int64 values narrowed to 16 bits with unsigned saturation: a
    // negative value or one past 16 bits becomes 0xffff, which every check
    // below refuses, so that each check is one compare of eight lanes.
    static uint16x8_t saturated(const int64x2_t (&v)[4]) {
        auto u = [](int64x2_t x) { return vreinterpretq_u64_s64(x); };
        const uint32x4_t lo = vqmovn_high_u64(vqmovn_u64(u(v[0])), u(v[1]));
        const uint32x4_t hi = vqmovn_high_u64(vqmovn_u64(u(v[2])), u(v[3]));
        return vqmovn_high_u32(vqmovn_u32(lo), hi);
    }

    static void entries(const char* at, int64x2_t (&v)[4]) {
        const int64x2x4_t four = vld1q_s64_x4(reinterpret_cast<const int64_t*>(at));
        v[0] = four.val[0], v[1] = four.val[1], v[2] = four.val[2], v[3] = four.val[3];
    }

    static int leading(uint16x8_t ok) {
        const uint64_t bits = vget_lane_u64(vreinterpret_u64_u8(vmovn_u16(ok)), 0);  // a byte per lane
        return __builtin_ctzll(~bits | (uint64_t{1} << 63)) / 8;
    }

    // Elements i to i + 7 of packed tables: the source offset from the first
    // one's tap (with its lane's source step), the weight offset from the
    // first one's weights and the tap count, each checked against the windows.
    static int element_group(const ResamplePass& p, int64_t i, int64_t max_taps, const Steps& steps, Group& g) {
        int64x2_t d[4], wd[4], c[4];
        entries(p.tap_min + 8 * i, d);
        entries(p.weight_offset + 8 * i, wd);
        entries(p.tap_count + 8 * i, c);
        const int64x2_t min0 = vdupq_n_s64(load<int64_t>(p.tap_min + 8 * i));
        const int64x2_t w0 = vdupq_n_s64(load<int64_t>(p.weight_offset + 8 * i));
        for (int k = 0; k < 4; ++k) {
            d[k] = vsubq_s64(d[k], min0);
            if (!steps.zero) d[k] = vaddq_s64(d[k], steps.lane[k]);
            wd[k] = vsubq_s64(wd[k], w0);
        }
        const uint16x8_t dx = saturated(d), wx = saturated(wd), counts = saturated(c);
        auto at_most = [](uint16x8_t v, int64_t most) { return vcleq_u16(v, vdupq_n_u16(static_cast<uint16_t>(most))); };
        // Counts 1 .. max_taps (a count of 0 wraps to 0xffff), weights at even offsets within the window.
        const uint16x8_t ok = vbicq_u16(vandq_u16(vandq_u16(at_most(dx, kWindow - 1 - p.tap_stride),
                                                            at_most(vsubq_u16(counts, vdupq_n_u16(1)), max_taps - 1)),
                                                  at_most(wx, kWeightWindow - 4)),
                                        vtstq_u16(wx, vdupq_n_u16(1)));
        const int lanes = leading(ok);
        if (lanes == 0) return 0;
        g.counts = vreinterpretq_s16_u16(counts);
        g.full = vminvq_u16(vceqq_u16(counts, vdupq_n_u16(static_cast<uint16_t>(max_taps)))) != 0;
        const uint16x8_t high = vdupq_n_u16(0xff00);
        for (int h = 0; h < 2; ++h) {
            g.x[h] = vreinterpretq_u8_u16(vorrq_u16(vaddq_u16(dx, vdupq_n_u16(static_cast<uint16_t>(h * p.tap_stride))), high));
            // Weight bytes wd + 2h and wd + 2h + 1.
            const uint16x8_t at = vaddq_u16(wx, vdupq_n_u16(static_cast<uint16_t>(2 * h)));
            g.w[h] = vreinterpretq_u8_u16(vorrq_u16(at, vshlq_n_u16(vaddq_u16(at, vdupq_n_u16(1)), 8)));
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
        if (step == 1 && lanes == kLanes) {
            // All eight bytes at once (a line of taps of their own, mostly).
            const int16x8_t narrow = vcombine_s16(shifted16(acc.lo, shift), shifted16(acc.hi, shift));
            vst1_u8(reinterpret_cast<uint8_t*>(dst), vqmovun_s16(narrow));
            return;
        }
        store_four(dst, step, acc.lo, shift, std::min(lanes, 4));
        if (lanes > 4) store_four(dst + 4 * step, step, acc.hi, shift, lanes - 4);
    }
};

// ---- 8-bit pixels: a pixel's channels in the lanes of one vector ----------------
//
// The bytes from a tap's pixel hold that tap's three channels and the next
// three taps' a pixel apart: tbl picks two taps' channels into the 16-bit
// lanes 0 to 2 and 4 to 6 of a vector (zero-extended, lanes 3 and 7 zero),
// and one smlal by lane (smlal2 for the high half) adds a tap's weight's
// products for the three channels.

struct NeonU8PixelLanes {
    using T = uint8_t;
    using Acc = int32x4_t;

    static Acc start(int32_t half) { return vdupq_n_s32(half); }

    // Taps 2k and 2k + 1 of a load: bytes 6k + c and 6k + 3 + c, then 0xff (zero).
    static constexpr std::array<std::array<uint8_t, 16>, 2> kPick = [] {
        std::array<std::array<uint8_t, 16>, 2> pick{};
        for (auto& p : pick)
            for (auto& byte : p) byte = 0xff;
        for (size_t k = 0; k < 2; ++k)
            for (size_t t = 0; t < 2; ++t)
                for (size_t c = 0; c < 3; ++c) pick[k][8 * t + 2 * c] = static_cast<uint8_t>(6 * k + 3 * t + c);
        return pick;
    }();

    template <int kTaps>
    static Acc taps(Acc acc, const char* x, const char* w) {
        static_assert(kTaps >= 1 && kTaps <= 4);
        const uint8x16_t bytes = load16(x);
        const int16x4_t weights = vld1_s16(reinterpret_cast<const int16_t*>(w));
        const int16x8_t first = vreinterpretq_s16_u8(vqtbl1q_u8(bytes, vld1q_u8(kPick[0].data())));
        acc = vmlal_lane_s16(acc, vget_low_s16(first), weights, 0);
        if constexpr (kTaps > 1) acc = vmlal_high_lane_s16(acc, first, weights, 1);
        if constexpr (kTaps > 2) {
            const int16x8_t second = vreinterpretq_s16_u8(vqtbl1q_u8(bytes, vld1q_u8(kPick[1].data())));
            acc = vmlal_lane_s16(acc, vget_low_s16(second), weights, 2);
            if constexpr (kTaps > 3) acc = vmlal_high_lane_s16(acc, second, weights, 3);
        }
        return acc;
    }

    static Acc tap(Acc acc, const char* x, const char* w) { return taps<1>(acc, x, w); }

    static bool pixel_group(const ResamplePass& p, int64_t i, const PassEnds& ends) {
        return neon_pixel_group<1>(p, i, ends);
    }

    // The four pixels' channels, shifted, clamped and packed to 12 bytes.
    static void store(char* dst, const Acc (&acc)[kPixelLanes], int shift) {
        static_assert(kPixelLanes == 4);
        static constexpr uint8_t kPacked[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0};
        const uint8x16_t bytes =
            vcombine_u8(vqmovun_s16(vcombine_s16(shifted16(acc[0], shift), shifted16(acc[1], shift))),
                        vqmovun_s16(vcombine_s16(shifted16(acc[2], shift), shifted16(acc[3], shift))));
        const uint8x16_t packed = vqtbl1q_u8(bytes, vld1q_u8(kPacked));
        vst1_u8(reinterpret_cast<uint8_t*>(dst), vget_low_u8(packed));
        vst1q_lane_u32(reinterpret_cast<uint32_t*>(dst + 8), vreinterpretq_u32_u8(packed), 2);
    }
};

struct NeonU8 {
    using Block = NeonBlockOps;
    using SmallBlock = NeonBlockOps;
    static constexpr int kBlocks = 3;
    using Pixels = NoPixels;
    using PixelLanes = NeonU8PixelLanes;
    using Lanes = NeonLanes;
    using Runs = NeonRuns;
    static constexpr int64_t kPixelsFrom = 9;
    static constexpr int64_t kRunsFrom = 9;
    // 640 to 1280 bilinear, period 2: 37.2 instructions an element with
    // their own taps, 13.3 in spans.
    static constexpr int64_t kSharedSpanPeriods = kMaxSpanPeriod;
};

}  // namespace

void resample_f32_neon(const ResamplePass& p) { resample_f32_lanes<NeonF32Ops, 8>(p); }

void resample_u8_neon(const ResamplePass& p) { resample_u8_with<NeonU8>(p); }

}  // namespace zv_pt
