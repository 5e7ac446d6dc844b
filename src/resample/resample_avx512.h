// AVX-512 resampling ops (F, BW, VL; with VNNI where the including file is
// compiled for it): the 8-bit ops, 64 output bytes per block, and the table
// entries of 16 elements that they share with the float ops
// (resample_avx512_f32.h).  Included once by resample_avx512.cc and once by
// resample_avx512icl.cc, each compiled for its level.
#pragma once

// GCC 12's AVX-512 headers fill unused merge operands with a deliberately
// undefined value, which -Wmaybe-uninitialized reports; no value of ours is
// uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "resample/resample_u8_paths.h"
#include "resample/resample_x86.h"

namespace zv_pt {
namespace {

inline __m512i widen_low(__m512i bytes) { return _mm512_cvtepu8_epi16(_mm512_castsi512_si256(bytes)); }
inline __m512i widen_high(__m512i bytes) { return _mm512_cvtepu8_epi16(_mm512_extracti64x4_epi64(bytes, 1)); }

// Bytes of a 64-byte window picked into zero-extended 16-bit slots: slot m
// takes byte index[m] (< 64).  With VBMI one byte permutation under a mask of
// the slots' low bytes (an index below 64 is its own low byte); without, the
// window widened to words and one word permutation.
template <bool kVbmi>
inline __m512i pick_slots(__m512i window, __m512i index) {
    if constexpr (kVbmi) {
#if defined(__AVX512VBMI__)
        return _mm512_maskz_permutexvar_epi8(0x5555555555555555ull, index, window);
#endif
    } else {
        return _mm512_permutex2var_epi16(widen_low(window), index, widen_high(window));
    }
}

// ---- 16 elements' table entries, relative to the first element's ----------------

struct Avx512Steps {
    __m512i lo, hi;  // lanes 0-7 and 8-15: lane * source step (int64)

    static Avx512Steps of(int64_t src_step) {
        const __m512i step = _mm512_set1_epi64(src_step);
        return {_mm512_mullo_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7), step),
                _mm512_mullo_epi64(_mm512_setr_epi64(8, 9, 10, 11, 12, 13, 14, 15), step)};
    }
};

// Elements i to i + 15 of packed tables, one 32-bit lane each: the source
// offset from the first one's tap (with its lane's source step), the weight
// offset from the first one's weights, the tap count.  They are worked out in
// 64 bits and narrowed with unsigned saturation, so that a negative value or
// one past 32 bits becomes 0xffffffff, which every check below refuses; the
// checks then take one instruction each, masked by the ones before.
struct Avx512Entries {
    __m512i d, wd, c;

    Avx512Entries(const ResamplePass& p, int64_t i, const Avx512Steps& steps) {
        const char* tap_min = p.tap_min + 8 * i;
        const char* weight_offset = p.weight_offset + 8 * i;
        const char* tap_count = p.tap_count + 8 * i;
        auto entries = [](const char* at, int half) { return _mm512_loadu_si512(at + 64 * half); };
        const __m512i min0 = _mm512_set1_epi64(zv_pt::load<int64_t>(tap_min));
        const __m512i w0 = _mm512_set1_epi64(zv_pt::load<int64_t>(weight_offset));
        d = saturated(_mm512_add_epi64(_mm512_sub_epi64(entries(tap_min, 0), min0), steps.lo),
                      _mm512_add_epi64(_mm512_sub_epi64(entries(tap_min, 1), min0), steps.hi));
        wd = saturated(_mm512_sub_epi64(entries(weight_offset, 0), w0), _mm512_sub_epi64(entries(weight_offset, 1), w0));
        c = saturated(entries(tap_count, 0), entries(tap_count, 1));
    }

    // From the lanes' values, worked out elsewhere.
    Avx512Entries(__m512i d_lanes, __m512i wd_lanes, __m512i c_lanes) : d(d_lanes), wd(wd_lanes), c(c_lanes) {}

    static __m512i saturated(__m512i lo, __m512i hi) {
        return _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtusepi64_epi32(lo)), _mm512_cvtusepi64_epi32(hi), 1);
    }

    // The lanes of `k` whose values are at most `most` (none where most < 0:
    // a run that no window holds).
    static __mmask16 fits(__mmask16 k, __m512i v, int64_t most) {
        if (most < 0) return 0;
        const int32_t limit = static_cast<int32_t>(std::min<int64_t>(most, INT32_MAX));
        return _mm512_mask_cmple_epu32_mask(k, v, _mm512_set1_epi32(limit));
    }
    // The lanes of `k` whose values are multiples of `unit` (a power of two).
    static __mmask16 multiples(__mmask16 k, __m512i v, int32_t unit) {
        return _mm512_mask_testn_epi32_mask(k, v, _mm512_set1_epi32(unit - 1));
    }
    // The lanes of `k` with 1 to `most` taps.
    __mmask16 counts_fit(__mmask16 k, int64_t most) const {
        return fits(k, _mm512_sub_epi32(c, _mm512_set1_epi32(1)), most - 1);
    }
};

// True when one of elements i .. i + 15 (packed tables) has more than `count` taps.
inline bool has_more_taps(const ResamplePass& p, int64_t i, int64_t count) {
    const char* at = p.tap_count + 8 * i;
    const __m512i c = _mm512_set1_epi64(count);
    return (_mm512_cmpgt_epi64_mask(_mm512_loadu_si512(at), c) | _mm512_cmpgt_epi64_mask(_mm512_loadu_si512(at + 64), c)) != 0;
}

// ---- 8-bit lanes: 16 elements, windows of 128 (VBMI) or 64 source bytes -------
//
// With VBMI a round's taps are picked out of two vectors of source bytes by
// vpermt2b, so that 16 lanes of elements up to 7 bytes apart (every third or
// second pixel of an interleaved line, as halving and thirding phases read
// them) fit one window; a group that fits 64 bytes takes one vector.

// Both 16-bit halves of every lane: v in the low one, v + step in the high one.
inline __m512i pair_index(__m512i v, int32_t step) {
    return _mm512_or_si512(v, _mm512_slli_epi32(_mm512_add_epi32(v, _mm512_set1_epi32(step)), 16));
}

// Shifts, clamps to 0..255 and stores the first `lanes` of 16 sums.
inline void store_bytes16(char* dst, int64_t step, __m512i sums, int shift, int64_t lanes) {
    const __m512i v = _mm512_max_epi32(_mm512_sra_epi32(sums, _mm_cvtsi32_si128(shift)), _mm512_setzero_si512());
    const __m128i bytes = _mm512_cvtusepi32_epi8(v);
    if (step == 1 && lanes == 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), bytes);  // no mask where none is needed: faster on Zen 4
    } else if (step == 1 && lanes == 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), bytes);
    } else if (step == 1) {
        _mm_mask_storeu_epi8(dst, static_cast<__mmask16>(low_bits(lanes)), bytes);
    } else if (step > 1 && step <= kSpreadSteps) {
        store_spread(dst, step, bytes, lanes);
    } else {
        uint8_t spilled[16];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(spilled), bytes);
        scatter_bytes(dst, step, spilled, lanes);
    }
}

template <bool kVnni, bool kVbmi>
struct Avx512Lanes {
    static constexpr int kLanes = 16;
    static constexpr int64_t kWindow = kVbmi ? 128 : 64;
    static constexpr int64_t kWeightWindow = 256;  // two halves of 128 bytes, the second one read where needed
    struct Group {
        __m512i x;       // per lane: the window slots of its two taps (16-bit halves)
        __m512i w;       // per lane: the weight-window slots of its two weights
        __m512i counts;  // per lane: its tap count in both halves
        __mmask32 high;  // the weight slots in the window's second half
        bool full;       // every lane has all the rounds' taps
        int64_t window;  // source bytes a round reads: 64, or 128 where that gives the group more lanes
    };
    using Steps = Avx512Steps;
    using Acc = __m512i;

    static Steps steps_of(int64_t src_step) { return Avx512Steps::of(src_step); }

    // The leading lanes `fits(window)` admits, in the narrower window that
    // admits as many as the widest does.
    template <class Fits>
    static int leading_in_window(Group& g, Fits fits) {
        g.window = 64;
        const int lanes = leading_lanes(fits(64));
        if (kWindow == 64 || lanes == kLanes) return lanes;
        const int wide = leading_lanes(fits(kWindow));
        if (wide == lanes) return lanes;
        g.window = kWindow;
        return wide;
    }

    static bool longer_taps(const ResamplePass& p, int64_t i, int64_t count) { return has_more_taps(p, i, count); }

    static int element_group(const ResamplePass& p, int64_t i, int64_t max_taps, const Steps& steps, Group& g) {
        return group_of(Avx512Entries(p, i, steps), p.tap_stride, p.tap_stride, max_taps, g);
    }

    // The group of the lanes' entries e, taps `ts` bytes apart, whose picks
    // reach `reach` bytes past a lane's first one in a round.
    static int group_of(const Avx512Entries& e, int64_t ts, int64_t reach, int64_t max_taps, Group& g) {
        using E = Avx512Entries;
        const __mmask16 ok = E::fits(E::multiples(e.counts_fit(0xffff, max_taps), e.wd, 2), e.wd, kWeightWindow - 4);
        const int lanes = leading_in_window(g, [&](int64_t window) { return E::fits(ok, e.d, window - 1 - reach); });
        g.x = pair_index(e.d, static_cast<int32_t>(ts));
        g.w = pair_index(_mm512_srli_epi32(e.wd, 1), 1);
        g.counts = _mm512_or_si512(e.c, _mm512_slli_epi32(e.c, 16));
        g.high = _mm512_test_epi16_mask(g.w, _mm512_set1_epi16(64));
        // Every lane with all the rounds' taps needs no masks.
        g.full = _mm512_cmpeq_epi32_mask(e.c, _mm512_set1_epi32(static_cast<int32_t>(max_taps))) == 0xffff;
        return lanes;
    }

    static int shared_group(const ResamplePass& p, Group& g) {
        if (p.src_step < 0) return 0;
        // Lane k's window holds its taps when k * src_step + tap_stride < window.
        const int lanes = leading_in_window(g, [&](int64_t window) {
            const int64_t most = p.src_step == 0 ? kLanes : (window - 1 - p.tap_stride) / p.src_step + 1;
            return static_cast<uint32_t>(low_bits(std::clamp<int64_t>(most, 0, kLanes)));
        });
        const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m512i d = _mm512_mullo_epi32(lane, _mm512_set1_epi32(static_cast<int32_t>(p.src_step < kWindow ? p.src_step : 0)));
        g.x = pair_index(d, static_cast<int32_t>(p.tap_stride));
        return lanes;
    }

    static Acc start(int32_t half) { return _mm512_set1_epi32(half); }

    // The weight bytes a round of g reads: the window's second half only
    // where a lane's weights lie there.
    static int64_t weight_window(const Group& g) { return g.high ? kWeightWindow : kWeightWindow / 2; }

    // A round's taps, from windows that `load` reads, picked by `index`
    // (g.x, or the same moved on to another channel).
    template <class Load>
    static __m512i taps(const Group& g, __m512i index, const char* x, Load load) {
        if constexpr (kVbmi)
            if (g.window > 64) return _mm512_maskz_permutex2var_epi8(0x5555555555555555ull, load(x), index, load(x + 64));
        return pick_slots<kVbmi>(load(x), index);
    }
    template <class Load>
    static __m512i taps(const Group& g, const char* x, Load load) {
        return taps(g, g.x, x, load);
    }

    // The lanes' weights of round r, from windows that `load` reads.
    template <class Load>
    static __m512i round_weights(const Group& g, const char* w, int64_t r, Load load) {
        __m512i weights = _mm512_permutex2var_epi16(load(w), g.w, load(w + 64));
        if (g.high)
            weights = _mm512_mask_mov_epi16(weights, g.high, _mm512_permutex2var_epi16(load(w + 128), g.w, load(w + 192)));
        if (!g.full) {
            // Slots past a lane's count weigh nothing.
            const __m512i tap = _mm512_set1_epi32(static_cast<int32_t>((2 * r) | (2 * r + 1) << 16));
            weights = _mm512_maskz_mov_epi16(_mm512_cmpgt_epi16_mask(g.counts, tap), weights);
        }
        return weights;
    }

    template <class LoadX, class LoadW>
    static Acc round_with(Acc acc, const Group& g, const char* x, const char* w, int64_t r, LoadX load_x, LoadW load_w) {
        return dot_add<kVnni>(acc, taps(g, x, load_x), round_weights(g, w, r, load_w));
    }

    static __m512i load_window(const char* at) { return _mm512_loadu_si512(at); }

    // The bytes from `at` up to `end`, at most `most`.
    static int64_t room(const char* at, uintptr_t end, int64_t most) {
        const uintptr_t a = reinterpret_cast<uintptr_t>(at);
        return a >= end ? 0 : static_cast<int64_t>(std::min<uintptr_t>(end - a, static_cast<uintptr_t>(most)));
    }

    // 64 bytes from `at` of which those from `end` on read as zero, untouched.
    static __m512i load_before(const char* at, uintptr_t end) {
        return _mm512_maskz_loadu_epi8(static_cast<__mmask64>(low_bits(room(at, end, 64))), at);
    }

    static Acc round_elements(Acc acc, const Group& g, const char* x, const char* w, int64_t r) {
        return round_with(acc, g, x, w, r, load_window, load_window);
    }

    // The leading lanes (at most `lanes`) of elements i .. i + 15 whose taps
    // and weights end at or before the pass's ends, where the group's windows
    // would pass them; round_clipped reads no byte past them.
    static int lanes_within(const ResamplePass& p, int64_t i, const Steps& steps, const TapRun& r, const PassEnds& ends,
                            int lanes) {
        auto room32 = [](const char* at, uintptr_t end) { return static_cast<int32_t>(room(at, end, INT32_MAX)); };
        // The leading lanes' offsets and counts are small: d < 128, 1 <= c <= 16.
        const Avx512Entries e(p, i, steps);
        const __m512i c1 = _mm512_sub_epi32(e.c, _mm512_set1_epi32(1));
        const __m512i tap_end = _mm512_add_epi32(_mm512_add_epi32(e.d, _mm512_mullo_epi32(c1, _mm512_set1_epi32(static_cast<int32_t>(p.tap_stride)))),
                                                 _mm512_set1_epi32(1));
        const __m512i weight_end = _mm512_add_epi32(e.wd, _mm512_slli_epi32(e.c, 1));
        const __mmask16 ok = _mm512_mask_cmple_epu32_mask(_mm512_cmple_epu32_mask(tap_end, _mm512_set1_epi32(room32(r.first, ends.x))),
                                                          weight_end, _mm512_set1_epi32(room32(r.weights, ends.w)));
        return std::min(lanes, leading_lanes(ok));
    }

    static Acc round_clipped(Acc acc, const Group& g, const char* x, const char* w, int64_t r, const PassEnds& ends) {
        return round_with(acc, g, x, w, r, [&](const char* at) { return load_before(at, ends.x); },
                          [&](const char* at) { return load_before(at, ends.w); });
    }

    static Acc round_shared(Acc acc, const Group& g, const char* x, uint32_t weight_pair) {
        return dot_add<kVnni>(acc, taps(g, x, load_window), _mm512_set1_epi32(static_cast<int32_t>(weight_pair)));
    }

    static Acc round_shared_clipped(Acc acc, const Group& g, const char* x, uint32_t weight_pair, const PassEnds& ends) {
        return dot_add<kVnni>(acc, taps(g, x, [&](const char* at) { return load_before(at, ends.x); }),
                              _mm512_set1_epi32(static_cast<int32_t>(weight_pair)));
    }

    static void store(char* dst, int64_t step, Acc acc, int shift, int lanes) { store_bytes16(dst, step, acc, shift, lanes); }
};

// The masks of a pixels step of 0 to kTaps taps: its source bytes in the two
// halves of a window of 2 * kHalf bytes, and its weights.
template <class Tail, int64_t kTaps, int64_t kHalf>
constexpr std::array<Tail, kTaps + 1> pixel_tails() {
    std::array<Tail, kTaps + 1> tails{};
    for (int64_t taps = 0; taps <= kTaps; ++taps) {
        const int64_t bytes = 3 * taps;
        Tail& t = tails[static_cast<size_t>(taps)];
        t.low = static_cast<decltype(t.low)>(low_bits(std::min(bytes, kHalf)));
        t.high = static_cast<decltype(t.high)>(low_bits(std::max<int64_t>(bytes - kHalf, 0)));
        t.weights = static_cast<decltype(t.weights)>(low_bits(taps));
    }
    return tails;
}

// ---- 8-bit pixels: masked windows, the three channels picked by permutes -------
//
// kVbmi: a step's window is 128 bytes (32 taps of every channel), its bytes
// picked straight into zero-extended slots by vpermt2b; without, 64 bytes
// (21 taps) widened to words and picked by vpermt2w.  The loads are masked
// to the step's taps and weights, so nothing else is read.  Each channel's
// sum folds to 256 bits per pixel and groups of eight pixels are reduced as
// the 256-bit paths do.

template <bool kVnni, bool kVbmi>
struct Avx512Pixels {
    static constexpr int kPixels = 8;
    static constexpr bool kExactLoads = true;

    // The 24 entries of the 8 pixels in each table, in three vectors, against
    // each entry's pixel's first one (permuted into place), plus 0, 1, 2 for
    // the first taps.
    static uint32_t pixels_at(const ResamplePass& p, int64_t i) {
        // Entry 8k + l's pixel's first entry, in vectors k - 1 and k (k = 1, 2)
        // or k (k = 0).
        const __m512i first0 = _mm512_setr_epi64(0, 0, 0, 3, 3, 3, 6, 6);
        const __m512i first1 = _mm512_setr_epi64(6, 9, 9, 9, 12, 12, 12, 15);   // 6 from vector 0, the rest from 1
        const __m512i first2 = _mm512_setr_epi64(7, 7, 10, 10, 10, 13, 13, 13);  // 15 (7) from 1, the rest from 2 (8 on)
        const __m512i channel[3] = {_mm512_setr_epi64(0, 1, 2, 0, 1, 2, 0, 1), _mm512_setr_epi64(2, 0, 1, 2, 0, 1, 2, 0),
                                    _mm512_setr_epi64(1, 2, 0, 1, 2, 0, 1, 2)};
        uint32_t same = 0xffffff;  // bit e: entry e as its pixel's first entry says, in every table
        for (const char* table : {p.tap_min, p.tap_count, p.weight_offset}) {
            const char* at = table + 8 * i;
            const __m512i v0 = _mm512_loadu_si512(at), v1 = _mm512_loadu_si512(at + 64), v2 = _mm512_loadu_si512(at + 128);
            __m512i want[3] = {_mm512_permutexvar_epi64(first0, v0), _mm512_permutex2var_epi64(v0, first1, v1),
                               _mm512_permutex2var_epi64(v1, first2, v2)};
            if (table == p.tap_min)
                for (int k = 0; k < 3; ++k) want[k] = _mm512_add_epi64(want[k], channel[k]);
            same &= static_cast<uint32_t>(_mm512_cmpeq_epi64_mask(v0, want[0])) |
                    static_cast<uint32_t>(_mm512_cmpeq_epi64_mask(v1, want[1])) << 8 |
                    static_cast<uint32_t>(_mm512_cmpeq_epi64_mask(v2, want[2])) << 16;
        }
        // Bit 3q: all three entries of pixel q; then bits 3q moved to q.
        uint32_t x = same & same >> 1 & same >> 2 & 0x249249u;
        x = (x | x >> 2) & 0x0c30c3u;
        x = (x | x >> 4) & 0x00f00fu;
        return (x | x >> 8) & 0xffu;
    }

    static constexpr int64_t kTaps = kVbmi ? 32 : 21;
    struct Tail {
        __mmask64 low, high;  // the step's source bytes in the two halves of the window
        __mmask32 weights;
    };
    struct Plan {
        int64_t taps;
        int64_t window;        // unused: the loads are masked
        int64_t weight_bytes;  // likewise
        __m512i index[3];      // per channel: the window byte (VBMI) or word of tap t
        Tail full;
    };
    using Acc = __m512i;
    using Sums = __m256i;

    static constexpr std::array<std::array<uint8_t, 64>, 3> kIndex = [] {
        std::array<std::array<uint8_t, 64>, 3> index{};
        for (size_t c = 0; c < 3; ++c)
            for (size_t t = 0; t < static_cast<size_t>(kTaps); ++t) index[c][2 * t] = static_cast<uint8_t>(3 * t + c);
        return index;
    }();

    static void plan(Plan& plan) {
        plan.taps = kTaps;
        plan.window = plan.weight_bytes = 0;
        for (size_t c = 0; c < 3; ++c) plan.index[c] = _mm512_loadu_si512(kIndex[c].data());
        plan.full = tail(plan, kTaps);
    }

    static constexpr std::array<Tail, kTaps + 1> kTails = pixel_tails<Tail, kTaps, 64>();

    static Tail tail(const Plan&, int64_t taps) { return kTails[static_cast<size_t>(taps)]; }

    // The tail rides along with the weights: the step's source masks are
    // those of its weights' taps.
    struct StepWeights {
        __m512i w;
        Tail tail;
    };
    static StepWeights weights(const char* w, const Tail& tail, const Plan&) {
        return {_mm512_maskz_loadu_epi16(tail.weights, w), tail};
    }

    static Acc zero() { return _mm512_setzero_si512(); }

    static void step(Acc& r, Acc& g, Acc& b, const char* x, const StepWeights& sw, const Plan& plan) {
        __m512i slots[3];
        if constexpr (kVbmi) {
            const __m512i lo = _mm512_maskz_loadu_epi8(sw.tail.low, x);
            const __m512i hi = _mm512_maskz_loadu_epi8(sw.tail.high, x + 64);
            for (int c = 0; c < 3; ++c)
                slots[c] = _mm512_maskz_permutex2var_epi8(0x5555555555555555ull, lo, plan.index[c], hi);
        } else {
            const __m512i window = _mm512_maskz_loadu_epi8(sw.tail.low, x);
            const __m512i lo = widen_low(window), hi = widen_high(window);
            for (int c = 0; c < 3; ++c) slots[c] = _mm512_permutex2var_epi16(lo, plan.index[c], hi);
        }
        r = dot_add<kVnni>(r, slots[0], sw.w);
        g = dot_add<kVnni>(g, slots[1], sw.w);
        b = dot_add<kVnni>(b, slots[2], sw.w);
    }

    using Half = __m256i;
    using Pair = __m256i;
    static Half fold(Acc acc) { return _mm256_add_epi32(_mm512_castsi512_si256(acc), _mm512_extracti64x4_epi64(acc, 1)); }
    static Pair pair(Half a, Half b) { return hadd32(a, b); }
    static Sums reduce(const Pair (&pairs)[kPixels / 2]) { return lane_sums_of_pairs(pairs); }

    static void store3(char* dst, const Sums (&sums)[3], const uint32_t (&extra)[3][kPixels], int32_t half, int shift) {
        ShufflePixels<Ymm, kVnni>::store3(dst, sums, extra, half, shift);
    }
};

// ---- 8-bit short pixels: 16 taps a step in 256-bit vectors (VBMI) ---------------
//
// Pixels of up to 16 taps (a bilinear shrink by up to 8) need half the slots
// of the 512-bit step: each channel's taps are picked out of 64 bytes into a
// 256-bit vector, so a pixel takes three 256-bit picks and multiply-adds and
// its sums need no folding.  Longer runs take several steps; past the 32 taps
// of one 512-bit step these are faster than 512-bit ones (33 to 128 taps on
// Zen 4: 10 to 35% a pixel; 1920 to 224 bicubic, 34 taps: 8.9 to 7.2 ns).

template <bool kVnni>
struct Avx512ShortPixels {
    static constexpr int kPixels = 8;
    static constexpr int64_t kTaps = 16;
    static constexpr bool kExactLoads = true;

    static uint32_t pixels_at(const ResamplePass& p, int64_t i) { return Avx512Pixels<kVnni, true>::pixels_at(p, i); }

    struct Tail {
        __mmask32 low, high;  // the step's source bytes in the two halves of the window
        __mmask16 weights;
    };
    struct Plan {
        int64_t taps;
        int64_t window;        // unused: the loads are masked
        int64_t weight_bytes;  // likewise
        __m256i index[3];      // per channel: the window byte of tap t in slot t
        Tail full;
    };
    using Acc = __m256i;
    using Half = __m256i;
    using Pair = __m256i;
    using Sums = __m256i;

    static constexpr std::array<std::array<uint8_t, 32>, 3> kIndex = [] {
        std::array<std::array<uint8_t, 32>, 3> index{};
        for (size_t c = 0; c < 3; ++c)
            for (size_t t = 0; t < static_cast<size_t>(kTaps); ++t) index[c][2 * t] = static_cast<uint8_t>(3 * t + c);
        return index;
    }();
    static constexpr std::array<Tail, kTaps + 1> kTails = pixel_tails<Tail, kTaps, 32>();

    static void plan(Plan& plan) {
        plan.taps = kTaps;
        plan.window = plan.weight_bytes = 0;
        for (size_t c = 0; c < 3; ++c) plan.index[c] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kIndex[c].data()));
        plan.full = tail(plan, kTaps);
    }

    static Tail tail(const Plan&, int64_t taps) { return kTails[static_cast<size_t>(taps)]; }

    struct StepWeights {
        __m256i w;
        Tail tail;
    };
    static StepWeights weights(const char* w, const Tail& tail, const Plan&) {
        return {_mm256_maskz_loadu_epi16(tail.weights, w), tail};
    }

    static Acc zero() { return _mm256_setzero_si256(); }

    static void step(Acc& r, Acc& g, Acc& b, const char* x, const StepWeights& sw, const Plan& plan) {
        const __m256i lo = _mm256_maskz_loadu_epi8(sw.tail.low, x), hi = _mm256_maskz_loadu_epi8(sw.tail.high, x + 32);
        __m256i slots[3];
        for (int c = 0; c < 3; ++c) slots[c] = _mm256_maskz_permutex2var_epi8(0x55555555u, lo, plan.index[c], hi);
        r = dot_add<kVnni>(r, slots[0], sw.w);
        g = dot_add<kVnni>(g, slots[1], sw.w);
        b = dot_add<kVnni>(b, slots[2], sw.w);
    }

    static Half fold(Acc acc) { return acc; }
    static Pair pair(Half a, Half b) { return hadd32(a, b); }
    static Sums reduce(const Pair (&pairs)[kPixels / 2]) { return lane_sums_of_pairs(pairs); }

    static void store3(char* dst, const Sums (&sums)[3], const uint32_t (&extra)[3][kPixels], int32_t half, int shift) {
        ShufflePixels<Ymm, kVnni>::store3(dst, sums, extra, half, shift);
    }
};

// ---- 8-bit runs of their own: up to 32 taps a step, masked loads ---------------
//
// For elements with taps of their own (a planar host's tables, say): the
// loads are masked to the step's taps and weights, so an element needs no
// check against the pass's end, and 512 bits take 32 taps a step: adjacent
// taps zero-extended straight from 32 bytes, others picked out of 64 bytes
// widened to words.

// Taps per step at a tap stride: those within 64 bytes, at most 32.
constexpr int64_t avx512_run_taps(int64_t ts) { return std::min<int64_t>(32, 63 / ts + 1); }

// The most taps a step of the runs takes (adjacent taps).
constexpr int64_t kMostRunTaps = avx512_run_taps(1);

template <bool kVnni, bool kVbmi>
struct Avx512Runs {
    static constexpr int kLanes = 16;
    static constexpr bool kExactLoads = true;
    struct Tail {
        __mmask64 bytes;
        __mmask32 weights;
    };
    // The masks of a step of 1 .. kMostRunTaps taps, at one stride.
    using Tails = std::array<Tail, kMostRunTaps + 1>;
    struct Plan {
        int64_t taps;
        int64_t stride;
        __m512i index;       // slot t: window word t * stride
        const Tails* tails;  // the stride's masks
        Tail full;
    };
    using Acc = __m512i;
    using Sums = __m512i;
    using Weights = __m512i;

    static constexpr std::array<std::array<int16_t, 32>, kMaxTableStride + 1> kIndex =
        per_stride<std::array<int16_t, 32>>([](int ts) {
            std::array<int16_t, 32> index{};
            for (int64_t t = 0; t < avx512_run_taps(ts); ++t) index[static_cast<size_t>(t)] = static_cast<int16_t>(t * ts);
            return index;
        });

    // Read from a table per stride, a step's masks take an element's last
    // step one load instead of two shifts, compares and moves into mask
    // registers.
    static constexpr std::array<Tails, kMaxTableStride + 1> kTails = per_stride<Tails>([](int ts) {
        Tails tails{};
        for (int64_t t = 1; t <= kMostRunTaps; ++t)
            tails[static_cast<size_t>(t)] = {low_bits((t - 1) * ts + 1), static_cast<__mmask32>(low_bits(t))};
        return tails;
    });

    static Tail tail(const Plan& plan, int64_t taps) { return (*plan.tails)[static_cast<size_t>(taps)]; }

    static bool plan(int64_t ts, Plan& plan) {
        if (ts < 1 || ts > kMaxTableStride) return false;
        plan.stride = ts;
        plan.taps = avx512_run_taps(ts);
        plan.index = _mm512_loadu_si512(kIndex[static_cast<size_t>(ts)].data());
        plan.tails = &kTails[static_cast<size_t>(ts)];
        plan.full = tail(plan, plan.taps);
        return true;
    }

    static Weights weights(const char* w, const Tail& tail, const Plan&) { return _mm512_maskz_loadu_epi16(tail.weights, w); }

    static Acc zero() { return _mm512_setzero_si512(); }

    static Acc step(Acc acc, const char* x, Weights weights, const Tail& tail, const Plan& plan) {
        __m512i slots;
        if (plan.stride == 1) {
            slots = _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(static_cast<__mmask32>(tail.bytes), x));
        } else {
            slots = pick_slots<kVbmi>(_mm512_maskz_loadu_epi8(tail.bytes, x), plan.index);
        }
        return dot_add<kVnni>(acc, slots, weights);
    }

    // Lane e: the sum of acc[e]'s lanes.  Halves of pairs, then of quads,
    // then within 128-bit blocks; the lanes come out as element 4q + b in
    // block b, slot q, and one permutation puts them in order.
    static Sums reduce(const Acc (&acc)[16]) {
        __m512i half[8], quarter[4];
        for (int k = 0; k < 8; ++k)
            half[k] = _mm512_add_epi32(_mm512_shuffle_i64x2(acc[2 * k], acc[2 * k + 1], 0x44),
                                       _mm512_shuffle_i64x2(acc[2 * k], acc[2 * k + 1], 0xee));
        for (int k = 0; k < 4; ++k)
            quarter[k] = _mm512_add_epi32(_mm512_shuffle_i64x2(half[2 * k], half[2 * k + 1], 0x88),
                                          _mm512_shuffle_i64x2(half[2 * k], half[2 * k + 1], 0xdd));
        const __m512i a = _mm512_add_epi32(_mm512_unpacklo_epi32(quarter[0], quarter[1]),
                                           _mm512_unpackhi_epi32(quarter[0], quarter[1]));
        const __m512i b = _mm512_add_epi32(_mm512_unpacklo_epi32(quarter[2], quarter[3]),
                                           _mm512_unpackhi_epi32(quarter[2], quarter[3]));
        const __m512i sums = _mm512_add_epi32(_mm512_unpacklo_epi64(a, b), _mm512_unpackhi_epi64(a, b));
        return _mm512_permutexvar_epi32(_mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), sums);
    }

    static Sums with(Sums sums, const uint32_t (&extra)[16]) { return _mm512_add_epi32(sums, _mm512_loadu_si512(extra)); }

    static void store(char* dst, int64_t step, Sums sums, int32_t half, int shift, int64_t count) {
        store_bytes16(dst, step, _mm512_add_epi32(sums, _mm512_set1_epi32(half)), shift, count);
    }
};

// ---- the table entries of interleaved pixels ---------------------------------------
//
// Whether the elements of vectors of table entries (8 * kVectors from a
// pixel's first channel on) are the channels of pixels: each entry against
// the entry one on less `step` where that is the same pixel's (tap_min: a
// byte on; counts and weight offsets: the same), or-ed into a vector of
// differences by one ternary-logic op a vector.  The entries one on are the
// vectors moved by valignq, not loaded again from 8 bytes on: those loads
// always span two cache lines, which costs Zen 4 two reads each.
template <int kVectors>
inline void or_pixel_differences(__m512i& off, const __m512i (&v)[kVectors], __m512i step) {
    static_assert(kVectors % 3 == 0, "whole pixels");
    constexpr __mmask8 kSamePixel[3] = {0xdb, 0xb6, 0x6d};  // entries 8k + l with (8k + l) % 3 < 2
    constexpr int kOrXor = 0xf6;                              // a | (b ^ c)
    // Three sums of differences, so that the or-s do not wait on each other.
    __m512i part[3] = {off, _mm512_setzero_si512(), _mm512_setzero_si512()};
    for (int k = 0; k < kVectors; ++k) {
        const __m512i next = _mm512_alignr_epi64(v[k + 1 < kVectors ? k + 1 : k], v[k], 1);
        part[k % 3] = _mm512_mask_ternarylogic_epi64(part[k % 3], kSamePixel[k % 3], next, _mm512_add_epi64(v[k], step), kOrXor);
    }
    off = _mm512_ternarylogic_epi64(part[0], part[1], part[2], 0xfe);
}

// The entries of 8 * kVectors elements of a table from element i on.
template <int kVectors>
struct TableEntries {
    __m512i v[kVectors];

    TableEntries(const char* table, int64_t i) {
        for (int k = 0; k < kVectors; ++k) v[k] = _mm512_loadu_si512(table + 8 * i + 64 * k);
    }
};

// ---- 8-bit pixel pairs: two pixels' taps in each 512-bit pick (VBMI) -------------
//
// A step's two windows, one 48 bytes of each pixel (16 taps), are the two
// tables of one vpermt2b: a channel's taps of both pixels come out in one
// vector (the first pixel's in words 0-15, the second's in 16-31) and meet
// both pixels' weights in one multiply-add.  Pixel q of a group is paired
// with pixel q + 4, so that the reduction (unpacks of 32 and 64 bits across
// the four pairs, then the 128-bit blocks) leaves the eight pixels' sums in
// order.  Against the short pixels' three 256-bit picks and multiply-adds
// per pixel and step, and their horizontal adds per pixel, that is half the
// permutes and multiply-adds and a third of the reduction.

template <bool kVnni>
struct Avx512PixelPairs {
    static constexpr int kPixels = 8;
    static constexpr int64_t kTaps = 16;
    using Pixels = Avx512ShortPixels<kVnni>;  // the groups these do not take

    // The steps that all 8 pixels from element i on take, 1 to kSameSteps,
    // where they are pixels (pixel_at) and take as many; else 0.  Each
    // table's 24 entries against the entries one on (entry e must be entry
    // e + 1 less a byte of tap_min where e + 1 is the same pixel's), and
    // every count's steps, in one vector of differences and one compare at
    // the end (the photo's bicubic pass 14.0 to 13.3 ms on a Xeon).  The
    // entries one on are the loaded ones moved by valignq, not loaded again
    // from 8 bytes on: those loads always span two cache lines, which costs
    // Zen 4 two reads each (the photo's pass 16.9 to 15.4 ms there); each
    // vector's difference is or-ed in by one ternary-logic op and the counts'
    // steps tested by a subtract and a shift (14.4 to 13.6 ms, 1920 to 224
    // bicubic 1.54 to 1.43).
    static int64_t group_steps(const ResamplePass& p, int64_t i) {
        static_assert(kTaps == 16, "steps of 16 taps");
        const int64_t count = load<int64_t>(p.tap_count + 8 * i);
        const uint64_t steps = static_cast<uint64_t>(count - 1) >> 4;
        if (count < 1 || steps >= static_cast<uint64_t>(kSameSteps)) return 0;
        using Entries = TableEntries<3>;
        __m512i off = _mm512_setzero_si512();
        const Entries counts(p.tap_count, i);
        or_pixel_differences(off, Entries(p.tap_min, i).v, _mm512_set1_epi64(1));
        or_pixel_differences(off, counts.v, _mm512_setzero_si512());
        or_pixel_differences(off, Entries(p.weight_offset, i).v, _mm512_setzero_si512());
        // Every count in 16 * steps + 1 .. 16 * steps + 16.
        const __m512i low = _mm512_set1_epi64(static_cast<int64_t>(16 * steps + 1));
        for (const __m512i& c : counts.v) off = _mm512_or_si512(off, _mm512_srli_epi64(_mm512_sub_epi64(c, low), 4));
        return _mm512_test_epi64_mask(off, off) == 0 ? static_cast<int64_t>(steps) + 1 : 0;
    }

    struct Tail {
        __mmask64 bytes;    // the step's source bytes in its window
        __mmask16 weights;  // its weights' words
        __mmask32 upper;    // the same words in the vector's upper half (a second pixel's)
    };
    struct Plan {
        __m512i index[3];  // per channel: words 0-15 from the first window, 16-31 from the second
    };
    using Acc = __m512i;
    using Sums = __m256i;

    static constexpr std::array<std::array<uint8_t, 64>, 3> kIndex = [] {
        std::array<std::array<uint8_t, 64>, 3> index{};
        for (size_t c = 0; c < 3; ++c)
            for (size_t t = 0; t < static_cast<size_t>(kTaps); ++t) {
                index[c][2 * t] = static_cast<uint8_t>(3 * t + c);
                index[c][32 + 2 * t] = static_cast<uint8_t>(64 + 3 * t + c);
            }
        return index;
    }();
    static constexpr std::array<Tail, kTaps + 1> kTails = [] {
        std::array<Tail, kTaps + 1> tails{};
        for (int64_t taps = 0; taps <= kTaps; ++taps)
            tails[static_cast<size_t>(taps)] = {static_cast<__mmask64>(low_bits(3 * taps)), static_cast<__mmask16>(low_bits(taps)),
                                                 static_cast<__mmask32>(low_bits(taps) << 16)};
        return tails;
    }();

    static void plan(Plan& plan) {
        for (size_t c = 0; c < 3; ++c) plan.index[c] = _mm512_loadu_si512(kIndex[c].data());
    }
    static Tail tail(int64_t taps) { return kTails[static_cast<size_t>(taps)]; }

    // A step of all kTaps taps of both pixels: 48 source bytes and 32 weight
    // bytes of each.
    template <bool kFirst>
    static void full_step(Acc (&acc)[3], const char* x0, const char* x1, const char* w0, const char* w1, const Plan& plan) {
        constexpr __mmask64 kWindow = low_bits(3 * kTaps);
        const __m512i w = _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w0))),
                                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w1)), 1);
        add_picks<kFirst>(acc, _mm512_maskz_loadu_epi8(kWindow, x0), _mm512_maskz_loadu_epi8(kWindow, x1), w, plan);
    }

    // A step of each pixel's own taps (t0, t1), nothing read past them: the
    // second pixel's weights are loaded into words 16-31 from 32 bytes
    // before them, those bytes masked off.
    template <bool kFirst>
    static void step(Acc (&acc)[3], const char* x0, const char* x1, const char* w0, const char* w1, const Tail& t0,
                     const Tail& t1, const Plan& plan) {
        const __m512i low = _mm512_zextsi256_si512(_mm256_maskz_loadu_epi16(t0.weights, w0));
        const void* below = reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(w1) - 32);
        const __m512i w = _mm512_mask_loadu_epi16(low, t1.upper, below);
        add_picks<kFirst>(acc, _mm512_maskz_loadu_epi8(t0.bytes, x0), _mm512_maskz_loadu_epi8(t1.bytes, x1), w, plan);
    }

    // The first step sets the sums: a multiply-add without a zeroed sum to add to.
    template <bool kFirst>
    static void add_picks(Acc (&acc)[3], __m512i window0, __m512i window1, __m512i w, const Plan& plan) {
        for (int c = 0; c < 3; ++c) {
            const __m512i picks = _mm512_maskz_permutex2var_epi8(0x5555555555555555ull, window0, plan.index[c], window1);
            acc[c] = kFirst ? madd16(picks, w) : dot_add<kVnni>(acc[c], picks, w);
        }
    }

    // Per channel, from the four pairs (pair k: pixel k in lanes 0-7, pixel
    // k + 4 in 8-15), the eight pixels' sums in order.
    static void reduce(const Acc (&acc)[kPixels / 2][3], Sums (&sums)[3]) {
        for (int c = 0; c < 3; ++c) {
            const __m512i u = _mm512_add_epi32(_mm512_unpacklo_epi32(acc[0][c], acc[1][c]), _mm512_unpackhi_epi32(acc[0][c], acc[1][c]));
            const __m512i v = _mm512_add_epi32(_mm512_unpacklo_epi32(acc[2][c], acc[3][c]), _mm512_unpackhi_epi32(acc[2][c], acc[3][c]));
            // 128-bit block j: the four pairs' sums of their block j.
            const __m512i blocks = _mm512_add_epi32(_mm512_unpacklo_epi64(u, v), _mm512_unpackhi_epi64(u, v));
            const __m512i halves = _mm512_shuffle_i64x2(blocks, blocks, _MM_SHUFFLE(3, 1, 2, 0));
            sums[c] = _mm256_add_epi32(_mm512_castsi512_si256(halves), _mm512_extracti64x4_epi64(halves, 1));
        }
    }

    // The eight pixels' channels in output order by two permutes, each half
    // then rounded and stored as the lanes' sums are (rather than each
    // half's packs and byte shuffle: Zen 4, the photo's 8-bit bicubic
    // horizontal pass 15.0 to 14.4 ms, 1920 to 224 1.58 to 1.53).
    static void store3(char* dst, const Sums (&sums)[3], int32_t half, int shift) {
        const __m512i h = _mm512_set1_epi32(half);
        const __m512i rg = _mm512_add_epi32(_mm512_inserti64x4(_mm512_castsi256_si512(sums[0]), sums[1], 1), h);
        const __m512i b = _mm512_add_epi32(_mm512_castsi256_si512(sums[2]), h);
        store_bytes16(dst, 1, _mm512_permutex2var_epi32(rg, _mm512_loadu_si512(kInterleave[0].data()), b), shift, 16);
        store_bytes16(dst + 16, 1, _mm512_permutex2var_epi32(rg, _mm512_loadu_si512(kInterleave[1].data()), b), shift, 8);
    }

    // Output byte j (of 24) is channel j % 3 of pixel j / 3: red q at dword
    // q of (rg, b), green q at 8 + q, blue q at 16 + q.
    static constexpr std::array<std::array<int32_t, 16>, 2> kInterleave = [] {
        std::array<std::array<int32_t, 16>, 2> index{};
        for (int j = 0; j < 24; ++j)
            index[static_cast<size_t>(j / 16)][static_cast<size_t>(j % 16)] = 8 * (j % 3) + j / 3;
        return index;
    }();
};

// The 8-bit kernel of the level.  Shared long runs take 256-bit windows:
// where 512-bit operations run as two 256-bit halves (Zen 4), wider picks
// would only add work to steps whose weights stay in registers; runs of
// their own take the masked 512-bit steps.
template <bool kVnni>
struct Avx512ChannelLanes;  // resample_avx512_channel_lanes.h

template <bool kVnni, bool kVbmi>
struct Avx512U8 {
    using Block = PairBlockOps<Zmm, kVnni>;
    using SmallBlock = PairBlockOps<Xmm, kVnni>;
    static constexpr int kBlocks = 1;
    using Pixels = Avx512Pixels<kVnni, kVbmi>;
    using ShortPixels = std::conditional_t<kVbmi, Avx512ShortPixels<kVnni>, NoPixels>;
    using PixelPairs = std::conditional_t<kVbmi, Avx512PixelPairs<kVnni>, NoPixels>;
    using Lanes = Avx512Lanes<kVnni, kVbmi>;
    using ChannelLanes = std::conditional_t<kVbmi, Avx512ChannelLanes<kVnni>, NoChannelLanes>;
    using Runs = ShuffleRuns<Ymm, kVnni>;
    using OwnRuns = Avx512Runs<kVnni, kVbmi>;
    static constexpr int64_t kPixelsFrom = 11;
    static constexpr int64_t kRunsFrom = 17;
    // The lanes beat shared phases a period apart, whose bytes are spread
    // when stored: 640 to 1280 bilinear, period 2, 0.59 ns an element with
    // their own taps, 0.93 in spans (Zen 4; Xeon 0.64 against 0.80), 1920
    // to 1280 bicubic 0.85 against 0.90 (Zen 4; on a Xeon, since the shared
    // lanes keep a pass's last elements, spans win there: 0.59 against 0.52).
    static constexpr int64_t kSharedSpanPeriods = 1;
};

}  // namespace
}  // namespace zv_pt
