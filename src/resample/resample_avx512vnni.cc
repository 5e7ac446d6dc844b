// AVX-512 resampling kernels with VNNI: the 8-bit multiply-adds as vpdpwssd,
// which gives pmaddwd-and-add's bits in one instruction.  The float kernel of
// this level is the AVX-512 one.
#include "resample/resample_avx512.h"

namespace zv_pt {

void resample_u8_avx512vnni(const ResamplePass& p) { resample_u8_with<Avx512U8<true>>(p); }

}  // namespace zv_pt
