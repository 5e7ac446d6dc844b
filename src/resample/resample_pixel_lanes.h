// Interleaved RGB with taps of their own, where a level can hold a pixel's
// three channels in the lanes of one vector (NEON): the elements from a
// tap's pixel on give all three channels' products with one multiply-add by
// the tap's weight, lane c forming the sum of channel c (in tap order, as
// the scalar definitions do: f32_sum's fused multiply-adds, u8_sum's
// products).  kPixelLanes pixels go side by side (their chains independent)
// over the taps they all have, four at a time with four weights loaded at
// once, the last one to three through one branch for the group; each pixel
// then adds its own taps one at a time, mostly none or one (the runs of a
// resize differ by a tap).  A group whose reads would pass the pass's named
// bytes goes to the other paths, with the rest of the pass, except at a
// line's end in a call of several lines (pixel_lanes_over_lines).
//
// Lanes (Ops::PixelLanes): T (the element type), Acc, start(half),
//   taps<k>(acc, x, w) (k <= 4 taps from the pixel at x, their weights from
//   w on), tap(acc, x, w) (one), pixel_group(p, i, ends) (the kPixelLanes
//   pixels from element i on are pixels (pixel_at) with taps, whose reads by
//   taps and tap stay within the pass's ends) and store(dst, acc[kPixelLanes],
//   shift) (their 3 * kPixelLanes elements).
#pragma once

#include "resample/resample_common.h"

namespace zv_pt {
namespace {

// Pixels side by side in a group.
constexpr int kPixelLanes = 4;

struct NoPixelLanes {};

// Ops::PixelLanes where the level has them, else NoPixelLanes.
template <class Ops>
using PixelLanesMember = typename Ops::PixelLanes;
template <class Ops>
using PixelLanesOf = MemberOr<PixelLanesMember, Ops, NoPixelLanes>;

// Elements [from, to) by `element` (each_element over the pass cut at
// `to`); out of the loop that calls it, which stays as tight as without it.
template <class T, class Element>
[[gnu::cold, gnu::noinline]] void one_at_a_time(const ResamplePass& pass, int64_t from, int64_t to, Element element) {
    ResamplePass cut = pass;
    cut.n = to;
    each_element<T>(cut, from, element);
}

template <class L>
inline int64_t pixel_lane_groups(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    using T = typename L::T;
    using Weight = std::conditional_t<std::is_same_v<T, float>, float, int16_t>;
    constexpr int64_t kElement = sizeof(T), kPixel = 3 * kElement, kWeight = sizeof(Weight);
    if (!packed_tables(p) || p.tap_stride != kPixel || p.src_step != 0 || p.dst_step != kElement) return first;
    const PassEnds ends = PassEnds::of(p, kElement, kWeight);
    int64_t i = first;
    for (; i + 3 * kPixelLanes <= p.n; i += 3 * kPixelLanes) {
        if (!L::pixel_group(p, i, ends)) break;
        TapRun r[kPixelLanes];
        typename L::Acc acc[kPixelLanes];
        int64_t common = INT64_MAX;
        unrolled<kPixelLanes>([&](auto q) {
            r[q] = tap_run(p, i + 3 * q);
            common = std::min(common, r[q].count);
            acc[q] = L::start(p.half);
        });
        int64_t j = 0;
        const auto common_taps = [&](auto taps) {
            unrolled<kPixelLanes>([&](auto q) {
                acc[q] = L::template taps<decltype(taps)::value>(acc[q], r[q].first + kPixel * j, r[q].weights + kWeight * j);
            });
        };
        for (; j + 4 <= common; j += 4) common_taps(std::integral_constant<int, 4>{});
        switch (common - j) {
            case 1: common_taps(std::integral_constant<int, 1>{}); break;
            case 2: common_taps(std::integral_constant<int, 2>{}); break;
            case 3: common_taps(std::integral_constant<int, 3>{}); break;
            default: break;
        }
        unrolled<kPixelLanes>([&](auto q) {
            for (int64_t t = common; t < r[q].count; ++t)
                acc[q] = L::tap(acc[q], r[q].first + kPixel * t, r[q].weights + kWeight * t);
        });
        L::store(p.dst + i * kElement, acc, p.shift);
    }
    return i;
}

// The pixel lanes over a call of several lines, whose tables end with each
// line's: a line's last group, whose reads would pass those ends, takes its
// elements one at a time (`element`, the scalar sum), and the lanes go on
// with the next line (AArch64, the photo's 8-bit bilinear pass per row, two
// lines a call: 65.8 to 23.3 instructions an element, where the rest of a
// call went to the runs).  Where they stop again at once, or within two
// groups of the pass's end, the other paths take the rest.  Not inlined,
// and called for taps of their own only: in the kernel's body it cost the
// float shared-taps lanes after it 1.6 instructions an element (AArch64,
// the photo's phases).
template <class L, class Element>
[[gnu::noinline]] int64_t pixel_lanes_over_lines(const ResamplePass& p, int64_t first, Element element) {
    int64_t i = pixel_lane_groups<L>(p, first);
    while (i > first && i + 9 * kPixelLanes <= p.n) {
        one_at_a_time<typename L::T>(p, i, i + 3 * kPixelLanes, element);
        const int64_t from = i + 3 * kPixelLanes;
        i = pixel_lane_groups<L>(p, from);
        if (i == from) break;
    }
    return i;
}

}  // namespace
}  // namespace zv_pt
