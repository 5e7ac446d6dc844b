// x86 operations of the resampling kernels shared by the SSSE3, AVX2 and
// AVX-512 levels: the 8-bit block kernel, the 8-bit lanes and runs over
// pshufb windows, and the AVX2 float operations.
//
// The block kernel is written once for 128-bit and 256-bit vectors.  Two taps
// go through one pmaddwd: the source bytes of both are interleaved into
// (x_j, x_j+1) 16-bit pairs and multiplied with the broadcast pair
// (w_j, w_j+1), giving x_j * w_j + x_j+1 * w_j+1 per 32-bit lane.  The unpacks and packs work within 128-bit lanes and
// the packs undo the unpacks' order, so the bytes come out in element order.
#pragma once

// GCC 12 reports the intrinsics' own "undefined" pass-through vectors (their
// _mm256_undefined_si256(), say) as used uninitialized once enough of a pixel
// group is inlined: a false positive inside its headers, silenced there only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "resample/resample_f32_paths.h"
#include "resample/resample_u8_paths.h"

namespace zv_pt {
namespace {

inline __m128i add32(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
inline __m128i madd16(__m128i a, __m128i b) { return _mm_madd_epi16(a, b); }
inline __m128i unpacklo8(__m128i a, __m128i b) { return _mm_unpacklo_epi8(a, b); }
inline __m128i unpackhi8(__m128i a, __m128i b) { return _mm_unpackhi_epi8(a, b); }
inline __m128i sra32(__m128i a, __m128i count) { return _mm_sra_epi32(a, count); }
inline __m128i packs32(__m128i a, __m128i b) { return _mm_packs_epi32(a, b); }
inline __m128i packus16(__m128i a, __m128i b) { return _mm_packus_epi16(a, b); }
inline void splat32(__m128i& v, uint32_t value) { v = _mm_set1_epi32(static_cast<int32_t>(value)); }

#if defined(__AVX2__)
inline __m256i add32(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
inline __m256i madd16(__m256i a, __m256i b) { return _mm256_madd_epi16(a, b); }
inline __m256i unpacklo8(__m256i a, __m256i b) { return _mm256_unpacklo_epi8(a, b); }
inline __m256i unpackhi8(__m256i a, __m256i b) { return _mm256_unpackhi_epi8(a, b); }
inline __m256i sra32(__m256i a, __m128i count) { return _mm256_sra_epi32(a, count); }
inline __m256i packs32(__m256i a, __m256i b) { return _mm256_packs_epi32(a, b); }
inline __m256i packus16(__m256i a, __m256i b) { return _mm256_packus_epi16(a, b); }
inline void splat32(__m256i& v, uint32_t value) { v = _mm256_set1_epi32(static_cast<int32_t>(value)); }
#endif

#if defined(__AVX512BW__)
inline __m512i add32(__m512i a, __m512i b) { return _mm512_add_epi32(a, b); }
inline __m512i madd16(__m512i a, __m512i b) { return _mm512_madd_epi16(a, b); }
inline __m512i unpacklo8(__m512i a, __m512i b) { return _mm512_unpacklo_epi8(a, b); }
inline __m512i unpackhi8(__m512i a, __m512i b) { return _mm512_unpackhi_epi8(a, b); }
inline __m512i sra32(__m512i a, __m128i count) { return _mm512_sra_epi32(a, count); }
inline __m512i packs32(__m512i a, __m512i b) { return _mm512_packs_epi32(a, b); }
inline __m512i packus16(__m512i a, __m512i b) { return _mm512_packus_epi16(a, b); }
inline void splat32(__m512i& v, uint32_t value) { v = _mm512_set1_epi32(static_cast<int32_t>(value)); }
#endif

#if defined(__AVX2__)
inline __m256 unpacklo(__m256 a, __m256 b) { return _mm256_unpacklo_ps(a, b); }
inline __m256 unpackhi(__m256 a, __m256 b) { return _mm256_unpackhi_ps(a, b); }
template <int kImm>
inline __m256 shuffle(__m256 a, __m256 b) { return _mm256_shuffle_ps(a, b, kImm); }
#endif
#if defined(__AVX512F__)
inline __m512 unpacklo(__m512 a, __m512 b) { return _mm512_unpacklo_ps(a, b); }
inline __m512 unpackhi(__m512 a, __m512 b) { return _mm512_unpackhi_ps(a, b); }
template <int kImm>
inline __m512 shuffle(__m512 a, __m512 b) { return _mm512_shuffle_ps(a, b, kImm); }
#endif

#if defined(__AVX2__)
// Runs a level's kernel and leaves the upper halves of the vector registers
// clean: the caller's code is built for plain SSE, whose instructions wait on
// dirty upper halves, and the compiler's own vzeroupper does not see every
// write (a copy of the pass in zmm registers after the last one it placed
// had slowed a host's vertical calls of 500x375 to 224x224 from 0.033 to
// 0.064 ms, most of it in the next call's entry).
template <class Kernel>
inline void run_clean(Kernel kernel, const ResamplePass& p) {
    kernel(p);
    _mm256_zeroupper();
}

// Rows r0-r3 of four floats in every 128-bit block, transposed in each block:
// out[t] holds tap t of the four rows.
template <class V>
inline void transpose_blocks(V r0, V r1, V r2, V r3, V (&out)[4]) {
    const V t0 = unpacklo(r0, r1), t1 = unpackhi(r0, r1);
    const V t2 = unpacklo(r2, r3), t3 = unpackhi(r2, r3);
    out[0] = shuffle<_MM_SHUFFLE(1, 0, 1, 0)>(t0, t2);
    out[1] = shuffle<_MM_SHUFFLE(3, 2, 3, 2)>(t0, t2);
    out[2] = shuffle<_MM_SHUFFLE(1, 0, 1, 0)>(t1, t3);
    out[3] = shuffle<_MM_SHUFFLE(3, 2, 3, 2)>(t1, t3);
}
#endif

// acc + the products of adjacent 16-bit pairs of a and b: one vpdpwssd where
// the processor has VNNI, else pmaddwd and an add (the same bits).
template <bool kVnni, class V>
inline V dot_add(V acc, V a, V b) {
#if defined(__AVX512VNNI__)
    if constexpr (kVnni) {
        if constexpr (sizeof(V) == 64) return _mm512_dpwssd_epi32(acc, a, b);
        if constexpr (sizeof(V) == 32) return _mm256_dpwssd_epi32(acc, a, b);
        if constexpr (sizeof(V) == 16) return _mm_dpwssd_epi32(acc, a, b);
    }
#endif
    return add32(acc, madd16(a, b));
}

// The vector width of PairBlockOps (a vector type itself as template argument
// would lose its attributes).
struct Xmm {
    using V = __m128i;
};
#if defined(__AVX2__)
struct Ymm {
    using V = __m256i;
};
#endif
#if defined(__AVX512BW__)
struct Zmm {
    using V = __m512i;
};
#endif

// kVnni: the multiply-adds as vpdpwssd (the Width's AVX-512 VNNI form).
template <class Width, bool kVnni = false>
struct PairBlockOps {
    using V = typename Width::V;
    static constexpr int64_t kBytes = sizeof(V);
    struct Acc {
        V sum[4];  // elements 0-3, 4-7, 8-11, 12-15 of each 128-bit lane
    };

    static V load(const char* at) {
        V v;
        std::memcpy(&v, at, sizeof v);
        return v;
    }

    static V broadcast32(uint32_t value) {
        V v;
        splat32(v, value);
        return v;
    }

    static Acc init(int32_t half) {
        const V h = broadcast32(static_cast<uint32_t>(half));
        return {{h, h, h, h}};
    }

    static void accumulate(Acc& acc, V x0, V x1, V weight_pair) {
        const V zero{};
        const V lo = unpacklo8(x0, x1), hi = unpackhi8(x0, x1);
        acc.sum[0] = dot_add<kVnni>(acc.sum[0], unpacklo8(lo, zero), weight_pair);
        acc.sum[1] = dot_add<kVnni>(acc.sum[1], unpackhi8(lo, zero), weight_pair);
        acc.sum[2] = dot_add<kVnni>(acc.sum[2], unpacklo8(hi, zero), weight_pair);
        acc.sum[3] = dot_add<kVnni>(acc.sum[3], unpackhi8(hi, zero), weight_pair);
    }

    static void add_pair(Acc& acc, const char* x, int64_t tap_stride, const char* w) {
        accumulate(acc, load(x), load(x + tap_stride), broadcast32(zv_pt::load<uint32_t>(w)));
    }

    static void add_one(Acc& acc, const char* x, const char* w) {
        accumulate(acc, load(x), V{}, broadcast32(zv_pt::load<uint16_t>(w)));
    }

    // packs saturate to int16, packus to 0..255: together the clamp.
    static void store(char* dst, int64_t step, const Acc& acc, int shift) {
        const __m128i count = _mm_cvtsi32_si128(shift);
        const V bytes = packus16(packs32(sra32(acc.sum[0], count), sra32(acc.sum[1], count)),
                                 packs32(sra32(acc.sum[2], count), sra32(acc.sum[3], count)));
        if (step == 1) {
            std::memcpy(dst, &bytes, sizeof bytes);
        } else {
            uint8_t spilled[sizeof(V)];
            std::memcpy(spilled, &bytes, sizeof bytes);
            scatter_bytes(dst, step, spilled, kBytes);
        }
    }
};

// ---- 8-bit runs: windows of 16 bytes per 128-bit lane, picked apart by pshufb ----
//
// A step loads one window of 16 bytes per 128-bit lane, the second lane's
// from byte 16 on, and picks out the taps whose bytes lie in its lane (8 at
// most; the second lane's continue where the first's stop) into 16-bit
// slots; one pmaddwd (or vpdpwssd) with the weights in the same order adds
// them.  Adjacent taps are zero-extended straight from 16 bytes instead.

inline __m128i hadd32(__m128i a, __m128i b) { return _mm_hadd_epi32(a, b); }
inline __m128i cmpgt16(__m128i a, __m128i b) { return _mm_cmpgt_epi16(a, b); }
inline __m128i shuffle8(__m128i a, __m128i b) { return _mm_shuffle_epi8(a, b); }
inline __m128i load2(const char* lo, const char* /*hi*/, Xmm) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo)); }
#if defined(__AVX2__)
inline __m256i hadd32(__m256i a, __m256i b) { return _mm256_hadd_epi32(a, b); }
inline __m256i cmpgt16(__m256i a, __m256i b) { return _mm256_cmpgt_epi16(a, b); }
inline __m256i shuffle8(__m256i a, __m256i b) { return _mm256_shuffle_epi8(a, b); }
inline __m256i load2(const char* lo, const char* hi, Ymm) {
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(hi), reinterpret_cast<const __m128i*>(lo));
}
#endif

template <class V>
inline V load_vector(const void* at) {
    V v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

#if defined(__AVX512BW__)
// The most bytes store_spread() spreads apart.
constexpr int64_t kSpreadSteps = 8;

// Up to 16 bytes `step` bytes apart (one channel of interleaved pixels, as the
// per-phase calls write them, 3 apart, or 6 for the two phases of a doubling):
// each 128-bit lane picks its own from the broadcast bytes, stored under
// masks in 64-byte pieces.
inline void store_spread(char* dst, int64_t step, __m128i bytes, int64_t lanes) {
    struct Spread {
        std::array<std::array<uint8_t, 64>, 2> index;
        std::array<uint64_t, 2> mask;  // bytes b = step * lane
    };
    static constexpr std::array<Spread, kSpreadSteps + 1> kSpreads = [] {
        std::array<Spread, kSpreadSteps + 1> spreads{};
        for (size_t s = 1; s <= kSpreadSteps; ++s)
            for (size_t b = 0; b < 128; ++b) {
                const bool at = b % s == 0 && b / s < 16;
                spreads[s].index[b / 64][b % 64] = at ? static_cast<uint8_t>(b / s) : 0x80;
                if (at) spreads[s].mask[b / 64] |= uint64_t{1} << (b % 64);
            }
        return spreads;
    }();
    if (lanes < 1) return;
    const Spread& spread = kSpreads[static_cast<size_t>(step)];
    const __m512i all = _mm512_broadcast_i32x4(bytes);
    const int64_t end = step * (lanes - 1) + 1;  // bytes from the first to the last one stored
    _mm512_mask_storeu_epi8(dst, spread.mask[0] & low_bits(end),
                            _mm512_shuffle_epi8(all, _mm512_loadu_si512(spread.index[0].data())));
    if (end > 64)
        _mm512_mask_storeu_epi8(dst + 64, spread.mask[1] & low_bits(end - 64),
                                _mm512_shuffle_epi8(all, _mm512_loadu_si512(spread.index[1].data())));
}
#endif

// Shifts, clamps (by the saturating packs) and stores the first `count` of
// the sums in the int32 lanes of v.
template <class V>
inline void store_sums(char* dst, int64_t step, V v, int shift, int64_t count) {
    constexpr int kLanes = sizeof(V) / 4;
    v = sra32(v, _mm_cvtsi32_si128(shift));
    const V narrow = packs32(v, v);
    const V bytes = packus16(narrow, narrow);  // per 128-bit lane: its four bytes, repeated
    uint8_t out[16] = {};
    uint32_t quads[sizeof(V) / 4];
    std::memcpy(quads, &bytes, sizeof bytes);
    std::memcpy(out, &quads[0], 4);
    if constexpr (kLanes == 8) std::memcpy(out + 4, &quads[4], 4);
#if defined(__AVX512BW__)
    if (step > 1 && step <= kSpreadSteps)
        return store_spread(dst, step, _mm_loadu_si128(reinterpret_cast<const __m128i*>(out)), count);
#endif
    if (step == 1 && count == kLanes)
        std::memcpy(dst, out, kLanes);
    else
        scatter_bytes(dst, step, out, count);
}

// Lane e: the sum of acc[e]'s int32 lanes, for the 4 (8) accumulators of
// 128-bit (256-bit) vectors.
// The same from the sums of pairs of vectors: pairs[k] = hadd32(acc[2k], acc[2k + 1]).
inline __m128i lane_sums_of_pairs(const __m128i (&pairs)[2]) { return hadd32(pairs[0], pairs[1]); }
inline __m128i lane_sums(const __m128i (&acc)[4]) {
    const __m128i pairs[2] = {hadd32(acc[0], acc[1]), hadd32(acc[2], acc[3])};
    return lane_sums_of_pairs(pairs);
}
#if defined(__AVX2__)
inline __m256i lane_sums_of_pairs(const __m256i (&pairs)[4]) {
    const __m256i low = hadd32(pairs[0], pairs[1]), high = hadd32(pairs[2], pairs[3]);
    return _mm256_add_epi32(_mm256_permute2x128_si256(low, high, 0x20), _mm256_permute2x128_si256(low, high, 0x31));
}
inline __m256i lane_sums(const __m256i (&acc)[8]) {
    const __m256i pairs[4] = {hadd32(acc[0], acc[1]), hadd32(acc[2], acc[3]), hadd32(acc[4], acc[5]),
                              hadd32(acc[6], acc[7])};
    return lane_sums_of_pairs(pairs);
}
#endif

// The taps of a step in 128-bit lane 0 and in lane 1 at a tap stride: those
// whose bytes lie within bytes 0-15 and 16-31 (8 at most each; with
// adjacent taps 8 each, from 16 bytes).
constexpr int64_t shuffle_lane0_taps(int64_t ts) { return std::min<int64_t>(8, 15 / ts + 1); }
constexpr int64_t shuffle_lane1_taps(int64_t ts) {
    return ts == 1 ? 8 : std::min<int64_t>(8, 31 / ts + 1 - shuffle_lane0_taps(ts));
}

template <class Width, bool kVnni = false>
struct ShuffleRuns {
    using V = typename Width::V;
    static constexpr int kLanes = sizeof(V) / 4;
    static constexpr int kBlocks = sizeof(V) / 16;  // 128-bit lanes
    static constexpr bool kExactLoads = false;
    using Tail = V;  // per 16-bit slot: all ones if the step has its tap
    struct Plan {
        int64_t taps;          // per step
        int64_t stride;        // tap stride
        int64_t window;        // source bytes a step reads from its first tap
        int64_t weight_bytes;  // weight bytes a step reads
        int64_t lane0_taps;    // the taps of 128-bit lane 0 (its weights come first)
        V index;               // per lane: the slots' bytes (a tap's byte, then a zero)
        V tap_of_slot;         // per 16-bit slot: its tap within the step, or 0x7fff if unused
        Tail full;
    };
    using Acc = V;
    using Sums = V;
    using Weights = V;

    struct Tables {
        std::array<uint8_t, sizeof(V)> index;
        std::array<int16_t, sizeof(V) / 2> tap;
    };
    static constexpr std::array<Tables, kMaxTableStride + 1> kTables = per_stride<Tables>([](int ts) {
        Tables t{};
        const int64_t k0 = shuffle_lane0_taps(ts);
        for (int b = 0; b < kBlocks; ++b) {
            const int64_t k = b == 0 ? k0 : shuffle_lane1_taps(ts), from = b == 0 ? 0 : k0;
            for (int s = 0; s < 8; ++s) {
                // Adjacent taps: lane 1 from bytes 8-15 of the same 16 (zero-extended).
                const int64_t byte = ts == 1 ? (from + s) % 16 : (from + s) * ts - 16 * b;
                t.index[static_cast<size_t>(16 * b + 2 * s)] = s < k ? static_cast<uint8_t>(byte) : 0x80;
                t.index[static_cast<size_t>(16 * b + 2 * s + 1)] = 0x80;
                t.tap[static_cast<size_t>(8 * b + s)] = s < k ? static_cast<int16_t>(from + s) : int16_t{0x7fff};
            }
        }
        return t;
    });

    static bool plan(int64_t ts, Plan& plan) {
        if (ts < 1 || ts > 7) return false;
        const int64_t k0 = shuffle_lane0_taps(ts);
        plan.taps = kBlocks == 1 ? k0 : k0 + shuffle_lane1_taps(ts);
        plan.stride = ts;
        plan.window = ts == 1 || kBlocks == 1 ? 16 : 32;
        plan.weight_bytes = kBlocks == 1 ? 16 : 2 * k0 + 16;
        plan.lane0_taps = k0;
        plan.index = load_vector<V>(kTables[static_cast<size_t>(ts)].index.data());
        plan.tap_of_slot = load_vector<V>(kTables[static_cast<size_t>(ts)].tap.data());
        plan.full = tail(plan, plan.taps);
        return true;
    }

    static Tail tail(const Plan& plan, int64_t taps) {
        V count;
        splat32(count, static_cast<uint32_t>(taps) * 0x10001u);
        return cmpgt16(count, plan.tap_of_slot);
    }

    static Weights weights(const char* w, const Tail& tail, const Plan& plan) {
        return load2(w, w + 2 * plan.lane0_taps, Width{}) & tail;
    }

    static Acc zero() { return V{}; }

    static Acc step(Acc acc, const char* x, Weights weights, const Tail&, const Plan& plan) {
        // Adjacent taps: both lanes from the same 16 bytes; else one window
        // of 16 bytes per lane.
        const V window = plan.stride == 1 || kBlocks == 1 ? load2(x, x, Width{}) : load_vector<V>(x);
        return dot_add<kVnni>(acc, shuffle8(window, plan.index), weights);
    }

    static Sums reduce(const Acc (&acc)[kLanes]) { return lane_sums(acc); }

    static Sums with(Sums sums, const uint32_t (&extra)[kLanes]) { return add32(sums, load_vector<V>(extra)); }

    static void store(char* dst, int64_t step, Sums sums, int32_t half, int shift, int64_t count) {
        V h;
        splat32(h, static_cast<uint32_t>(half));
        store_sums(dst, step, add32(sums, h), shift, count);
    }
};

// ---- 8-bit pixels: the three channels of an RGB pixel from one window -------------

// Clamps the channels' int32 sums of 4 (8) pixels to bytes and stores them
// interleaved, 12 (24) bytes.
inline void store_rgb(char* dst, __m128i r, __m128i g, __m128i b) {
    const __m128i rg = _mm_packs_epi32(r, g), bb = _mm_packs_epi32(b, b);
    const __m128i bytes = _mm_packus_epi16(rg, bb);  // r0-3 g0-3 b0-3 b0-3
    const __m128i rgb = _mm_shuffle_epi8(bytes, _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
    uint8_t out[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), rgb);
    std::memcpy(dst, out, 12);
}
#if defined(__AVX2__)
inline void store_rgb(char* dst, __m256i r, __m256i g, __m256i b) {
    store_rgb(dst, _mm256_castsi256_si128(r), _mm256_castsi256_si128(g), _mm256_castsi256_si128(b));
    store_rgb(dst + 12, _mm256_extracti128_si256(r, 1), _mm256_extracti128_si256(g, 1), _mm256_extracti128_si256(b, 1));
}
#endif
//
// Five taps of every channel lie in 15 bytes (tap t of channel c at byte
// 3t + c), so a step takes 5 taps per 128-bit lane: lane 1's window starts
// 15 bytes on, where tap 5 of channel 0 is, and the same picks serve it.

template <class Width, bool kVnni = false>
struct ShufflePixels {
    using V = typename Width::V;
    static constexpr int kPixels = sizeof(V) / 4;
    static constexpr int kBlocks = sizeof(V) / 16;
    static constexpr int64_t kTaps = 5 * kBlocks;  // per step
    static constexpr bool kExactLoads = false;
    static uint32_t pixels_at(const ResamplePass& p, int64_t i) { return zv_pt::pixels_at(p, i, kPixels); }
    using Tail = V;
    struct Plan {
        int64_t taps;
        int64_t window;
        int64_t weight_bytes;
        V index[3];     // per channel: slot t < 5 from byte 3t + c, zero above
        V tap_of_slot;  // per 16-bit slot: its tap within the step, or 0x7fff if unused
        Tail full;
    };
    using Acc = V;
    using Sums = V;
    using Weights = V;

    struct Tables {
        std::array<std::array<uint8_t, sizeof(V)>, 3> index;
        std::array<int16_t, sizeof(V) / 2> tap;
    };
    static constexpr Tables kTables = [] {
        Tables t{};
        for (int b = 0; b < kBlocks; ++b)
            for (int s = 0; s < 8; ++s) {
                for (int c = 0; c < 3; ++c) {
                    t.index[static_cast<size_t>(c)][static_cast<size_t>(16 * b + 2 * s)] =
                        s < 5 ? static_cast<uint8_t>(3 * s + c) : 0x80;
                    t.index[static_cast<size_t>(c)][static_cast<size_t>(16 * b + 2 * s + 1)] = 0x80;
                }
                t.tap[static_cast<size_t>(8 * b + s)] = s < 5 ? static_cast<int16_t>(5 * b + s) : int16_t{0x7fff};
            }
        return t;
    }();

    static void plan(Plan& plan) {
        plan.taps = kTaps;
        plan.window = 15 * (kBlocks - 1) + 16;
        plan.weight_bytes = 10 * (kBlocks - 1) + 16;
        for (int c = 0; c < 3; ++c) plan.index[c] = load_vector<V>(kTables.index[static_cast<size_t>(c)].data());
        plan.tap_of_slot = load_vector<V>(kTables.tap.data());
        plan.full = tail(plan, plan.taps);
    }

    static Tail tail(const Plan& plan, int64_t taps) {
        V count;
        splat32(count, static_cast<uint32_t>(taps) * 0x10001u);
        return cmpgt16(count, plan.tap_of_slot);
    }

    static Weights weights(const char* w, const Tail& tail, const Plan&) { return load2(w, w + 10, Width{}) & tail; }

    static Acc zero() { return V{}; }

    static void step(Acc& r, Acc& g, Acc& b, const char* x, Weights weights, const Plan& plan) {
        const V window = load2(x, x + 15, Width{});
        r = dot_add<kVnni>(r, shuffle8(window, plan.index[0]), weights);
        g = dot_add<kVnni>(g, shuffle8(window, plan.index[1]), weights);
        b = dot_add<kVnni>(b, shuffle8(window, plan.index[2]), weights);
    }

    using Half = V;
    using Pair = V;
    static Half fold(Acc acc) { return acc; }
    static Pair pair(Half a, Half b) { return hadd32(a, b); }
    static Sums reduce(const Pair (&pairs)[kPixels / 2]) { return lane_sums_of_pairs(pairs); }

    static void store3(char* dst, const Sums (&sums)[3], const uint32_t (&extra)[3][kPixels], int32_t half, int shift) {
        V h;
        splat32(h, static_cast<uint32_t>(half));
        V v[3];
        for (int c = 0; c < 3; ++c) v[c] = sra32(add32(add32(sums[c], load_vector<V>(extra[c])), h), _mm_cvtsi32_si128(shift));
        store_rgb(dst, v[0], v[1], v[2]);
    }
};

#if defined(__AVX2__)
// ---- 8-bit lanes: 8 elements, 16-byte windows picked apart by vpshufb -------------

struct Avx2Lanes {
    static constexpr int kLanes = 8;
    static constexpr int64_t kWindow = 16;
    // The weights come from up to four 16-byte pieces of a window, each
    // picked apart by vpshufb and or-ed together: 8 lanes of 2-tap runs need
    // two pieces, of 4-tap runs four (one piece had held two lanes of 4-tap
    // runs: 6.6 ns an element on a host's line of 1280 to 640 with their
    // own taps).
    static constexpr int kPieces = 4;
    static constexpr int64_t kWeightWindow = 16 * kPieces;
    struct Group {
        __m256i x;           // per lane: the window bytes of its two taps, zero-extended
        __m256i w[kPieces];  // per lane: the bytes of its two weights in each piece (bit 7 set: none)
        __m256i counts;      // per lane: its tap count
        int pieces;          // the pieces the lanes' weights lie in
        bool full;           // every lane has all the rounds' taps
    };
    struct Steps {
        __m256i lo, hi;  // lanes 0-3 and 4-7: lane * source step (int64)
    };
    using Acc = __m256i;

    static Steps steps_of(int64_t s) {
        return {_mm256_setr_epi64x(0, s, 2 * s, 3 * s), _mm256_setr_epi64x(4 * s, 5 * s, 6 * s, 7 * s)};
    }

    static bool longer_taps(const ResamplePass& p, int64_t i, int64_t count) {
        const char* at = p.tap_count + 8 * i;
        const __m256i c = _mm256_set1_epi64x(count);
        return !_mm256_testz_si256(_mm256_or_si256(_mm256_cmpgt_epi64(load_vector<__m256i>(at), c),
                                                   _mm256_cmpgt_epi64(load_vector<__m256i>(at + 32), c)),
                                   _mm256_set1_epi8(-1));
    }

    // 8 int64 values (two vectors) as 8 int32 lanes.
    static __m256i narrow(__m256i lo, __m256i hi) {
        const __m256 pairs = _mm256_shuffle_ps(_mm256_castsi256_ps(lo), _mm256_castsi256_ps(hi), _MM_SHUFFLE(2, 0, 2, 0));
        return _mm256_permute4x64_epi64(_mm256_castps_si256(pairs), _MM_SHUFFLE(3, 1, 2, 0));
    }

    // Lanes whose int64 value v has lo <= v <= hi, as 8 bits.
    static uint32_t within(__m256i a, __m256i b, int64_t lo, int64_t hi) {
        auto half = [&](__m256i v) {
            const __m256i in = _mm256_and_si256(_mm256_cmpgt_epi64(v, _mm256_set1_epi64x(lo - 1)),
                                                _mm256_cmpgt_epi64(_mm256_set1_epi64x(hi + 1), v));
            return static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(in)));
        };
        return half(a) | half(b) << 4;
    }

    static int element_group(const ResamplePass& p, int64_t i, int64_t max_taps, const Steps& steps, Group& g) {
        const char* tap_min = p.tap_min + 8 * i;
        const char* tap_count = p.tap_count + 8 * i;
        const char* weight_offset = p.weight_offset + 8 * i;
        auto entries = [](const char* at, int half) { return load_vector<__m256i>(at + 32 * half); };
        const __m256i min0 = _mm256_set1_epi64x(load<int64_t>(tap_min));
        const __m256i d_lo = _mm256_add_epi64(_mm256_sub_epi64(entries(tap_min, 0), min0), steps.lo);
        const __m256i d_hi = _mm256_add_epi64(_mm256_sub_epi64(entries(tap_min, 1), min0), steps.hi);
        const __m256i w0 = _mm256_set1_epi64x(load<int64_t>(weight_offset));
        const __m256i wd_lo = _mm256_sub_epi64(entries(weight_offset, 0), w0);
        const __m256i wd_hi = _mm256_sub_epi64(entries(weight_offset, 1), w0);
        const __m256i c_lo = entries(tap_count, 0), c_hi = entries(tap_count, 1);
        const __m256i one = _mm256_set1_epi64x(1);
        const uint32_t ok = within(d_lo, d_hi, 0, kWindow - 1 - p.tap_stride) & within(c_lo, c_hi, 1, max_taps) &
                            within(_mm256_and_si256(wd_lo, one), _mm256_and_si256(wd_hi, one), 0, 0);
        // The fewest pieces that hold as many lanes' weights as the most do.
        int lanes = 0;
        g.pieces = 1;
        for (int pieces = 1; pieces <= kPieces && lanes < kLanes; pieces *= 2) {
            const int more = leading_lanes(ok & within(wd_lo, wd_hi, 0, 16 * pieces - 4));
            if (more > lanes) lanes = more, g.pieces = pieces;
        }
        const __m256i d = narrow(d_lo, d_hi), wd = narrow(wd_lo, wd_hi);
        // Taps: bytes d and d + tap_stride, each followed by a zero; weights:
        // bytes wd .. wd + 3, those of piece k at 0x70 + their place in it
        // (vpshufb reads the low four bits), the others at 0x80 or more.
        g.x = _mm256_or_si256(_mm256_add_epi32(_mm256_or_si256(d, _mm256_slli_epi32(d, 16)),
                                               _mm256_set1_epi32(static_cast<int32_t>(p.tap_stride << 16))),
                              _mm256_set1_epi32(static_cast<int32_t>(0x80008000u)));
        const __m256i w = _mm256_add_epi32(_mm256_mullo_epi32(wd, _mm256_set1_epi32(0x01010101)), _mm256_set1_epi32(0x03020100));
        for (int k = 0; k < g.pieces; ++k)
            g.w[k] = _mm256_adds_epu8(_mm256_sub_epi8(w, _mm256_set1_epi8(static_cast<char>(16 * k))), _mm256_set1_epi8(0x70));
        g.counts = narrow(c_lo, c_hi);
        // Every lane with all the rounds' taps needs no masks.
        const __m256i taps = _mm256_set1_epi32(static_cast<int32_t>(max_taps));
        g.full = _mm256_movemask_epi8(_mm256_cmpeq_epi32(g.counts, taps)) == -1;
        return lanes;
    }

    static int shared_group(const ResamplePass& p, Group& g) {
        if (p.src_step < 0 || p.src_step >= kWindow) return 0;
        const int64_t most = p.src_step == 0 ? kLanes : (kWindow - 1 - p.tap_stride) / p.src_step + 1;
        const __m256i d = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                             _mm256_set1_epi32(static_cast<int32_t>(p.src_step)));
        g.x = _mm256_or_si256(_mm256_add_epi32(_mm256_or_si256(d, _mm256_slli_epi32(d, 16)),
                                               _mm256_set1_epi32(static_cast<int32_t>(p.tap_stride << 16))),
                              _mm256_set1_epi32(static_cast<int32_t>(0x80008000u)));
        return static_cast<int>(std::min<int64_t>(most, kLanes));
    }

    static Acc start(int32_t half) { return _mm256_set1_epi32(half); }

    static __m256i window(const char* at) {
        return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
    }

    static Acc round_elements(Acc acc, const Group& g, const char* x, const char* w, int64_t r) {
        __m256i weights = _mm256_shuffle_epi8(window(w), g.w[0]);
        for (int k = 1; k < g.pieces; ++k) weights = _mm256_or_si256(weights, _mm256_shuffle_epi8(window(w + 16 * k), g.w[k]));
        if (!g.full) {
            // Slots past a lane's count weigh nothing.
            const __m256i first = _mm256_cmpgt_epi32(g.counts, _mm256_set1_epi32(static_cast<int32_t>(2 * r)));
            const __m256i second = _mm256_cmpgt_epi32(g.counts, _mm256_set1_epi32(static_cast<int32_t>(2 * r + 1)));
            weights = _mm256_and_si256(weights, _mm256_blend_epi16(first, second, 0xaa));
        }
        return _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(window(x), g.x), weights));
    }

    static Acc round_shared(Acc acc, const Group& g, const char* x, uint32_t weight_pair) {
        return _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(window(x), g.x),
                                                       _mm256_set1_epi32(static_cast<int32_t>(weight_pair))));
    }

    static void store(char* dst, int64_t step, Acc acc, int shift, int lanes) { store_sums(dst, step, acc, shift, lanes); }
};
#endif  // __AVX2__

#if defined(__AVX2__)
struct Avx2F32Ops {
    using V = __m256;
    static constexpr int kLanes = 8;
    using Windows = NoWindows;

    static V zero() { return _mm256_setzero_ps(); }
    static V load(const char* at) { return _mm256_loadu_ps(reinterpret_cast<const float*>(at)); }
    static V broadcast(const char* at) { return _mm256_set1_ps(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return _mm256_fmadd_ps(x, w, acc); }

    template <class At>
    static V gather(const At& at, int64_t offset) {
        auto f = [&](int k) { return zv_pt::load<float>(at[k] + offset); };
        return _mm256_setr_ps(f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7));
    }

    // Lanes k and k + 4 share a 256-bit row; one in-lane 4x4 transposition
    // then serves both halves.
    template <class At>
    static void transposed(const At& at, int64_t offset, V (&out)[4]) {
        auto row = [&](int k) {
            return _mm256_set_m128(_mm_loadu_ps(reinterpret_cast<const float*>(at[k + 4] + offset)),
                                   _mm_loadu_ps(reinterpret_cast<const float*>(at[k] + offset)));
        };
        transpose_blocks(row(0), row(1), row(2), row(3), out);
    }

    static void store(char* at, int64_t step, V v) {
        if (step == sizeof(float)) {
            _mm256_storeu_ps(reinterpret_cast<float*>(at), v);
        } else {
            float lanes[kLanes];
            _mm256_storeu_ps(lanes, v);
            scatter_floats(at, step, lanes, kLanes);
        }
    }
};

#endif  // __AVX2__

}  // namespace
}  // namespace zv_pt
