// AVX-512 resampling kernels (F, BW, VL; with VNNI where the including file
// is compiled for it): 16 float lanes with fused multiply-adds, 64 output
// bytes per block.  Included once by resample_avx512.cc and once by
// resample_avx512vnni.cc, each compiled for its level.
#pragma once

#include "resample/resample_x86.h"

// GCC 12's AVX-512 headers fill unused merge operands with a deliberately
// undefined value, which -Wmaybe-uninitialized reports; no value of ours is
// uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace zv_pt {
namespace {

struct Avx512F32Ops {
    using V = __m512;
    static constexpr int kLanes = 16;

    static V zero() { return _mm512_setzero_ps(); }
    static V load(const char* at) { return _mm512_loadu_ps(at); }
    static V broadcast(const char* at) { return _mm512_set1_ps(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return _mm512_fmadd_ps(x, w, acc); }

    static V gather(const char* const* at, int64_t offset) {
        auto f = [&](int k) { return zv_pt::load<float>(at[k] + offset); };
        return _mm512_setr_ps(f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8), f(9), f(10), f(11), f(12),
                              f(13), f(14), f(15));
    }

    // Lanes k, k + 4, k + 8 and k + 12 share a row of four 128-bit blocks;
    // one in-block 4x4 transposition then serves all four.
    static void transposed(const char* const* at, int64_t offset, V (&out)[4]) {
        auto row = [&](int k) {
            auto block = [&](int b) { return _mm_loadu_ps(reinterpret_cast<const float*>(at[k + 4 * b] + offset)); };
            const __m256 lo = _mm256_set_m128(block(1), block(0)), hi = _mm256_set_m128(block(3), block(2));
            return _mm512_insertf32x8(_mm512_zextps256_ps512(lo), hi, 1);
        };
        const V r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const V t0 = _mm512_unpacklo_ps(r0, r1), t1 = _mm512_unpackhi_ps(r0, r1);
        const V t2 = _mm512_unpacklo_ps(r2, r3), t3 = _mm512_unpackhi_ps(r2, r3);
        out[0] = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        out[1] = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        out[2] = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        out[3] = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    }

    static void store(char* at, int64_t step, V v) {
        if (step == sizeof(float)) {
            _mm512_storeu_ps(at, v);
        } else {
            float lanes[kLanes];
            _mm512_storeu_ps(lanes, v);
            scatter_floats(at, step, lanes, kLanes);
        }
    }
};

// The 8-bit kernel of the level: 64-byte blocks where sources are
// consecutive, the AVX2 variant's paths elsewhere.
template <bool kVnni>
void resample_u8_avx512_level(const ResamplePass& p) {
    if (!u8_contiguous_shared(p)) {
        if (u8_shuffled_pass<Avx2DotOps>(p) || u8_shuffled_pass<SseDotOps>(p)) return;
        return u8_dot_elements<Avx2DotOps>(p, 0);
    }
    int64_t i = u8_contiguous_blocks<PairBlockOps<Zmm, kVnni>, 1>(p, 0);
    i = u8_contiguous_blocks<PairBlockOps<Ymm, kVnni>, 1>(p, i);
    if (i < p.n) u8_dot_elements<SseDotOps>(from_element(p, i), 0);
}

}  // namespace
}  // namespace zv_pt
