// The AVX-512 float resampling kernel (also the float kernel of the VNNI and
// VBMI level), in a file of its own: compiled beside the 8-bit kernels, it
// shared their translation unit's inlining budget, and a change to the 8-bit
// paths changed the float code.
#include "resample/resample_avx512_f32.h"

namespace zv_pt {

void resample_f32_avx512(const ResamplePass& p) { run_clean(resample_f32_lanes<Avx512F32Ops, 8, 4, 2>, p); }

}  // namespace zv_pt
