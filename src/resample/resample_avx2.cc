// AVX2 + FMA3 resampling kernels: 8 float lanes with fused multiply-adds, 32
// output bytes per block, 32-byte shuffled windows for shared taps a few bytes
// apart.  The elements after the last whole 32-byte block go to the SSSE3
// variant, which every AVX2 processor runs.
#include "resample/resample_x86.h"

namespace zv_pt {
namespace {

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

}  // namespace

void resample_f32_avx2(const ResamplePass& p) { resample_f32_lanes<Avx2F32Ops, 8>(p); }

// Shared taps a few bytes apart take 32-byte windows, or 16-byte ones when an
// element's taps span fewer than 32 bytes.
void resample_u8_avx2(const ResamplePass& p) {
    if (!u8_contiguous_shared(p)) {
        if (u8_shuffled_pass<Avx2DotOps>(p) || u8_shuffled_pass<SseDotOps>(p)) return;
        return u8_dot_elements<Avx2DotOps>(p, 0);
    }
    const int64_t done = u8_contiguous_blocks<PairBlockOps<Ymm>, 1>(p, 0);
    if (done < p.n) resample_u8_ssse3(from_element(p, done));
}

}  // namespace zv_pt
