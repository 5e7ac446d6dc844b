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

template <class Width>
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
        acc.sum[0] = add32(acc.sum[0], madd16(unpacklo8(lo, zero), weight_pair));
        acc.sum[1] = add32(acc.sum[1], madd16(unpackhi8(lo, zero), weight_pair));
        acc.sum[2] = add32(acc.sum[2], madd16(unpacklo8(hi, zero), weight_pair));
        acc.sum[3] = add32(acc.sum[3], madd16(unpackhi8(hi, zero), weight_pair));
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

}  // namespace
}  // namespace zv_pt
