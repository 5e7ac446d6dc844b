// SSSE3-level 8-bit resampling kernel.  The float kernel of this level is the
// C one: an exact fused multiply-add has no vector form without FMA3.
#include "resample/resample_x86.h"

namespace zv_pt {

void resample_u8_ssse3(const ResamplePass& p) {
    int64_t i = 0;
    if (u8_contiguous_shared(p))
        i = u8_contiguous_blocks<PairBlockOps<Xmm>, 1>(p, 0);
    else if (u8_shuffled_pass<SseDotOps>(p))
        return;
    u8_dot_elements<SseDotOps>(p, i);
}

}  // namespace zv_pt
