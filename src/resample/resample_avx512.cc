// AVX-512 (F, BW, VL, DQ) resampling kernels; see resample_avx512.h.
#include "resample/resample_avx512.h"

namespace zv_pt {

void resample_f32_avx512(const ResamplePass& p) { resample_f32_lanes<Avx512F32Ops, 8, 4, 2>(p); }

void resample_u8_avx512(const ResamplePass& p) { resample_u8_with<Avx512U8<false, false>>(p); }

}  // namespace zv_pt
