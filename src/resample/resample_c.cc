// Scalar reference of the resampling kernels, and the table of variants.
#include "resample/resample_common.h"

namespace zv_pt {

void resample_f32_c(const ResamplePass& p) {
    each_element<float>(p, 0, [](const TapRun& r, const ResamplePass& q) { return f32_element(r, q); });
}

void resample_u8_c(const ResamplePass& p) {
    each_element<uint8_t>(p, 0, [](const TapRun& r, const ResamplePass& q) { return u8_element(r, q); });
}

const ResampleKernels& resample_kernels(Isa isa) {
    static constexpr ResampleKernels c{resample_f32_c, resample_u8_c};
#if defined(ZV_PT_SIMD_X86)
    static constexpr ResampleKernels ssse3{resample_f32_c, resample_u8_ssse3};
    static constexpr ResampleKernels avx2{resample_f32_avx2, resample_u8_avx2};
    static constexpr ResampleKernels avx512{resample_f32_avx512, resample_u8_avx512};
    static constexpr ResampleKernels avx512icl{resample_f32_avx512, resample_u8_avx512icl};
    if (isa == Isa::avx512icl) return avx512icl;
    if (isa == Isa::avx512) return avx512;
    if (isa == Isa::avx2) return avx2;
    if (isa == Isa::ssse3) return ssse3;
#endif
#if defined(ZV_PT_SIMD_NEON)
    static constexpr ResampleKernels neon{resample_f32_neon, resample_u8_neon};
    if (isa == Isa::neon) return neon;
#endif
    (void)isa;
    return c;
}

}  // namespace zv_pt
