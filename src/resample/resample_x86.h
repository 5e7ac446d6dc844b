// x86 operations of the 8-bit kernels shared by the SSSE3 and AVX2 levels:
// the block kernel, and the 128-bit dot products (which the AVX2 level also
// takes for runs too short for its 32-byte windows).
//
// The block kernel is written once for 128-bit and 256-bit vectors.  Two taps
// go through one pmaddwd: the source bytes of both are interleaved into
// (x_j, x_j+1) 16-bit pairs and multiplied with the broadcast pair
// (w_j, w_j+1), giving x_j * w_j + x_j+1 * w_j+1 per 32-bit lane.  The unpacks and packs work within 128-bit lanes and
// the packs undo the unpacks' order, so the bytes come out in element order.
#pragma once

#include <immintrin.h>

#include "resample/resample_loops.h"

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

// The lanes of four accumulators added, each wrapping, into sums[0..3].
inline void lane_sums(__m128i a, __m128i b, __m128i c, __m128i d, uint32_t (&sums)[4]) {
    const __m128i all = _mm_hadd_epi32(_mm_hadd_epi32(a, b), _mm_hadd_epi32(c, d));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums), all);
}

// The four output bytes of four sums: half added, shifted, clamped by the
// saturating packs, little-endian in the result.
inline uint32_t finish_four(const uint32_t (&sums)[4], int32_t half, int shift) {
    const __m128i sum = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums)), _mm_set1_epi32(half));
    const __m128i shifted = _mm_sra_epi32(sum, _mm_cvtsi32_si128(shift));
    const __m128i narrow = _mm_packs_epi32(shifted, shifted);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(narrow, narrow)));
}

// Two elements per 16-byte window (u8_paired_pass).
struct SsePairOps {
    using Pair = __m128i;
    using Mask = __m128i;
    using Weights = __m128i;
    static __m128i mask_of(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
    static __m128i weights_of(const int16_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

    static Pair pair_window(const char* x, Mask mask, Weights w) {
        return _mm_madd_epi16(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)), mask), w);
    }

    static void finish8(const Pair (&pairs)[4], int32_t half, int shift, uint8_t (&out)[8]) {
        const __m128i h = _mm_set1_epi32(half), count = _mm_cvtsi32_si128(shift);
        const __m128i low = _mm_sra_epi32(_mm_add_epi32(_mm_hadd_epi32(pairs[0], pairs[1]), h), count);
        const __m128i high = _mm_sra_epi32(_mm_add_epi32(_mm_hadd_epi32(pairs[2], pairs[3]), h), count);
        const __m128i narrow = _mm_packs_epi32(low, high);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(narrow, narrow));
    }
};

// Dot product of one element's taps: bytes widened to 16 bits, pmaddwd with
// the weights, four int32 lanes.
struct SseDotOps {
    using Dot = __m128i;
    using PairOps = SsePairOps;
    static constexpr int kWindow = 16;

    static Dot dot_zero() { return _mm_setzero_si128(); }

    static Dot dot16(Dot acc, const char* x, const char* w) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
        const __m128i zero = _mm_setzero_si128();
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), load_weights(w)));
        return _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), load_weights(w + 16)));
    }

    static Dot dot8(Dot acc, const char* x, const char* w) {
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(x));
        return _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(v, _mm_setzero_si128()), load_weights(w)));
    }

    static void dot_sums(const Dot (&acc)[4], uint32_t (&sums)[4]) { lane_sums(acc[0], acc[1], acc[2], acc[3], sums); }

    static uint32_t finish4(const uint32_t (&sums)[4], int32_t half, int shift) {
        return finish_four(sums, half, shift);
    }

    using Mask = __m128i;
    using Weights = __m128i;
    static __m128i mask_of(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
    static __m128i weights_of(const int16_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

    static Dot dot_window(Dot acc, const char* x, Mask mask, Weights w) {
        const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)), mask);
        return _mm_add_epi32(acc, _mm_madd_epi16(v, w));
    }

    static __m128i load_weights(const char* w) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w)); }
};

#if defined(__AVX2__)
struct Avx2F32Ops {
    using V = __m256;
    static constexpr int kLanes = 8;

    static V zero() { return _mm256_setzero_ps(); }
    static V load(const char* at) { return _mm256_loadu_ps(reinterpret_cast<const float*>(at)); }
    static V broadcast(const char* at) { return _mm256_set1_ps(zv_pt::load<float>(at)); }
    static V fma(V x, V w, V acc) { return _mm256_fmadd_ps(x, w, acc); }

    static V gather(const char* const* at, int64_t offset) {
        auto f = [&](int k) { return zv_pt::load<float>(at[k] + offset); };
        return _mm256_setr_ps(f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7));
    }

    // Lanes k and k + 4 share a 256-bit row; one in-lane 4x4 transposition
    // then serves both halves.
    static void transposed(const char* const* at, int64_t offset, V (&out)[4]) {
        auto row = [&](int k) {
            return _mm256_set_m128(_mm_loadu_ps(reinterpret_cast<const float*>(at[k + 4] + offset)),
                                   _mm_loadu_ps(reinterpret_cast<const float*>(at[k] + offset)));
        };
        const V r0 = row(0), r1 = row(1), r2 = row(2), r3 = row(3);
        const V t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
        const V t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
        out[0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        out[1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        out[2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        out[3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
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

// Dot product of one element's taps: 16 bytes widened to 16 bits in one
// vector, one vpmaddwd with the weights, eight int32 lanes.
struct Avx2DotOps {
    using Dot = __m256i;
    using PairOps = SsePairOps;
    static constexpr int kWindow = 32;

    static Dot dot_zero() { return _mm256_setzero_si256(); }

    static Dot dot16(Dot acc, const char* x, const char* w) {
        const __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
        return _mm256_add_epi32(acc, _mm256_madd_epi16(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w))));
    }

    static Dot dot8(Dot acc, const char* x, const char* w) {
        const __m128i v = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x)));
        const __m128i product = _mm_madd_epi16(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(w)));
        return _mm256_add_epi32(acc, _mm256_zextsi128_si256(product));
    }

    using Mask = __m256i;
    using Weights = __m256i;
    static __m256i mask_of(const uint8_t* at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)); }
    static __m256i weights_of(const int16_t* at) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)); }

    static Dot dot_window(Dot acc, const char* x, Mask mask, Weights w) {
        const __m256i v = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)), mask);
        return _mm256_add_epi32(acc, _mm256_madd_epi16(v, w));
    }

    static void dot_sums(const Dot (&acc)[4], uint32_t (&sums)[4]) {
        auto fold = [&](int e) {
            return _mm_add_epi32(_mm256_castsi256_si128(acc[e]), _mm256_extracti128_si256(acc[e], 1));
        };
        lane_sums(fold(0), fold(1), fold(2), fold(3), sums);
    }

    static uint32_t finish4(const uint32_t (&sums)[4], int32_t half, int shift) {
        return finish_four(sums, half, shift);
    }
};

#endif  // __AVX2__

}  // namespace
}  // namespace zv_pt
