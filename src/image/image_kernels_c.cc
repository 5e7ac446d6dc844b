// Scalar reference of the image row kernels, and the table of variants.
#include "image/image_kernels.h"

namespace zv_pt {

namespace {

template <class T>
void split3(const T* src, T* d0, T* d1, T* d2, int64_t n) {
    for (int64_t p = 0; p < n; ++p) {
        d0[p] = src[3 * p];
        d1[p] = src[3 * p + 1];
        d2[p] = src[3 * p + 2];
    }
}

}  // namespace

void split3_u8_c(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    split3(src, d0, d1, d2, n);
}

void split3_f32_c(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    split3(src, d0, d1, d2, n);
}

void normalize3_f32_c(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n) {
    float* const planes[3] = {p0, p1, p2};
    for (int c = 0; c < 3; ++c)
        for (int64_t i = 0; i < n; ++i) planes[c][i] = (planes[c][i] - mean[c]) / stdv[c];
}

const ImageKernels& image_kernels(Isa isa) {
    static constexpr ImageKernels c{split3_u8_c, split3_f32_c, normalize3_f32_c, split3_u8_c, split3_f32_c};
#if defined(ZV_PT_SIMD_X86)
    static constexpr ImageKernels ssse3{split3_u8_ssse3, split3_f32_ssse3, normalize3_f32_ssse3, split3_u8_ssse3,
                                          split3_f32_ssse3};
    static constexpr ImageKernels avx2{split3_u8_avx2, split3_f32_avx2, normalize3_f32_avx2, split3_u8_avx2_stream,
                                         split3_f32_avx2_stream};
    // AVX-512 only widens the division-bound normalisation.
    static constexpr ImageKernels avx512{split3_u8_avx2, split3_f32_avx2, normalize3_f32_avx512,
                                         split3_u8_avx2_stream, split3_f32_avx2_stream};
    if (isa == Isa::avx512 || isa == Isa::avx512icl) return avx512;
    if (isa == Isa::avx2) return avx2;
    if (isa == Isa::ssse3) return ssse3;
#endif
#if defined(ZV_PT_SIMD_NEON)
    static constexpr ImageKernels neon{split3_u8_neon, split3_f32_neon, normalize3_f32_neon, split3_u8_neon,
                                         split3_f32_neon};
    if (isa == Isa::neon) return neon;
#endif
    (void)isa;
    return c;
}

}  // namespace zv_pt
