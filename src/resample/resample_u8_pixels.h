// The 8-bit pixels paths: interleaved RGB with taps of their own, the three
// channels of a pixel from one window (see resample_u8_paths.h, which
// chooses them).
#pragma once

#include "resample/resample_common.h"

namespace zv_pt {
namespace {

// ---- pixels --------------------------------------------------------------------
//
// Interleaved RGB with taps of their own: elements 3q, 3q + 1 and 3q + 2 are
// the channels of one pixel, with first taps one byte apart, the same count
// and the same weights, taps 3 bytes apart.  A step loads the pixel's window
// once and its weights once and picks each channel's taps out of the window;
// a group of kPixels pixels' vectors is reduced per channel at once and the
// sums stored interleaved.  Elements that are not such a pixel, or whose
// windows would pass the pass's named bytes, are summed one by one.
//
// Ops (Ops::Pixels): kPixels, kExactLoads, pixels_at(p, i) (as the function
//   below, for kPixels pixels), kTaps (per step), Plan (taps, window and
//   weight_bytes as for runs, full), plan(plan), Tail, tail(plan, taps),
//   Weights, weights(w, tail, plan), Acc, zero(), step(acc0, acc1, acc2, x,
//   weights, plan) (the three channels' taps of the step), Half, fold(acc),
//   Pair, pair(half0, half1), Sums, reduce(pairs[kPixels / 2]) (a pixel's sum
//   in lane q of a channel's sums) and store3(dst, sums[3], extra[3][kPixels],
//   half, shift) (channel c of pixel q to dst + 3q + c).  Levels with exact
//   loads mask them, so their groups ask for the source ahead themselves.

// True when a pass can hold interleaved pixels with taps of their own as
// these paths take them: packed tables, each element its own source, taps a
// pixel apart, outputs one byte apart (pixels_at then tells which elements
// are pixels).
inline bool pixel_pass(const ResamplePass& p) {
    return packed_tables(p) && p.tap_stride == 3 && p.src_step == 0 && p.dst_step == 1;
}

// Bit q for each pixel q < `pixels` from element i on that pixel_at() finds.
inline uint32_t pixels_at(const ResamplePass& p, int64_t i, int pixels) {
    uint32_t found = 0;
    for (int q = 0; q < pixels; ++q) found |= static_cast<uint32_t>(pixel_at(p, i + 3 * q, 1)) << q;
    return found;
}

// True when the `pixels` pixels from element i on (within the pass) have the same count.
inline bool same_counts(const ResamplePass& p, int64_t i, int pixels) {
    if (i + 3 * pixels > p.n) return false;
    const int64_t count = load<int64_t>(p.tap_count + 8 * i);
    for (int q = 1; q < pixels; ++q)
        if (load<int64_t>(p.tap_count + 8 * (i + 3 * q)) != count) return false;
    return true;
}

// Groups of kPixels pixels from element `first` on, up to element `end`.
// Out of line: u8_pixel_pair_groups hands it the groups it does not take.
template <class X>
__attribute__((noinline)) int64_t u8_pixel_groups(const ResamplePass& pass, int64_t first, int64_t end) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    if (!pixel_pass(p)) return first;
    typename X::Plan plan;
    X::plan(plan);
    const PassEnds ends = PassEnds::of(p, 1, sizeof(int16_t));
    if (!X::kExactLoads && ends.x == 0) return first;
    int64_t tail_count = -1;  // the count whose last step `tail` serves
    typename X::Tail tail = plan.full;
    // Where the pixels in the middle of the pass share their count (a shrink
    // by a whole factor), groups are tried for one count; where counts vary,
    // not, which keeps the branch predictable.
    const bool one_count = X::kExactLoads && same_counts(p, first + (p.n - first) / 6 * 3, X::kPixels);
    StreamPrefetch prefetch;
    int64_t i = first;
    for (; i + 3 * X::kPixels <= end; i += 3 * X::kPixels) {
        uint32_t extra[3][X::kPixels] = {};
        typename X::Half half[3][2];
        typename X::Pair pairs[3][X::kPixels / 2];
        const uint32_t found = X::pixels_at(p, i);
        if constexpr (X::kExactLoads) prefetch.ahead_of(p.src + load<int64_t>(p.tap_min + 8 * i));
        // A pixel's taps: its full steps, then the last one under `t`.
        auto steps = [&](typename X::Acc& red, typename X::Acc& green, typename X::Acc& blue, const char* x, const char* w,
                         int64_t last, const typename X::Tail& t) {
            for (int64_t j = 0; j < last; j += X::kTaps)
                X::step(red, green, blue, x + 3 * j, X::weights(w + 2 * j, plan.full, plan), plan);
            X::step(red, green, blue, x + 3 * last, X::weights(w + 2 * last, t, plan), plan);
        };
        // Pixels are reduced two by two as they come, which keeps few vectors live.
        auto fold = [&](auto q, const typename X::Acc& red, const typename X::Acc& green, const typename X::Acc& blue) {
            half[0][q % 2] = X::fold(red), half[1][q % 2] = X::fold(green), half[2][q % 2] = X::fold(blue);
            if constexpr (q % 2 == 1)
                for (int c = 0; c < 3; ++c) pairs[c][q / 2] = X::pair(half[c][0], half[c][1]);
        };
        // A group of pixels of one count takes its steps' masks once.
        const int64_t count = load<int64_t>(p.tap_count + 8 * i);
        if (one_count && found == low_bits(X::kPixels) && count >= 1 && same_counts(p, i, X::kPixels)) {
            const int64_t last = (count - 1) / X::kTaps * X::kTaps;
            if (count != tail_count) tail_count = count, tail = X::tail(plan, count - last);
            unrolled<X::kPixels>([&](auto q) {
                const int64_t e = i + 3 * q;
                typename X::Acc red = X::zero(), green = X::zero(), blue = X::zero();
                steps(red, green, blue, p.src + load<int64_t>(p.tap_min + 8 * e),
                      p.weights + load<int64_t>(p.weight_offset + 8 * e), last, tail);
                fold(q, red, green, blue);
            });
        } else {
            unrolled<X::kPixels>([&](auto q) {
                const int64_t e = i + 3 * q;
                const TapRun r = tap_run(p, e);
                typename X::Acc red = X::zero(), green = X::zero(), blue = X::zero();
                const int64_t last = r.count >= 1 ? (r.count - 1) / X::kTaps * X::kTaps : 0;
                if (r.count >= 1 && (found >> q & 1) &&
                    (X::kExactLoads || (PassEnds::within(r.first + 3 * last, plan.window, ends.x) &&
                                        PassEnds::within(r.weights + 2 * last, plan.weight_bytes, ends.w)))) {
                    if (r.count != tail_count) tail_count = r.count, tail = X::tail(plan, r.count - last);
                    steps(red, green, blue, r.first, r.weights, last, tail);
                } else {
                    for (int64_t c = 0; c < 3; ++c) extra[c][q] = u8_sum(tap_run(p, e + c), 3, 0, 0);
                }
                fold(q, red, green, blue);
            });
        }
        typename X::Sums sums[3] = {X::reduce(pairs[0]), X::reduce(pairs[1]), X::reduce(pairs[2])};
        X::store3(p.dst + i, sums, extra, p.half, p.shift);
    }
    return i;
}

// Runs of up to this many steps of a level's pixel pairs take them.
constexpr int64_t kSameSteps = 4;

// ---- pixel pairs ---------------------------------------------------------------
//
// Where a level's vectors hold two pixels' picked taps (X, Ops::PixelPairs):
// groups of kPixels pixels that are all found and take the same number of
// steps (1 to kSameSteps) go as kPixels / 2 pairs, pixel q beside pixel
// q + kPixels / 2, each step picking a channel's taps of both pixels at once
// from their two windows and multiplying them with both pixels' weights;
// the group's sums are reduced per channel at once.  The other groups go to
// u8_pixel_groups of the level's X::Pixels, one at a time.
//
// Ops: kPixels, kTaps, Pixels, group_steps(p, i) (the steps of the group
//   from element i on, or 0 where it is not taken), Plan and plan(plan),
//   Tail and tail(taps), Acc, full_step<kFirst>(acc[3], x0, x1, w0, w1, plan)
//   (kTaps taps of both pixels), step<kFirst>(acc[3], x0, x1, w0, w1, t0, t1,
//   plan) (each pixel's own; kFirst: the pair's first step, which sets
//   acc), Sums, reduce(acc[kPixels / 2][3], sums[3]) and store3(dst,
//   sums[3], half, shift) (channel c of pixel q, rounded, to dst + 3q + c).
//   Out of line, which keeps the chooser's other paths as
//   the compiler had them (inlined, it took the inlining of tap_run from the
//   vertical pass's calls: 1920 to 224, 0.26 to 0.30 ms).
template <class X>
__attribute__((noinline)) int64_t u8_pixel_pair_groups(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    if (!pixel_pass(p)) return first;
    typename X::Plan plan;
    X::plan(plan);
    constexpr int kPairs = X::kPixels / 2;
    StreamPrefetch prefetch;
    int64_t i = first;
    while (i + 3 * X::kPixels <= p.n) {
        typename X::Acc acc[kPairs][3];
        const auto group = [&](auto steps) {
            constexpr int64_t kLast = (decltype(steps)::value - 1) * X::kTaps;
            for (int k = 0; k < kPairs; ++k) {
                const int64_t e0 = i + 3 * k, e1 = i + 3 * (k + kPairs);
                const char* x0 = p.src + load<int64_t>(p.tap_min + 8 * e0);
                const char* x1 = p.src + load<int64_t>(p.tap_min + 8 * e1);
                const char* w0 = p.weights + load<int64_t>(p.weight_offset + 8 * e0);
                const char* w1 = p.weights + load<int64_t>(p.weight_offset + 8 * e1);
                unrolled<kLast / X::kTaps>([&](auto s) {
                    constexpr int64_t kAt = X::kTaps * decltype(s)::value;
                    X::template full_step<kAt == 0>(acc[k], x0 + 3 * kAt, x1 + 3 * kAt, w0 + 2 * kAt, w1 + 2 * kAt,
                                                    plan);
                });
                X::template step<kLast == 0>(acc[k], x0 + 3 * kLast, x1 + 3 * kLast, w0 + 2 * kLast, w1 + 2 * kLast,
                                             X::tail(load<int64_t>(p.tap_count + 8 * e0) - kLast),
                                             X::tail(load<int64_t>(p.tap_count + 8 * e1) - kLast), plan);
            }
        };
        prefetch.ahead_of(p.src + load<int64_t>(p.tap_min + 8 * i));  // the pairs' loads are masked
        switch (X::group_steps(p, i)) {
            case 1: group(std::integral_constant<int64_t, 1>{}); break;
            case 2: group(std::integral_constant<int64_t, 2>{}); break;
            case 3: group(std::integral_constant<int64_t, 3>{}); break;
            case 4: group(std::integral_constant<int64_t, 4>{}); break;
            default: i = u8_pixel_groups<typename X::Pixels>(p, i, i + 3 * X::kPixels); continue;
        }
        typename X::Sums sums[3];
        X::reduce(acc, sums);
        X::store3(p.dst + i, sums, p.half, p.shift);
        i += 3 * X::kPixels;
    }
    return i;
}

}  // namespace
}  // namespace zv_pt
