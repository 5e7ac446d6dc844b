// The AVX2 + FMA3 float resampling kernel: 8 float lanes with fused
// multiply-adds.  In a file of its own, as on AVX-512: beside the 8-bit
// kernel it would share that translation unit's inlining budget.
#include "resample/resample_x86.h"

namespace zv_pt {

void resample_f32_avx2(const ResamplePass& p) { run_clean(resample_f32_lanes<Avx2F32Ops, 8>, p); }

}  // namespace zv_pt
