// AVX-512 resampling kernels with VNNI and VBMI: the 8-bit multiply-adds as
// vpdpwssd, which gives pmaddwd-and-add's bits in one instruction, and the
// taps of interleaved pixels picked out of 128-byte windows by vpermt2b.  The
// float kernel of this level is the AVX-512 one.
#include "resample/resample_avx512_channel_lanes.h"

namespace zv_pt {

void resample_u8_avx512icl(const ResamplePass& p) { run_clean(resample_u8_with<Avx512U8<true, true>>, p); }

}  // namespace zv_pt
