// The AVX2 8-bit resampling kernel: blocks of 32 output bytes, eight
// elements in lanes for short runs and two 16-byte windows a step for long
// ones (the float kernel is in resample_f32_avx2.cc).
#include "resample/resample_x86.h"

namespace zv_pt {
namespace {

struct Avx2U8 {
    using Block = PairBlockOps<Ymm>;
    using SmallBlock = PairBlockOps<Xmm>;
    static constexpr int kBlocks = 1;
    using Pixels = ShufflePixels<Ymm>;
    using Lanes = Avx2Lanes;
    using Runs = ShuffleRuns<Ymm>;
    // Shared runs of a few taps half fill a 256-bit step: 128-bit steps are
    // faster there (the 4K halving's phases, 4 taps: 5.3 against 4.6 ms a
    // pass, as SSSE3 takes them).
    using ShortRuns = ShuffleRuns<Xmm>;
    static constexpr int64_t kShortRunsTo = 5;
    static constexpr int64_t kPixelsFrom = 5;
    static constexpr int64_t kRunsFrom = 5;
    // 640 to 1280 bilinear, period 2: 3.37 ns an element with their own
    // taps, 0.84 in spans.
    static constexpr int64_t kSharedSpanPeriods = kMaxSpanPeriod;
};

}  // namespace

void resample_u8_avx2(const ResamplePass& p) { run_clean(resample_u8_with<Avx2U8>, p); }

}  // namespace zv_pt
