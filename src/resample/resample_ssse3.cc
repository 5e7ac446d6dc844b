// SSSE3-level 8-bit resampling kernel: blocks of 16 output bytes, and one
// 16-byte window a step for runs a few bytes apart.  The float kernel of this
// level is the C one: an exact fused multiply-add has no vector form without
// FMA3.
#include "resample/resample_x86.h"

namespace zv_pt {
namespace {

struct Ssse3U8 {
    using Block = PairBlockOps<Xmm>;
    using SmallBlock = PairBlockOps<Xmm>;
    static constexpr int kBlocks = 1;
    using Pixels = ShufflePixels<Xmm>;
    using Lanes = NoLanes;
    using Runs = ShuffleRuns<Xmm>;
    static constexpr int64_t kPixelsFrom = 5;
    static constexpr int64_t kRunsFrom = 5;
    // 640 to 1280 bilinear, period 2: 4.3 ns an element with their own
    // taps, 1.17 in spans.
    static constexpr int64_t kSharedSpanPeriods = kMaxSpanPeriod;
};

}  // namespace

void resample_u8_ssse3(const ResamplePass& p) { resample_u8_with<Ssse3U8>(p); }

}  // namespace zv_pt
