// SSSE3-level 8-bit resampling kernel.  The float kernel of this level is the
// C one: an exact fused multiply-add has no vector form without FMA3.
#include "resample/resample_x86.h"

namespace zv_pt {
namespace {

// Dot product of one element's taps: bytes widened to 16 bits, pmaddwd with
// the weights, four int32 lanes.
struct SseDotOps {
    using Dot = __m128i;

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

    static __m128i load_weights(const char* w) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w)); }
};

}  // namespace

void resample_u8_ssse3(const ResamplePass& p) {
    int64_t i = 0;
    if (u8_contiguous_shared(p)) i = u8_contiguous_blocks<PairBlockOps<Xmm>, 1>(p, 0);
    u8_dot_elements<SseDotOps>(p, i);
}

}  // namespace zv_pt
