// The AVX-512 (F, BW, VL, DQ) 8-bit resampling kernel; see resample_avx512.h
// (the float one is in resample_f32_avx512.cc).
#include "resample/resample_avx512.h"

namespace zv_pt {

void resample_u8_avx512(const ResamplePass& p) { run_clean(resample_u8_with<Avx512U8<false, false>>, p); }

}  // namespace zv_pt
