// AVX-512 float resampling ops: 16 float lanes with fused multiply-adds, and
// the window lanes (taps picked out of 32 source and 64 weight floats).
// Included by resample_f32_avx512.cc, the float kernel of both AVX-512 levels.
#pragma once

#include "resample/resample_avx512.h"
#include "resample/resample_f32_paths.h"

namespace zv_pt {
namespace {

struct Avx512Windows;

struct Avx512F32Ops {
    using V = __m512;
    static constexpr int kLanes = 16;
    using Windows = Avx512Windows;

    static V zero() { return _mm512_setzero_ps(); }
    static V load(const char* at) { return _mm512_loadu_ps(at); }
    static V broadcast(const char* at) { return _mm512_set1_ps(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return _mm512_fmadd_ps(x, w, acc); }

    template <class At>
    static V gather(const At& at, int64_t offset) {
        auto f = [&](int k) { return zv_pt::load<float>(at[k] + offset); };
        return _mm512_setr_ps(f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8), f(9), f(10), f(11), f(12),
                              f(13), f(14), f(15));
    }

    // Lanes k, k + 4, k + 8 and k + 12 share a row of four 128-bit blocks;
    // one in-block 4x4 transposition then serves all four.
    template <class At>
    static void transposed(const At& at, int64_t offset, V (&out)[4]) {
        auto row = [&](int k) {
            auto block = [&](int b) { return _mm_loadu_ps(reinterpret_cast<const float*>(at[k + 4 * b] + offset)); };
            const __m256 lo = _mm256_set_m128(block(1), block(0)), hi = _mm256_set_m128(block(3), block(2));
            return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
        };
        transpose_blocks(row(0), row(1), row(2), row(3), out);
    }

    // Lanes a few floats apart (the phases of a doubling write every other
    // float) are moved into place per 64 bytes and stored under masks.
    static constexpr int64_t kSpreadFloats = 4;
    struct Spread {
        std::array<std::array<int32_t, 16>, kSpreadFloats> index;  // per 64 bytes: the lane of each float
        std::array<__mmask16, kSpreadFloats> mask;                 // the floats that are lanes
    };
    static constexpr std::array<Spread, kSpreadFloats + 1> kSpreads = [] {
        std::array<Spread, kSpreadFloats + 1> spreads{};
        for (size_t s = 1; s <= kSpreadFloats; ++s)
            for (size_t f = 0; f < 16 * s; ++f)
                if (f % s == 0) {
                    spreads[s].index[f / 16][f % 16] = static_cast<int32_t>(f / s);
                    spreads[s].mask[f / 16] = static_cast<__mmask16>(spreads[s].mask[f / 16] | 1u << (f % 16));
                }
        return spreads;
    }();

    static void store(char* at, int64_t step, V v) {
        if (step == sizeof(float)) {
            _mm512_storeu_ps(at, v);
        } else if (step > 0 && step % 4 == 0 && step / 4 <= kSpreadFloats) {
            const Spread& spread = kSpreads[static_cast<size_t>(step / 4)];
            for (int64_t m = 0; m < step / 4; ++m)
                _mm512_mask_storeu_ps(at + 64 * m, spread.mask[static_cast<size_t>(m)],
                                      _mm512_permutexvar_ps(_mm512_loadu_si512(spread.index[static_cast<size_t>(m)].data()), v));
        } else {
            float lanes[kLanes];
            _mm512_storeu_ps(lanes, v);
            scatter_floats(at, step, lanes, kLanes);
        }
    }
};

// ---- float windows: 16 elements, 32 source and 64 weight floats ------------------

struct Avx512Windows {
    static constexpr int kLanes = 16;
    static constexpr int64_t kWindow = 32;
    static constexpr int64_t kWeightWindow = 64;
    struct Group {
        __m512i x, w;      // per lane: the window slot of its first tap, of its first weight
        __m512i counts;    // per lane: its tap count
        int64_t stride;    // window slots from a tap to the next
        __m512 window[2], weights[4];
    };
    using Steps = Avx512Steps;
    using Acc = __m512;

    static Steps steps_of(int64_t src_step) { return Avx512Steps::of(src_step); }

    static int element_group(const ResamplePass& p, int64_t i, int64_t taps, const Steps& steps, Group& g) {
        const int64_t span = (taps - 1) * p.tap_stride;  // bytes from a lane's first tap to its last
        if (span > 4 * (kWindow - 1)) return 0;
        const Avx512Entries e(p, i, steps);
        using E = Avx512Entries;
        const __mmask16 taps_fit = E::fits(E::multiples(e.counts_fit(0xffff, taps), e.d, 4), e.d, 4 * (kWindow - 1) - span);
        const __mmask16 ok = E::fits(E::multiples(taps_fit, e.wd, 4), e.wd, 4 * (kWeightWindow - taps));
        g.counts = e.c;
        g.x = _mm512_srli_epi32(e.d, 2);
        g.w = _mm512_srli_epi32(e.wd, 2);
        g.stride = p.tap_stride / 4;
        return leading_lanes(ok);
    }

    static bool longer_taps(const ResamplePass& p, int64_t i, int64_t count) { return has_more_taps(p, i, count); }

    static int shared_group(const ResamplePass& p, int64_t taps, Group& g) {
        const int64_t span = (taps - 1) * p.tap_stride / 4;  // floats from a lane's first tap to its last
        if (p.src_step < 0 || p.src_step % 4 != 0 || span > kWindow - 1) return 0;
        const int64_t s = p.src_step / 4;
        g.x = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                 _mm512_set1_epi32(static_cast<int32_t>(s)));
        g.stride = p.tap_stride / 4;
        return static_cast<int>(s == 0 ? kLanes : std::min<int64_t>(kLanes, (kWindow - 1 - span) / s + 1));
    }

    static void load(Group& g, const char* x, const char* w) {
        g.window[0] = _mm512_loadu_ps(x);
        g.window[1] = _mm512_loadu_ps(x + 64);
        if (w != nullptr)
            for (int k = 0; k < 4; ++k) g.weights[k] = _mm512_loadu_ps(w + 64 * k);
    }

    static Acc start() { return _mm512_setzero_ps(); }

    static __m512 tap(const Group& g, int64_t j) {
        const __m512i at = _mm512_add_epi32(g.x, _mm512_set1_epi32(static_cast<int32_t>(j * g.stride)));
        return _mm512_permutex2var_ps(g.window[0], at, g.window[1]);
    }

    // Weight j of every lane from the 64-float window: its two halves
    // picked apart and blended.
    static Acc tap_elements(Acc acc, const Group& g, int64_t j) {
        const __m512i j_lanes = _mm512_set1_epi32(static_cast<int32_t>(j));
        const __mmask16 has = _mm512_cmpgt_epi32_mask(g.counts, j_lanes);
        const __m512i at = _mm512_add_epi32(g.w, j_lanes);
        const __m512 low = _mm512_permutex2var_ps(g.weights[0], at, g.weights[1]);
        const __m512 high = _mm512_permutex2var_ps(g.weights[2], at, g.weights[3]);
        const __m512 weight = _mm512_mask_blend_ps(_mm512_cmpge_epi32_mask(at, _mm512_set1_epi32(32)), low, high);
        return _mm512_mask3_fmadd_ps(tap(g, j), weight, acc, has);
    }

    static Acc tap_shared(Acc acc, const Group& g, int64_t j, const char* w) {
        return _mm512_fmadd_ps(tap(g, j), _mm512_set1_ps(zv_pt::load<float>(w)), acc);
    }

    static void store(char* dst, int64_t step, Acc acc, int lanes) {
        if (step == sizeof(float) && lanes == kLanes) {
            _mm512_storeu_ps(dst, acc);  // no mask where none is needed, as for bytes
        } else if (step == sizeof(float)) {
            _mm512_mask_storeu_ps(dst, static_cast<__mmask16>(low_bits(lanes)), acc);
        } else {
            float out[16];
            _mm512_storeu_ps(out, acc);
            scatter_floats(dst, step, out, lanes);
        }
    }
};

}  // namespace
}  // namespace zv_pt
