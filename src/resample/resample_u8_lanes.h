// The 8-bit lanes paths, written once over a level's ops: short runs in the
// lanes of a vector, two taps a round picked out of windows of source bytes
// (u8_lane_groups, with the tail and shared end of a pass), and interleaved
// RGB with short runs of their own, a pixel a lane in three sums
// (u8_channel_lane_groups).  resample_u8_with<Ops>() in resample_u8_paths.h
// chooses among them and the other paths.
#pragma once

#include "resample/resample_common.h"
#include "resample/resample_u8_pixels.h"  // pixel_pass

namespace zv_pt {
namespace {

// ---- lanes ---------------------------------------------------------------------
//
// Groups of up to kLanes consecutive elements, one per int32 lane.  In round r
// each lane adds the products of its taps 2r and 2r + 1 with their weights;
// after the rounds each lane holds its element's sum.  A round's taps come
// from one window of kWindow source bytes from the group's first element's
// tap 2r, picked into zero-extended 16-bit slots by a per-lane index that
// stays the same over the rounds; the weights likewise from a window of
// kWeightWindow weight bytes (per-element taps) or as the shared pair.  A
// group is as many leading lanes as have 1 .. 2 * rounds taps, every tap and
// weight inside the windows and an even weight offset from the first lane's.
//
// Ops (Ops::Lanes): kLanes, kWindow (the largest; Group::window where a
//   group has its own), kWeightWindow, Group, Acc, and
//   element_group(p, i, max_taps, steps, g): the lanes of elements i ..
//       i + kLanes - 1 (packed tables) into g, for runs of at most max_taps
//       taps; how many leading lanes qualify; longer_taps(p, i, count)
//       (optional): whether one of those elements has more than count taps;
//   shared_group(p, g): the same for a shared-taps pass (every group alike);
//   Steps steps_of(src_step): per-lane multiples of the source step;
//   start(half), round_elements(acc, g, x, w, r), round_shared(acc, g, x,
//   weight_pair), store(dst, step, acc, shift, lanes); optionally
//   lanes_within(p, i, steps, run, ends, lanes), round_clipped(acc, g, x,
//   w, r, ends) and round_shared_clipped(acc, g, x, weight_pair, ends) for
//   groups whose windows would pass the pass's ends, and weight_window(g)
//   where a group reads fewer weight bytes than kWeightWindow.

constexpr int64_t kMaxLaneRounds = 8;

// Shared runs that leave fewer lanes a group than this take the runs, which
// are faster there on every level (NEON: 13.7 against 28.2 instructions an
// element with two lanes; AVX2 on the 4K halving's phases: 5.3 against
// 8.9 ms a pass).
constexpr int kMinSharedLanes = 4;

// True when one of elements i .. i + kLanes - 1 (packed tables) has more
// than `count` taps, where the level can tell at little cost
// (L::longer_taps); else false.
template <class L, class = void>
struct LongerTaps {
    static bool of(const ResamplePass&, int64_t, int64_t) { return false; }
};
template <class L>
struct LongerTaps<L, std::void_t<decltype(&L::longer_taps)>> {
    static bool of(const ResamplePass& p, int64_t i, int64_t count) { return L::longer_taps(p, i, count); }
};

// The rounds (two taps each) of a group of lanes from element i: those of
// its first run, or of one tap more where a lane has more (runs of a resize
// differ by a tap from element to element); lanes with shorter runs weigh
// the taps past their count at nothing, lanes with longer ones end the
// group.  0 where the run is empty or too long for the lanes.
template <class L>
inline int64_t group_rounds(const ResamplePass& p, int64_t i, int64_t count) {
    int64_t rounds = (count + 1) / 2;
    if (__builtin_expect(LongerTaps<L>::of(p, i, count), 0)) rounds = (count + 2) / 2;
    return count < 1 || rounds > kMaxLaneRounds ? 0 : rounds;
}

// Whether the level reads a group's windows near the pass's end only up to
// its named bytes (L::round_clipped, L::lanes_within), rather than leaving
// those groups to the runs.
template <class L, class = void>
struct ClippedRounds : std::false_type {};
template <class L>
struct ClippedRounds<L, std::void_t<decltype(&L::lanes_within)>> : std::true_type {};

// The source bytes a round of a group reads: the level's window, or the
// group's own where the level sizes it per group (Group::window).
template <class L, class = void>
struct GroupWindow {
    static int64_t of(const typename L::Group&) { return L::kWindow; }
};
template <class L>
struct GroupWindow<L, std::void_t<decltype(std::declval<typename L::Group>().window)>> {
    static int64_t of(const typename L::Group& g) { return g.window; }
};

// The weight bytes a round of a group reads: the level's window, or the
// group's own where the level tells it (L::weight_window).
template <class L, class = void>
struct GroupWeightWindow {
    static int64_t of(const typename L::Group&) { return L::kWeightWindow; }
};
template <class L>
struct GroupWeightWindow<L, std::void_t<decltype(&L::weight_window)>> {
    static int64_t of(const typename L::Group& g) { return L::weight_window(g); }
};

// A shared pass's group of lanes (every group alike) and the weight pairs of
// its rounds; of() is false where the lanes do not take the pass.
template <class L>
struct SharedLanes {
    typename L::Group group{};
    uint32_t pairs[kMaxLaneRounds] = {};
    int64_t rounds = 0;
    int lanes = 0;

    bool of(const ResamplePass& p, const TapRun& head) {
        rounds = (head.count + 1) / 2;
        PaddedWeights padded;
        if (head.count < 1 || rounds > kMaxLaneRounds || !padded.copy(head)) return false;
        for (int64_t r = 0; r < rounds; ++r) pairs[r] = load<uint32_t>(padded.bytes() + 4 * r);
        lanes = L::shared_group(p, group);
        return lanes >= kMinSharedLanes;
    }
};

template <class L>
inline int64_t u8_lane_groups(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    const int64_t ts = p.tap_stride;
    if (ts < 1 || ts >= L::kWindow || p.n - first < L::kLanes || !(p.shared || packed_tables(p))) return first;
    const TapRun head = tap_run(p, first);
    const PassEnds ends = PassEnds::of(p, 1, sizeof(int16_t));
    if (ends.x == 0) return first;
    // Bytes from a group's first tap (weight) that the windows of its rounds reach.
    auto x_reach = [&](int64_t rounds, const typename L::Group& g) {
        return 2 * (rounds - 1) * ts + GroupWindow<L>::of(g);
    };
    auto w_reach = [&](int64_t rounds, const typename L::Group* g) {
        return 4 * (rounds - 1) + (g ? GroupWeightWindow<L>::of(*g) : L::kWeightWindow);
    };
    SharedLanes<L> shared;
    if (p.shared && !shared.of(p, head)) return first;
    const typename L::Steps steps = L::steps_of(p.src_step);
    int64_t i = first;
    // The groups from element i on, until one is left to the runs (false)
    // or, far from the pass's end (`careful` false), until the widest windows
    // a group can have would reach that end (true): the careful groups, which
    // check their own windows and clip them, then go on.  Far from the end
    // the check takes the group's first run alone, before its lanes are
    // worked out, and the code for clipped windows stays out of the loop
    // (1920 to 1919 bilinear: 3.66 to 3.43 ms a pass).
    const int64_t far_x = 2 * (kMaxLaneRounds - 1) * ts + L::kWindow, far_w = w_reach(kMaxLaneRounds, nullptr);
    auto groups = [&](auto careful) {
        while (i + L::kLanes <= p.n) {
            const TapRun r = p.shared ? moved(head, (i - first) * p.src_step) : tap_run(p, i);
            typename L::Acc acc = L::start(p.half);
            int lanes;
            if (p.shared) {
                const int64_t reach = x_reach(shared.rounds, shared.group);
                if (!PassEnds::within(r.first, reach, ends.x)) return false;
                lanes = shared.lanes;
                // Two groups at a time where the second's windows stay in the
                // pass too: their sums are independent chains.  The first is
                // stored here.
                const auto shared_groups = [&](auto groups) {
                    constexpr int kGroups = decltype(groups)::value;
                    typename L::Acc accs[kGroups];
                    for (auto& a : accs) a = L::start(p.half);
                    for (int64_t k = 0; k < shared.rounds; ++k)
                        for (int g = 0; g < kGroups; ++g)
                            accs[g] = L::round_shared(accs[g], shared.group, r.first + g * lanes * p.src_step + 2 * k * ts,
                                                      shared.pairs[k]);
                    for (int g = 0; g + 1 < kGroups; ++g) {
                        L::store(p.dst + i * p.dst_step, p.dst_step, accs[g], p.shift, lanes);
                        i += lanes;
                    }
                    return accs[kGroups - 1];
                };
                const char* next = r.first + lanes * p.src_step;
                acc = i + lanes + L::kLanes <= p.n && PassEnds::within(next, reach, ends.x)
                          ? shared_groups(std::integral_constant<int, 2>{})
                          : shared_groups(std::integral_constant<int, 1>{});
            } else {
                const int64_t rounds = group_rounds<L>(p, i, r.count);
                if constexpr (!careful) {
                    if (!(PassEnds::within(r.first, far_x, ends.x) && PassEnds::within(r.weights, far_w, ends.w))) return true;
                }
                typename L::Group g;
                lanes = rounds == 0 ? 0 : L::element_group(p, i, 2 * rounds, steps, g);
                if (lanes == 0) return false;  // a run too long or too spread for the windows: the runs take the rest
                if (!careful || (PassEnds::within(r.first, x_reach(rounds, g), ends.x) &&
                                 PassEnds::within(r.weights, w_reach(rounds, &g), ends.w))) {
                    for (int64_t k = 0; k < rounds; ++k)
                        acc = L::round_elements(acc, g, r.first + 2 * k * ts, r.weights + 4 * k, k);
                } else if constexpr (ClippedRounds<L>::value) {
                    // The windows would pass the pass's end: the lanes whose own
                    // bytes end before it go on with clipped windows.
                    lanes = L::lanes_within(p, i, steps, r, ends, lanes);
                    if (lanes == 0) return false;
                    for (int64_t k = 0; k < rounds; ++k)
                        acc = L::round_clipped(acc, g, r.first + 2 * k * ts, r.weights + 4 * k, k, ends);
                } else {
                    return false;  // the windows would pass the pass's end: the runs take the rest
                }
            }
            L::store(p.dst + i * p.dst_step, p.dst_step, acc, p.shift, lanes);
            // Mostly every lane qualifies: a branch rather than i += lanes keeps
            // the next group's loads from waiting for this group's checks.
            if (__builtin_expect(lanes == L::kLanes, 1))
                i += L::kLanes;
            else
                i += lanes;
        }
        return false;
    };
    // Levels that do not clip their windows check each group's own (NEON:
    // the far groups' check cost 2.3 instructions an element more).
    if constexpr (ClippedRounds<L>::value) {
        if (groups(std::false_type{})) groups(std::true_type{});
    } else {
        groups(std::true_type{});
    }
    return i;
}

// ---- channel lanes ---------------------------------------------------------------
//
// Interleaved RGB with short runs of their own (taps a pixel apart, fewer
// than kPixelsFrom): groups of up to kPixels pixels, one a lane, in three
// sums, one a channel.  The rounds are the lanes' (two taps each, picked
// from windows from the group's first tap), with a round's weights picked
// once for the three channels, and a group's entries are read a pixel at a
// time once the 48 elements are found to be 16 pixels.  The groups go on
// while their widest windows stay within the pass (the rounds: those of the
// first pixel's run, or of a tap more where one has more); the rest goes to
// the lanes, which take the pass's end.
//
// Ops (Ops::ChannelLanes): kPixels, kWindow, kWeightWindow, Group, Acc,
//   longer_taps(p, i, count), group(p, i, max_taps, g) (the leading pixels
//   that qualify, 0 where the elements are not pixels), start(acc[3], half),
//   round(acc[3], g, x, w, r), store(dst, acc[3], shift, pixels).

struct NoChannelLanes {};

template <class Ops>
using ChannelLanesMember = typename Ops::ChannelLanes;
template <class Ops>
using ChannelLanesOf = MemberOr<ChannelLanesMember, Ops, NoChannelLanes>;

template <class L>
inline int64_t u8_channel_lane_groups(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    if (!pixel_pass(p)) return first;
    const PassEnds ends = PassEnds::of(p, 1, sizeof(int16_t));
    const int64_t far_x = 6 * (kMaxLaneRounds - 1) + L::kWindow, far_w = 4 * (kMaxLaneRounds - 1) + L::kWeightWindow;
    int64_t i = first;
    while (i + 3 * L::kPixels <= p.n) {
        const TapRun r = tap_run(p, i);
        if (!(PassEnds::within(r.first, far_x, ends.x) && PassEnds::within(r.weights, far_w, ends.w))) break;
        const int64_t rounds = group_rounds<L>(p, i, r.count);
        typename L::Group g;
        const int pixels = rounds == 0 ? 0 : L::group(p, i, 2 * rounds, g);
        if (pixels == 0) break;
        typename L::Acc acc[3];
        L::start(acc, p.half);
        for (int64_t k = 0; k < rounds; ++k) L::round(acc, g, r.first + 6 * k, r.weights + 4 * k, k);
        L::store(p.dst + i, acc, p.shift, pixels);
        if (__builtin_expect(pixels == L::kPixels, 1))
            i += 3 * L::kPixels;
        else
            i += 3 * pixels;
    }
    return i;
}

// The last elements of a pass with packed tables, fewer than a group (the
// end of a line), as one group of lanes: their table entries are copied, the
// last one repeated to fill the group, and the group's sums are stored to a
// buffer, of which the elements' own are copied out.  Returns the first
// element not done.  Only where the level clips its windows at the pass's
// end: elsewhere such a group's windows would pass it.
template <class L>
inline int64_t u8_lane_tail(const ResamplePass& p, int64_t first) {
    const int64_t left = p.n - first;
    if (!ClippedRounds<L>::value || left < 1 || left >= L::kLanes || !packed_tables(p)) return first;
    int64_t mins[L::kLanes], counts[L::kLanes], offsets[L::kLanes];
    for (int64_t e = 0; e < L::kLanes; ++e) {
        const int64_t from = first + std::min(e, left - 1);
        // Lane e's source moves on by e source steps: a repeated entry
        // takes them back to its own element's.
        mins[e] = load<int64_t>(p.tap_min + 8 * from) + (from - first - e) * p.src_step;
        counts[e] = load<int64_t>(p.tap_count + 8 * from);
        offsets[e] = load<int64_t>(p.weight_offset + 8 * from);
    }
    uint8_t sums[L::kLanes];
    ResamplePass q = from_element(p, first);
    q.tap_min = reinterpret_cast<const char*>(mins);
    q.tap_count = reinterpret_cast<const char*>(counts);
    q.weight_offset = reinterpret_cast<const char*>(offsets);
    q.n = L::kLanes;
    q.dst = reinterpret_cast<char*>(sums);
    q.dst_step = 1;
    const int64_t done = std::min(left, u8_lane_groups<L>(q, 0));
    scatter_bytes(p.dst + first * p.dst_step, p.dst_step, sums, done);
    return first + done;
}

// The last elements of a shared pass, whose groups' windows would pass its
// end (u8_lane_groups leaves them), in groups that read the windows only up
// to that end, the last group as many lanes as elements are left; every
// element's taps end there.  Only where the level clips its windows.  A
// host's call of a line keeps them in the lanes: of 1280 to 640 they are a
// tenth of the line's elements and had taken a fifth of its time in the runs.
template <class L>
__attribute__((noinline)) int64_t u8_shared_lane_end(const ResamplePass& p, int64_t first) {
    if constexpr (!ClippedRounds<L>::value) {
        return first;
    } else {
        const int64_t ts = p.tap_stride;
        if (!p.shared || first >= p.n || ts < 1 || ts >= L::kWindow) return first;
        const TapRun head = tap_run(p, first);
        SharedLanes<L> shared;
        if (!shared.of(p, head)) return first;
        const PassEnds ends = PassEnds::of(p, 1, sizeof(int16_t));
        for (int64_t i = first; i < p.n;) {
            const char* x = head.first + (i - first) * p.src_step;
            typename L::Acc acc = L::start(p.half);
            for (int64_t r = 0; r < shared.rounds; ++r)
                acc = L::round_shared_clipped(acc, shared.group, x + 2 * r * ts, shared.pairs[r], ends);
            const int stored = static_cast<int>(std::min<int64_t>(shared.lanes, p.n - i));
            L::store(p.dst + i * p.dst_step, p.dst_step, acc, p.shift, stored);
            i += stored;
        }
        return p.n;
    }
}

}  // namespace
}  // namespace zv_pt
