// AVX2 + FMA3 resampling kernels: 8 float lanes with fused multiply-adds, 32
// output bytes per block, 32-byte shuffled windows for shared taps a few bytes
// apart.  The elements after the last whole 32-byte block go to the SSSE3
// variant, which every AVX2 processor runs.
#include "resample/resample_x86.h"

namespace zv_pt {

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
