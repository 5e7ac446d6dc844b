// The 8-bit resampling paths, each named for the pattern of taps it serves
// and written once over a level's ops, and resample_u8_with<Ops>(), the one
// place that looks at a pass and chooses among them.
//
//   contiguous: shared taps over consecutive source bytes (a vertical pass):
//               blocks of output bytes, every tap one vector multiply-add;
//   pixel lanes: interleaved RGB with taps of their own, a pixel's channels
//               in the lanes of one vector (resample_pixel_lanes.h);
//   pixels:     long runs of interleaved RGB with taps of their own: the three
//               channels of a pixel from one window; groups whose pixels all
//               take the same several steps run them written out
//               (resample_u8_pixels.h);
//   channel lanes: interleaved RGB with short runs of their own: a pixel a
//               lane, three sums, one a channel (resample_u8_lanes.h);
//   lanes:      short runs (up to 2 * kMaxLaneRounds taps) a few bytes apart:
//               elements side by side in the lanes of a vector, their taps
//               two at a time, picked out of windows of source bytes
//               (resample_u8_lanes.h);
//   runs:       long runs a few bytes apart: one element at a time, up to a
//               vector of its taps at a time, the sums of a group of
//               elements reduced together;
//   elements:   everything else, one element at a time by the definition.
//
// The sums are integers, so every grouping of the taps gives the same bits.
// No vector load reaches outside the bytes from the pass's first named tap or
// weight to its last: windows stop at the last tap and weight of the pass's
// last element (or the level loads with masks), and elements whose windows
// would not take the next path.
#pragma once

#include "resample/resample_common.h"
#include "resample/resample_pixel_lanes.h"
#include "resample/resample_u8_lanes.h"
#include "resample/resample_u8_pixels.h"

namespace zv_pt {
namespace {

// ---- contiguous ----------------------------------------------------------------
//
// Ops (Ops::Block): Acc (kBytes int32 sums), kBytes, init(half), add_pair(acc,
// x, tap_stride, w) (the taps at x and x + tap_stride with the two weights at
// w), add_one(acc, x, w), store(dst, step, acc, shift) (shift, clamp to
// 0..255, store kBytes bytes step apart).  The sums wrap in 32 bits like u8_sum.

// kBlocks * kBytes elements with shared taps whose sources are consecutive
// bytes.  With `ahead`, the elements kPrefetchBytes on are part of the pass
// and their taps are prefetched, as in the float kernel.
template <class Ops, int kBlocks>
inline void u8_contiguous_block(const TapRun& r, const ResamplePass& p, char* dst, bool ahead) {
    constexpr int64_t kBytes = Ops::kBytes;
    typename Ops::Acc acc[kBlocks];
    for (auto& a : acc) a = Ops::init(p.half);
    const int64_t tap_stride = p.tap_stride;
    const char* x = r.first;
    const char* w = r.weights;
    int64_t j = 0;
    for (; j + 2 <= r.count; j += 2, x += 2 * tap_stride, w += 2 * sizeof(int16_t)) {
        if (ahead)
            for (int64_t line = 0; line < kBlocks * kBytes; line += 64) {
                __builtin_prefetch(x + kPrefetchBytes + line);
                __builtin_prefetch(x + tap_stride + kPrefetchBytes + line);
            }
        for (int b = 0; b < kBlocks; ++b) Ops::add_pair(acc[b], x + b * kBytes, tap_stride, w);
    }
    if (j < r.count)
        for (int b = 0; b < kBlocks; ++b) Ops::add_one(acc[b], x + b * kBytes, w);
    for (int b = 0; b < kBlocks; ++b) Ops::store(dst + b * kBytes * p.dst_step, p.dst_step, acc[b], p.shift);
}

// Runs whole steps of kBlocks blocks from element `first` of a shared-taps pass
// over consecutive source bytes; returns the first element not done.
template <class Ops, int kBlocks>
inline int64_t u8_contiguous_blocks(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    constexpr int64_t kStep = kBlocks * Ops::kBytes;
    const TapRun r = tap_run(p, 0);
    int64_t i = first;
    for (; i + kStep <= p.n; i += kStep)
        u8_contiguous_block<Ops, kBlocks>(moved(r, i), p, p.dst + i * p.dst_step, i + kStep + kPrefetchBytes <= p.n);
    return i;
}

// The elements after `first` that fill no block, as one block ending at the
// pass's last element (where the stores cannot change the taps): one element
// at a time, the 12 left of a 500-pixel line's 1500 had taken a fifth of the
// vertical pass of 500x375 to 224x224 bilinear.
template <class Ops>
inline int64_t u8_contiguous_last(const ResamplePass& p, int64_t first) {
    if (first >= p.n || p.n < Ops::kBytes || !stores_apart_from_taps(p, 1)) return first;
    const int64_t at = p.n - Ops::kBytes;
    u8_contiguous_block<Ops, 1>(moved(tap_run(p, 0), at), p, p.dst + at * p.dst_step, false);
    return p.n;
}

inline bool u8_contiguous_shared(const ResamplePass& p) { return p.shared && p.src_step == 1 && p.tap_stride != 0; }

// ---- runs ----------------------------------------------------------------------
//
// Elements one at a time: each step picks up to plan.taps of an element's
// taps, in order, into zero-extended 16-bit slots of a vector and multiplies
// them with as many of its weights, loaded in order; a group of kLanes
// elements' vectors is then reduced to their sums at once.  With shared taps
// the weights come from a zero-padded copy and the last step's masks are
// the same for every element.  Elements whose steps would read past the
// pass's named bytes (levels without masked loads) are summed one by one
// into the group's extras.
//
// Ops (Ops::Runs): kLanes, kExactLoads (loads read no byte past a step's
//   taps and weights), Plan (taps: per step; full: the Tail of a whole step;
//   without exact loads also window and weight_bytes: the bytes a step reads
//   from its first tap and weight), plan(tap_stride, plan) (false: no path
//   for this stride), Tail and tail(plan, taps) (a step of taps <= plan.taps
//   taps), Weights and weights(w, tail, plan) (a step's weights, zero past
//   its taps), Acc, zero(), step(acc, x, weights, tail, plan), Sums,
//   reduce(acc[kLanes]), with(sums, extra[kLanes]) (the sums plus the
//   extras), store(dst, step, sums, half, shift, count).

// Shared runs of up to this many steps keep their weights in registers.
constexpr int kMaxHeldSteps = 8;

// The first tap of a run's last step (taps per step: `taps`), remembered for
// the count asked last: the runs of a pass mostly share their count, and a
// division per element would cost more than the element.
struct LastStep {
    int64_t taps, count = 0, first = 0;
    int64_t of(int64_t c) {
        if (c != count) count = c, first = (c - 1) / taps * taps;
        return first;
    }
};

template <class R>
inline typename R::Acc u8_run_sum(const TapRun& r, int64_t ts, const typename R::Plan& plan, int64_t last) {
    typename R::Acc acc = R::zero();
    for (int64_t j = 0; j < last; j += plan.taps)
        acc = R::step(acc, r.first + j * ts, R::weights(r.weights + 2 * j, plan.full, plan), plan.full, plan);
    const typename R::Tail tail = R::tail(plan, r.count - last);
    return R::step(acc, r.first + last * ts, R::weights(r.weights + 2 * last, tail, plan), tail, plan);
}

// A shared run's steps with their weights in registers.
template <class R>
struct HeldRun {
    typename R::Weights weights[kMaxHeldSteps];
    typename R::Tail tail;
    int64_t steps = 0;

    bool hold(const TapRun& padded, const typename R::Plan& plan, const typename R::Tail& last) {
        steps = (padded.count + plan.taps - 1) / plan.taps;
        if (steps > kMaxHeldSteps) return false;
        tail = last;
        for (int64_t k = 0; k < steps; ++k)
            weights[k] = R::weights(padded.weights + 2 * k * plan.taps, k + 1 == steps ? tail : plan.full, plan);
        return true;
    }

    typename R::Acc sum(const char* x, int64_t ts, const typename R::Plan& plan) const {
        typename R::Acc acc = R::zero();
        for (int64_t k = 0; k + 1 < steps; ++k) acc = R::step(acc, x + k * plan.taps * ts, weights[k], plan.full, plan);
        return R::step(acc, x + (steps - 1) * plan.taps * ts, weights[steps - 1], tail, plan);
    }
};


// The source bytes of a shared run near the pass's end, for steps whose
// windows would pass that end: those up to the end, then zeros, which the
// held weights (zero past the run) weigh at nothing.
struct NearEnd {
    static constexpr int64_t kBytes = 1024;  // more than the reach of any level's held steps (NEON's: at most 554 bytes)
    alignas(16) char bytes[kBytes];

    const char* of(const char* x, uintptr_t end, int64_t reach) {
        const int64_t named = std::clamp<int64_t>(static_cast<int64_t>(end - reinterpret_cast<uintptr_t>(x)), 0, reach);
        std::memcpy(bytes, x, static_cast<size_t>(named));
        std::memset(bytes + named, 0, static_cast<size_t>(reach - named));
        return bytes;
    }
};

// Levels whose steps take a number of picks that can be fixed at compile
// time (R::kMostPicks, R::picks(tail), R::step_with<picks>(acc, x, weights,
// plan)): the held runs choose their last step's picks once a call, which
// takes a compare and a branch per element out of the groups (NEON).
template <class R, class = void>
struct StepPicks : std::false_type {};
template <class R>
struct StepPicks<R, std::void_t<decltype(&R::template step_with<1>)>> : std::true_type {};

// One group of elements of a held run, kSteps steps each, element e's
// first tap at first_of(e): the elements' steps unrolled so that they
// interleave and their sums stay in registers.  kLastPicks > 0: the last
// step's picks (StepPicks levels).
template <class R, int kSteps, int kLastPicks, class FirstOf>
inline void u8_held_group(const ResamplePass& p, const HeldRun<R>& held, const typename R::Plan& plan, int64_t i,
                          FirstOf first_of) {
    const int64_t ts = p.tap_stride;
    typename R::Acc acc[R::kLanes];
#pragma GCC unroll 16
    for (int e = 0; e < R::kLanes; ++e) {
        const char* x = first_of(e);
        typename R::Acc a = R::zero();
#pragma GCC unroll 4
        for (int k = 0; k < kSteps; ++k) {
            const char* at = x + k * plan.taps * ts;
            if constexpr (kLastPicks > 0) {
                if (k + 1 == kSteps)
                    a = R::template step_with<kLastPicks>(a, at, held.weights[k], plan);
                else
                    a = R::template step_with<R::kMostPicks>(a, at, held.weights[k], plan);
            } else {
                a = R::step(a, at, held.weights[k], k + 1 == kSteps ? held.tail : plan.full, plan);
            }
        }
        acc[e] = a;
    }
    R::store(p.dst + i * p.dst_step, p.dst_step, R::reduce(acc), p.half, p.shift, R::kLanes);
}

// The groups from element i on that reach past `end`, reading copies of the
// named bytes from there on; apart, so that the copies' buffers and calls
// stay out of the groups before.
template <class R, int kSteps, int kLastPicks>
__attribute__((noinline)) int64_t u8_held_groups_near_end(const ResamplePass& p, const HeldRun<R>& held,
                                                          const TapRun& shared, const typename R::Plan& plan,
                                                          int64_t i, int64_t end, uintptr_t named_end, int64_t reach) {
    NearEnd near[R::kLanes];
    for (; i + R::kLanes <= p.n; i += R::kLanes) {
        const char* x = shared.first + i * p.src_step;
        u8_held_group<R, kSteps, kLastPicks>(p, held, plan, i, [&](int e) {
            return i + e < end ? x + e * p.src_step : near[e].of(x + e * p.src_step, named_end, reach);
        });
    }
    return i;
}

// Groups of shared runs held in registers from element i on.  Elements from
// `end` on, whose windows (`reach` bytes from a first tap) would pass the
// named bytes, read a copy of them (levels without exact loads; the last
// group of a phase's call had gone to the elements' own loop: about 400
// instructions a call on NEON).  Returns the first element not done.
template <class R, int kSteps, int kLastPicks>
inline int64_t u8_held_groups(const ResamplePass& p, const HeldRun<R>& held, const TapRun& shared,
                              const typename R::Plan& plan, int64_t i, int64_t end, uintptr_t named_end,
                              int64_t reach) {
    for (; i + R::kLanes <= end; i += R::kLanes) {
        const char* x = shared.first + i * p.src_step;
        u8_held_group<R, kSteps, kLastPicks>(p, held, plan, i, [&](int e) { return x + e * p.src_step; });
    }
    if constexpr (!R::kExactLoads) {
        if (reach <= NearEnd::kBytes)
            i = u8_held_groups_near_end<R, kSteps, kLastPicks>(p, held, shared, plan, i, end, named_end, reach);
    }
    return i;
}

// The groups as above, with the pass, weights and plan copied into locals:
// where the groups of each last-step form are compiled out of line, the
// stores cannot alias the copies, so these stay in registers from group to
// group (NEON, the photo's bicubic phases: 25.5 to 21.9 instructions an
// element).
template <class R, int kSteps, int kLastPicks>
inline int64_t u8_held_groups_local(const ResamplePass& pass, const HeldRun<R>& held_run, const TapRun& shared,
                                    const typename R::Plan& run_plan, int64_t i, int64_t end, uintptr_t named_end,
                                    int64_t reach) {
    const ResamplePass p = pass;
    const HeldRun<R> held = held_run;
    const typename R::Plan plan = run_plan;
    return u8_held_groups<R, kSteps, kLastPicks>(p, held, shared, plan, i, end, named_end, reach);
}

template <class R>
inline int64_t u8_run_groups(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    const int64_t ts = p.tap_stride;
    typename R::Plan plan;
    if (!R::plan(ts, plan)) return first;
    const PassEnds ends = PassEnds::of(p, 1, sizeof(int16_t));
    if (!R::kExactLoads && ends.x == 0) return first;
    PaddedWeights padded;
    const TapRun shared = p.shared ? tap_run(p, 0) : TapRun{};
    HeldRun<R> held;
    bool holding = false;
    LastStep last_step{plan.taps};
    if (p.shared) {
        if (!padded.copy(shared)) return first;
        const TapRun run{shared.first, padded.bytes(), shared.count};
        holding = held.hold(run, plan, R::tail(plan, shared.count - last_step.of(shared.count)));
    }
    // Whether element r's steps, the last from tap `last`, stay within the named bytes.
    auto fits = [&](const TapRun& r, int64_t last) {
        if (r.count < 1) return false;
        if constexpr (R::kExactLoads) {
            return true;
        } else {
            return PassEnds::within(r.first + last * ts, plan.window, ends.x) &&
                   (p.shared || PassEnds::within(r.weights + 2 * last, plan.weight_bytes, ends.w));
        }
    };
    int64_t i = first;
    if (holding && p.src_step > 0) {
        // Whole groups up to the last element whose windows stay within the
        // named bytes (the sources rising, every one before it fits too).
        int64_t end = p.n, reach = 0;
        if constexpr (!R::kExactLoads) {
            reach = (held.steps - 1) * plan.taps * ts + plan.window;  // bytes from a first tap
            const intptr_t room = static_cast<intptr_t>(ends.x) - reinterpret_cast<intptr_t>(shared.first) - reach;
            end = room < 0 ? 0 : std::min<int64_t>(p.n, room / p.src_step + 1);
        }
        const auto groups = [&](auto steps) {
            constexpr int kSteps = decltype(steps)::value;
            if constexpr (StepPicks<R>::value) {
                if (R::picks(held.tail) == 1)
                    return u8_held_groups_local<R, kSteps, 1>(p, held, shared, plan, i, end, ends.x, reach);
                return u8_held_groups_local<R, kSteps, R::kMostPicks>(p, held, shared, plan, i, end, ends.x, reach);
            } else {
                return u8_held_groups<R, kSteps, 0>(p, held, shared, plan, i, end, ends.x, reach);
            }
        };
        switch (held.steps) {
            case 1: i = groups(std::integral_constant<int, 1>{}); break;
            case 2: i = groups(std::integral_constant<int, 2>{}); break;
            case 3: i = groups(std::integral_constant<int, 3>{}); break;
            case 4: i = groups(std::integral_constant<int, 4>{}); break;
            case 5: i = groups(std::integral_constant<int, 5>{}); break;
            case 6: i = groups(std::integral_constant<int, 6>{}); break;
            case 7: i = groups(std::integral_constant<int, 7>{}); break;
            default: i = groups(std::integral_constant<int, 8>{});
        }
    }
    // With exact loads every run of its own takes the steps (an empty one
    // keeps a zero sum, which gives it the value 0); packed tables are walked
    // entry by entry.
    if constexpr (R::kExactLoads) {
        if (packed_tables(p)) {
            const char* at = p.src + i * p.src_step;
            const char* entry = p.tap_min + 8 * i;
            const int64_t to_count = p.tap_count - p.tap_min, to_weights = p.weight_offset - p.tap_min;
            StreamPrefetch prefetch;
            for (; i + R::kLanes <= p.n; i += R::kLanes) {
                prefetch.ahead_of(at + load<int64_t>(entry));
                typename R::Acc acc[R::kLanes];
                for (int64_t e = 0; e < R::kLanes; ++e, at += p.src_step, entry += 8) {
                    const TapRun r{at + load<int64_t>(entry), p.weights + load<int64_t>(entry + to_weights),
                                   load<int64_t>(entry + to_count)};
                    acc[e] = r.count < 1 ? R::zero() : u8_run_sum<R>(r, ts, plan, last_step.of(r.count));
                }
                R::store(p.dst + i * p.dst_step, p.dst_step, R::reduce(acc), p.half, p.shift, R::kLanes);
            }
        }
    }
    for (; i < p.n; i += R::kLanes) {
        const int64_t count = std::min<int64_t>(R::kLanes, p.n - i);
        typename R::Acc acc[R::kLanes];
        uint32_t extra[R::kLanes] = {};
        for (int64_t e = 0; e < R::kLanes; ++e) {
            acc[e] = R::zero();
            if (e >= count) continue;
            if (p.shared) {
                const TapRun r{shared.first + (i + e) * p.src_step, padded.bytes(), shared.count};
                const int64_t last = last_step.of(r.count);
                if (fits(r, last)) {
                    acc[e] = holding ? held.sum(r.first, ts, plan) : u8_run_sum<R>(r, ts, plan, last);
                    continue;
                }
                extra[e] = u8_sum(moved(shared, (i + e) * p.src_step), ts, 0, 0);
            } else {
                const TapRun r = tap_run(p, i + e);
                const int64_t last = r.count >= 1 ? last_step.of(r.count) : 0;
                if (fits(r, last)) {
                    acc[e] = u8_run_sum<R>(r, ts, plan, last);
                    continue;
                }
                extra[e] = u8_sum(r, ts, 0, 0);
            }
        }
        R::store(p.dst + i * p.dst_step, p.dst_step, R::with(R::reduce(acc), extra), p.half, p.shift, count);
    }
    return i;
}

// ---- the choice ------------------------------------------------------------------
//
// Ops: Block and SmallBlock (contiguous: kBlocks large blocks a step, then
// small ones for the rest), Pixels (and ShortPixels, where the level has
// pixels in narrower steps apart: runs of up to ShortPixels::kTaps taps, or
// of more than one wide step's Pixels::kTaps; and PixelPairs, where it has
// pixel pairs, for the groups of runs of up to kSameSteps of their steps
// that they take), Lanes and Runs as above (NoPixels,
// NoLanes or NoRuns where a level has not the path; an OwnRuns of its own
// for runs with taps of their own, and ShortRuns for shared runs of up to
// kShortRunsTo taps, where the level has them), kPixelsFrom:
// the tap count from which pixels beat lanes (interleaved RGB), kRunsFrom:
// the tap count from which runs beat lanes, and kSharedSpanPeriods: the
// longest period with which spans of elements that share their taps take the
// shared paths (longer periods keep their own taps in the level's lanes).

struct NoLanes {};
struct NoRuns {};
struct NoPixels {};

// Ops::OwnRuns where the level has runs of their own apart, else Ops::Runs.
template <class Ops>
using OwnRunsMember = typename Ops::OwnRuns;
template <class Ops>
using OwnRuns = MemberOr<OwnRunsMember, Ops, typename Ops::Runs>;

// Ops::ShortRuns where the level has runs of up to Ops::kShortRunsTo taps
// apart (steps of fewer bytes, which such runs fill), else Ops::Runs.
template <class Ops, class = void>
struct ShortRuns {
    using type = typename Ops::Runs;
    static constexpr int64_t kTaps = 0;
};
template <class Ops>
struct ShortRuns<Ops, std::void_t<typename Ops::ShortRuns>> {
    using type = typename Ops::ShortRuns;
    static constexpr int64_t kTaps = Ops::kShortRunsTo;
};

// Ops::ShortPixels where the level has pixels of short runs apart, else NoPixels.
template <class Ops>
using ShortPixelsMember = typename Ops::ShortPixels;
template <class Ops>
using ShortPixels = MemberOr<ShortPixelsMember, Ops, NoPixels>;

// Ops::PixelPairs where the level has pixel pairs, else NoPixels.
template <class Ops>
using PixelPairsMember = typename Ops::PixelPairs;
template <class Ops>
using PixelPairs = MemberOr<PixelPairsMember, Ops, NoPixels>;

template <class Ops>
inline void resample_u8_with(const ResamplePass& p) {
    const auto element = [](const TapRun& r, const ResamplePass& q) { return u8_element(r, q); };
    if (may_share(p) &&
        run_shared_span<uint8_t>(p, sizeof(int16_t), Ops::kSharedSpanPeriods, resample_u8_with<Ops>, element))
        return;
    int64_t i = 0;
    if (u8_contiguous_shared(p)) {
        i = u8_contiguous_blocks<typename Ops::Block, Ops::kBlocks>(p, 0);
        i = u8_contiguous_blocks<typename Ops::SmallBlock, 1>(p, i);
        i = u8_contiguous_last<typename Ops::SmallBlock>(p, i);
    }
    if (i < p.n) {
        // The paths are chosen by a run from the middle of the pass: the first
        // elements' runs are often cut short by the border.
        const int64_t count = load<int64_t>(p.tap_count + (i + p.n) / 2 * p.tap_count_step);
        using PixelLanes = typename PixelLanesOf<Ops>::type;
        if constexpr (!std::is_same_v<PixelLanes, NoPixelLanes>)
            if (!p.shared) i = pixel_lanes_over_lines<PixelLanes>(p, i, element);
        using Pairs = typename PixelPairs<Ops>::type;
        if constexpr (!std::is_same_v<Pairs, NoPixels>) {
            if (count >= Ops::kPixelsFrom && count <= kSameSteps * Pairs::kTaps) i = u8_pixel_pair_groups<Pairs>(p, i);
        }
        if constexpr (!std::is_same_v<typename Ops::Pixels, NoPixels>) {
            using Short = typename ShortPixels<Ops>::type;
            // The narrow steps serve the runs that one of them holds, and
            // those longer than a wide step; the wide ones the others.
            if constexpr (!std::is_same_v<Short, NoPixels>)
                if (count >= Ops::kPixelsFrom && (count <= Short::kTaps || count > Ops::Pixels::kTaps))
                    i = u8_pixel_groups<Short>(p, i, p.n);
            if (count >= Ops::kPixelsFrom) i = u8_pixel_groups<typename Ops::Pixels>(p, i, p.n);
        }
        using Channels = typename ChannelLanesOf<Ops>::type;
        if constexpr (!std::is_same_v<Channels, NoChannelLanes>)
            if (count < Ops::kPixelsFrom) i = u8_channel_lane_groups<Channels>(p, i);
        if constexpr (!std::is_same_v<typename Ops::Lanes, NoLanes>) {
            if (count < Ops::kRunsFrom) {
                i = u8_lane_groups<typename Ops::Lanes>(p, i);
                i = u8_lane_tail<typename Ops::Lanes>(p, i);
                i = u8_shared_lane_end<typename Ops::Lanes>(p, i);
            }
        }
        // Long runs, and what the lanes left (the last groups of a pass).
        if constexpr (!std::is_same_v<typename Ops::Runs, NoRuns>) {
            if (i < p.n && p.shared && count <= ShortRuns<Ops>::kTaps) i = u8_run_groups<typename ShortRuns<Ops>::type>(p, i);
            if (i < p.n) i = p.shared ? u8_run_groups<typename Ops::Runs>(p, i) : u8_run_groups<typename OwnRuns<Ops>::type>(p, i);
        }
    }
    each_element<uint8_t>(p, i, element);
}

}  // namespace
}  // namespace zv_pt
