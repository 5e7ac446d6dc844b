// The float resampling paths, written once over a level's ops:
//
//   contiguous: shared taps over consecutive source floats (a vertical pass):
//               several vectors of output elements per step, one broadcast
//               weight per tap;
//   pixels:     interleaved RGB with taps of their own, a pixel's channels in
//               the lanes of one vector (resample_pixel_lanes.h);
//   windows:    elements in lanes whose taps lie close together, picked out
//               of windows of source floats;
//   shared lanes: shared taps over strided sources (a horizontal pass mapped
//               per phase): elements in lanes, taps gathered or transposed;
//   lanes:      elements with taps of their own, in lanes, taps gathered or
//               transposed;
//   elements:   the rest, one at a time.
//
// Every lane performs exactly the fused multiply-adds of f32_sum, in the same
// order, so the results are its bits.
#pragma once

#include "resample/resample_common.h"
#include "resample/resample_pixel_lanes.h"

namespace zv_pt {
namespace {

// ---- float: output elements in vector lanes ------------------------------------
//
// Ops: V, kLanes, zero(), load(at) (kLanes consecutive floats), broadcast(at),
// gather(at[], offset) (lane k from at[k] + offset), transposed(at[], offset,
// out[4]) (lane k of out[t] from at[k] + offset + 4t: four consecutive floats
// per lane, transposed), fma(x, w, acc) (acc + x * w, rounded once), store(at,
// step, v) (lane k to at + k * step).  Every lane performs exactly the
// operations of f32_sum, in the same order, so the results are its bits.

// kVecs * kLanes elements with shared taps whose sources are consecutive
// floats: plain loads and one broadcast weight per tap.  With `ahead`, the
// elements kPrefetchBytes on are part of the pass and their taps are
// prefetched.
template <class Ops, int kVecs, class Step>
inline void f32_contiguous_block(const TapRun& r, int64_t tap_stride, char* dst, Step dst_step, bool ahead) {
    constexpr int64_t kVecBytes = Ops::kLanes * int64_t{sizeof(float)};
    typename Ops::V acc[kVecs];
    for (auto& a : acc) a = Ops::zero();
    const char* x = r.first;
    const char* w = r.weights;
    for (int64_t j = 0; j < r.count; ++j, x += tap_stride, w += sizeof(float)) {
        if (ahead)
            for (int64_t line = 0; line < kVecs * kVecBytes; line += 64) __builtin_prefetch(x + kPrefetchBytes + line);
        const typename Ops::V wj = Ops::broadcast(w);
        for (int v = 0; v < kVecs; ++v) acc[v] = Ops::fma(Ops::load(x + v * kVecBytes), wj, acc[v]);
    }
    for (int v = 0; v < kVecs; ++v) Ops::store(dst + v * Ops::kLanes * dst_step, dst_step, acc[v]);
}

// Ops that also have deinterleaved<kBack>(at[], offset, out[4]) (lane k of
// out[t] from at[k] + offset + 12t: four taps of every third float per lane,
// picked out of the 48 bytes from kBack floats before the first, as NEON's
// ld3 does) take one channel of interleaved pixels four taps at a time.
template <class Ops, class = void>
struct Deinterleaves : std::false_type {};
template <class Ops>
struct Deinterleaves<Ops, std::void_t<decltype(&Ops::template deinterleaved<0, const char* const*>)>> : std::true_type {};

// group(j, back) for the taps [j, j + 4) of runs of `count` taps, from j on,
// while four are left; returns the first tap not taken.  The 48 bytes read
// stay between the run's first and last taps: the first group reads from its
// first tap on (so it needs a tap after it), the others end at their last.
template <class Group>
inline int64_t f32_deinterleaved_groups(int64_t j, int64_t count, Group group) {
    if (j == 0 && count > 4) {
        group(j, std::integral_constant<int, 0>{});
        j = 4;
    }
    for (; j > 0 && j + 4 <= count; j += 4) group(j, std::integral_constant<int, 2>{});
    return j;
}

// Weights of taps j, j + 1, ... (kTaps of them) of lanes with runs of their
// own: four transposed like the sources, fewer gathered.
template <class Ops, int kTaps>
inline void f32_lane_weights(const LaneRuns<Ops::kLanes>& lanes, int64_t j, typename Ops::V (&w)[4]) {
    const int64_t offset = j * int64_t{sizeof(float)};
    if constexpr (kTaps == 4) {
        Ops::transposed(lanes.weights, offset, w);
    } else {
        for (int t = 0; t < kTaps; ++t) w[t] = Ops::gather(lanes.weights, offset + t * int64_t{sizeof(float)});
    }
}

// Taps [j, ...) kTaps at a time while every lane has them, from four floats
// per lane transposed: the taps are every kEvery-th float, so the four floats
// from tap j end at a tap of the lane (nothing past its taps is read).
template <class Ops, int kEvery>
inline int64_t f32_transposed_taps(const LaneRuns<Ops::kLanes>& lanes, int64_t j, typename Ops::V& acc) {
    constexpr int kTaps = 3 / kEvery + 1;
    constexpr int64_t kTapBytes = kEvery * int64_t{sizeof(float)};
    if constexpr (kEvery == 3 && Deinterleaves<Ops>::value)
        j = f32_deinterleaved_groups(j, lanes.common, [&](int64_t at, auto back) {
            typename Ops::V x[4], w[4];
            Ops::template deinterleaved<decltype(back)::value>(lanes.first, at * kTapBytes, x);
            f32_lane_weights<Ops, 4>(lanes, at, w);
            for (int t = 0; t < 4; ++t) acc = Ops::fma(x[t], w[t], acc);
        });
    for (; j + kTaps <= lanes.common; j += kTaps) {
        typename Ops::V x[4], w[4];
        Ops::transposed(lanes.first, j * kTapBytes, x);
        f32_lane_weights<Ops, kTaps>(lanes, j, w);
        for (int t = 0; t < kTaps; ++t) acc = Ops::fma(x[t * kEvery], w[t], acc);
    }
    return j;
}

// One element per lane, each with its own run, over the taps all lanes have;
// taps of consecutive floats four at a time, and taps of every third float
// (one channel of interleaved pixels) two at a time, through a transposition.
// Each lane then finishes its own run.
template <class Ops>
inline void f32_lanes_block(const LaneRuns<Ops::kLanes>& lanes, int64_t tap_stride, char* dst, int64_t dst_step) {
    constexpr int kLanes = Ops::kLanes;
    typename Ops::V acc = Ops::zero();
    int64_t j = 0;
    if (tap_stride == sizeof(float)) j = f32_transposed_taps<Ops, 1>(lanes, j, acc);
    if (tap_stride == 3 * sizeof(float)) j = f32_transposed_taps<Ops, 3>(lanes, j, acc);
    for (; j < lanes.common; ++j) {
        const int64_t offset = j * int64_t{sizeof(float)};
        acc = Ops::fma(Ops::gather(lanes.first, j * tap_stride), Ops::gather(lanes.weights, offset), acc);
    }
    if (!lanes.uneven) return Ops::store(dst, dst_step, acc);
    float sums[kLanes];
    Ops::store(reinterpret_cast<char*>(sums), sizeof(float), acc);
    for (int k = 0; k < kLanes; ++k) sums[k] = f32_sum(lanes.run(k), tap_stride, j, sums[k]);
    scatter_floats(dst, dst_step, sums, kLanes);
}

// The sources of lanes side by side a fixed step apart, as the ops index
// them: kept as a base and a step, not an array of pointers, which the
// compiler kept on the stack and reloaded for every load.
struct Strided {
    const char* base;
    int64_t step;
    const char* operator[](int k) const { return base + k * step; }
};

// kBlocks * kLanes consecutive elements [i, ...) of a shared-taps pass whose
// sources are not consecutive, one per lane.  Every lane has the whole run
// with the same weights: one broadcast serves all blocks, and the blocks'
// independent sums hide the latency of the multiply-adds.  Taps of
// consecutive floats, or of every third float, go through transpositions as
// in f32_transposed_taps (or deinterleaved).
template <class Ops, int kBlocks>
inline void f32_shared_lanes(const ResamplePass& p, const TapRun& r, int64_t i) {
    constexpr int kLanes = Ops::kLanes;
    Strided first[kBlocks];
    for (int b = 0; b < kBlocks; ++b) first[b] = {r.first + (i + b * kLanes) * p.src_step, p.src_step};
    typename Ops::V acc[kBlocks];
    for (auto& a : acc) a = Ops::zero();
    auto weight = [&](int64_t j) { return Ops::broadcast(r.weights + j * int64_t{sizeof(float)}); };
    auto transposed_taps = [&](auto every) {
        constexpr int kEvery = decltype(every)::value;
        constexpr int kTaps = 3 / kEvery + 1;
        int64_t j = 0;
        if constexpr (kEvery == 3 && Deinterleaves<Ops>::value)
            j = f32_deinterleaved_groups(j, r.count, [&](int64_t at, auto back) {
                for (int b = 0; b < kBlocks; ++b) {
                    typename Ops::V x[4];
                    Ops::template deinterleaved<decltype(back)::value>(first[b], at * p.tap_stride, x);
                    for (int t = 0; t < 4; ++t) acc[b] = Ops::fma(x[t], weight(at + t), acc[b]);
                }
            });
        for (; j + kTaps <= r.count; j += kTaps)
            for (int b = 0; b < kBlocks; ++b) {
                typename Ops::V x[4];
                Ops::transposed(first[b], j * p.tap_stride, x);
                for (int t = 0; t < kTaps; ++t) acc[b] = Ops::fma(x[t * kEvery], weight(j + t), acc[b]);
            }
        // Two or three last taps from the group that ends at the run's last
        // tap, whose first ones were added already (AVX-512, the photo's
        // 23-tap phases: 5% faster).  One tap is gathered faster than
        // transposed, and so are any on four lanes (NEON: 30.7 against 34.5
        // instructions an element, the photo's bilinear phases).
        if (Ops::kLanes > 4 && r.count - j >= 2 && r.count >= kTaps) {
            const int64_t from = r.count - kTaps;
            for (int b = 0; b < kBlocks; ++b) {
                typename Ops::V x[4];
                Ops::transposed(first[b], from * p.tap_stride, x);
                for (int64_t t = j - from; t < kTaps; ++t) acc[b] = Ops::fma(x[t * kEvery], weight(from + t), acc[b]);
            }
            j = r.count;
        }
        return j;
    };
    int64_t j = 0;
    if (p.tap_stride == sizeof(float)) j = transposed_taps(std::integral_constant<int, 1>{});
    if (p.tap_stride == 3 * sizeof(float)) j = transposed_taps(std::integral_constant<int, 3>{});
    for (; j < r.count; ++j) {
        const typename Ops::V w = weight(j);
        for (int b = 0; b < kBlocks; ++b) acc[b] = Ops::fma(Ops::gather(first[b], j * p.tap_stride), w, acc[b]);
    }
    for (int b = 0; b < kBlocks; ++b) Ops::store(p.dst + (i + b * kLanes) * p.dst_step, p.dst_step, acc[b]);
}

// ---- float: elements in lanes, taps picked out of windows -------------------------
//
// Groups of up to kLanes consecutive elements, one per lane, whose taps lie
// close together (near-identity scales, halving, enlarging): one window of
// kWindow source floats from the group's first tap holds every tap of every
// lane, and one of kWeightWindow floats from its first weight every weight
// (taps of their own; shared weights are broadcast).  Tap j of the lanes is
// picked out of the windows by per-lane indices plus j.  Each lane's fused
// multiply-adds stop at its own count (the others keep their sums), so every
// lane forms f32_sum.  A group is as many leading lanes as have 1 .. taps
// taps (the first lane's count), first taps and weights at whole floats from
// the first lane's, and all of them inside the windows.
//
// Ops (Ops::Windows): kLanes, kWindow, kWeightWindow, Group, Acc, Steps,
//   steps_of(src_step), element_group(p, i, taps, steps, g) (packed tables;
//   how many leading lanes qualify), longer_taps(p, i, count) (whether one of
//   elements i .. i + kLanes - 1 has more than count taps; packed tables),
//   shared_group(p, taps, g), load(g, x, w)
//   (the windows at x and w; w null with shared taps), start(),
//   tap_elements(acc, g, j), tap_shared(acc, g, j, weight), store(dst, step,
//   acc, lanes).

struct NoWindows {};

// Shared-taps window groups worked at once, their sums independent chains
// (AVX-512, the planar 1920 to 640 phase of 300 lines, ns an element: bicubic
// 1.13 to 0.98 with two, 0.97 with three, 1.24 with four; bilinear 0.51 to
// 0.40, 0.43 and 0.52).
constexpr int kSharedWindowGroups = 2;

// Groups of fewer than half the lanes (runs too long or too far apart for
// the windows) go to `fallback(i)` instead, which does kLanes elements from i
// by another path.
template <class W, class Fallback>
inline int64_t f32_window_groups(const ResamplePass& pass, int64_t first, Fallback fallback) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    constexpr int64_t kFloat = sizeof(float);
    if (p.tap_stride < 0 || p.tap_stride % kFloat != 0 || p.n - first < W::kLanes || !(p.shared || packed_tables(p)))
        return first;
    const TapRun head = tap_run(p, first);
    const PassEnds ends = PassEnds::of(p, kFloat, kFloat);
    if (ends.x == 0) return first;
    typename W::Group shared_group{};
    int shared_lanes = 0;
    if (p.shared) {
        if (head.count < 1) return first;
        shared_lanes = W::shared_group(p, head.count, shared_group);
        // As with taps of their own, fewer than half the lanes are slower
        // than the transposed lanes (AVX-512 on an interleaved 4K halving's
        // phases, 4 lanes of 16: 10.5 against 8 ms a pass).
        if (shared_lanes < W::kLanes / 2) return first;
    }
    const typename W::Steps steps = W::steps_of(p.src_step);
    int64_t i = first;
    int usual_lanes = W::kLanes;  // those the last group took
    while (i + W::kLanes <= p.n) {
        const TapRun r = p.shared ? moved(head, (i - first) * p.src_step) : tap_run(p, i);
        if (!PassEnds::within(r.first, W::kWindow * kFloat, ends.x)) break;  // the window would pass the pass's end
        typename W::Acc acc = W::start();
        int lanes;
        if (p.shared) {
            lanes = shared_lanes;
            // Several groups at a time where the last one's window stays in
            // the pass too: each group's sum is a chain of multiply-adds, and
            // the chains of several hide each other's latency.  All but the
            // last are stored here.
            const auto shared_groups = [&](auto groups) {
                constexpr int kGroups = decltype(groups)::value;
                typename W::Group gs[kGroups];
                typename W::Acc accs[kGroups];
                for (int k = 0; k < kGroups; ++k) {
                    gs[k] = shared_group;
                    W::load(gs[k], r.first + k * lanes * p.src_step, nullptr);
                    accs[k] = W::start();
                }
                for (int64_t j = 0; j < head.count; ++j)
                    for (int k = 0; k < kGroups; ++k) accs[k] = W::tap_shared(accs[k], gs[k], j, r.weights + j * kFloat);
                for (int k = 0; k + 1 < kGroups; ++k) {
                    W::store(p.dst + i * p.dst_step, p.dst_step, accs[k], lanes);
                    i += lanes;
                }
                return accs[kGroups - 1];
            };
            constexpr int kGroups = kSharedWindowGroups;
            const char* last = r.first + (kGroups - 1) * lanes * p.src_step;
            acc = i + (kGroups - 1) * lanes + W::kLanes <= p.n && PassEnds::within(last, W::kWindow * kFloat, ends.x)
                      ? shared_groups(std::integral_constant<int, kGroups>{})
                      : shared_groups(std::integral_constant<int, 1>{});
        } else {
            typename W::Group g;
            // The runs of a resize differ by a tap from element to element,
            // and a longer run than the first lane's ends the group: where
            // that leaves lanes out, the group of one tap more (the shorter
            // runs' lanes masked) may hold more of them (500 to 224
            // bilinear a line: 20% faster; taking it for every group had
            // cost 1920 to 1919 4%).
            int64_t taps = r.count;
            lanes = r.count < 1 ? 0 : W::element_group(p, i, taps, steps, g);
            if (lanes > 0 && lanes < W::kLanes && W::longer_taps(p, i, taps)) {
                typename W::Group longer;
                const int more = W::element_group(p, i, taps + 1, steps, longer);
                if (more > lanes) lanes = more, g = longer, ++taps;
            }
            // A weight window past the tables' end comes at a line's end in
            // a call of several lines, whose tables end with each line's:
            // the next line's groups go on in the windows.
            if (lanes < W::kLanes / 2 || !PassEnds::within(r.weights, W::kWeightWindow * kFloat, ends.w)) {
                fallback(i);
                i += W::kLanes;
                continue;
            }
            // Groups of their own taps (a near-identity line, say) read the
            // source once, in order: ask for it well ahead (1920 to 1919 a
            // line: 14% faster; shared-taps groups were slower for it).
            if (PassEnds::within(r.first, kLanesPrefetchBytes, ends.x)) __builtin_prefetch(r.first + kLanesPrefetchBytes);
            W::load(g, r.first, r.weights);
            for (int64_t j = 0; j < taps; ++j) acc = W::tap_elements(acc, g, j);
        }
        W::store(p.dst + i * p.dst_step, p.dst_step, acc, lanes);
        // Mostly a pass's groups take as many lanes as the last one (every
        // lane, or as many as the windows hold at its spacing: 12 at 500 to
        // 224): a branch on that, rather than adding each group's own count,
        // keeps the next group's loads from waiting for this group's checks
        // (500 to 224 a line 3% faster).
        if (__builtin_expect(lanes == usual_lanes, 1))
            i += usual_lanes;
        else
            i += usual_lanes = lanes;
    }
    return i;
}

// Shared taps over consecutive floats from element i on, kWide vectors a
// step, then half that, then one, the outputs dst_step bytes apart (an
// int64_t or a std::integral_constant); returns the first element not done.
template <class Ops, int kWide, class Step>
inline int64_t f32_contiguous_blocks_to(const ResamplePass& p, const TapRun& shared, int64_t i, Step dst_step) {
    constexpr int64_t kLanes = Ops::kLanes, kBlock = kWide * kLanes;
    const int64_t ahead_elements = kPrefetchBytes / int64_t{sizeof(float)} + kBlock;
    for (; i + kBlock <= p.n; i += kBlock)
        f32_contiguous_block<Ops, kWide>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * dst_step, dst_step,
                                         i + ahead_elements <= p.n);
    if (i + kBlock / 2 <= p.n) {
        f32_contiguous_block<Ops, kWide / 2>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * dst_step,
                                             dst_step, false);
        i += kBlock / 2;
    }
    for (; i + kLanes <= p.n; i += kLanes)
        f32_contiguous_block<Ops, 1>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * dst_step, dst_step,
                                     false);
    return i;
}

// The widest output step, in floats, whose stores the level spreads with
// permutes (Ops::kSpreadFloats), else 1: wider ones are stored one float at
// a time whatever the step.
template <class Ops, class = void>
struct SpreadFloats : std::integral_constant<int64_t, 1> {};
template <class Ops>
struct SpreadFloats<Ops, std::void_t<decltype(Ops::kSpreadFloats)>> : std::integral_constant<int64_t, Ops::kSpreadFloats> {};

// The blocks with their output step taken at compile time where it is one
// float (every vertical pass) or, where the level spreads such stores with
// permutes, up to SpreadFloats<Ops> floats (the phases of 2x to 4x planar
// enlargements): the stores are plain or spread, and the sums stay in
// registers, where with the step known only at run time GCC kept them on
// the stack for the scattered stores (AVX-512, a vertical pass of 2 taps
// from the cache: 0.19 to 0.13 ns an element; the 640 to 1280 phases, 2
// floats apart: 0.31 to 0.19).  Other steps stay at run time: a level that
// stores them a float at a time gains nothing from copies for them (on NEON
// they cost the vertical pass 7% more instructions).  kFloats: the first
// step this instance tries.
template <class Ops, int kWide, int64_t kFloats = 1>
inline int64_t f32_contiguous_blocks(const ResamplePass& p, const TapRun& shared, int64_t i) {
    if constexpr (kFloats > SpreadFloats<Ops>::value) {
        return f32_contiguous_blocks_to<Ops, kWide>(p, shared, i, p.dst_step);
    } else {
        if (p.dst_step == kFloats * int64_t{sizeof(float)})
            return f32_contiguous_blocks_to<Ops, kWide>(
                p, shared, i, std::integral_constant<int64_t, kFloats * int64_t{sizeof(float)}>{});
        return f32_contiguous_blocks<Ops, kWide, kFloats + 1>(p, shared, i);
    }
}

// Runs of more taps than this take kLongWide vectors a step: a step reads
// one line a tap, and with many taps narrower steps keep fewer lines in
// flight (AVX-512 on this project's machine, 4 vectors against 8: 1920x1080
// to 224x224 bicubic float 14% faster, the photo's 8%; 4K bicubic, 8 taps,
// 9% slower).
constexpr int64_t kLongContiguousRun = 8;

// Runs of at most this many taps take kShortWide vectors a step: the few
// lines of such a step stream from memory faster in short pieces (AVX-512,
// 2 vectors against 8, the vertical pass alone: 4K bilinear halving, 4 taps,
// 11.3 to 9.4 ms; 1920x1080 to 640x360 bilinear, 5 taps, 2.45 to 1.96 ms;
// the 4K bicubic halving's 8 taps stay faster at 8).
constexpr int64_t kShortContiguousRun = 6;

// The float kernel of one level, and the one place that chooses its path:
// kWide vectors per step where shared-taps sources are consecutive (kLongWide
// for runs of more than kLongContiguousRun taps, kShortWide for runs of at
// most kShortContiguousRun), window lanes where taps lie close together
// (Ops::Windows, or NoWindows), elements in lanes with gathered or transposed
// taps elsewhere, the last elements one at a time.
template <class Ops, int kWide, int kLongWide = kWide, int kShortWide = kWide>
inline void resample_f32_lanes(const ResamplePass& pass) {
    const auto element = [](const TapRun& r, const ResamplePass& q) { return f32_element(r, q); };
    if (may_share(pass) &&
        run_shared_span<float>(pass, sizeof(float), kMaxSpanPeriod,
                               resample_f32_lanes<Ops, kWide, kLongWide, kShortWide>, element))
        return;
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    constexpr int64_t kLanes = Ops::kLanes;
    const TapRun shared = p.shared ? tap_run(p, 0) : TapRun{};
    int64_t i = 0;
    if (p.shared && p.src_step == sizeof(float)) {
        if (kShortWide != kWide && shared.count <= kShortContiguousRun)
            i = f32_contiguous_blocks<Ops, kShortWide>(p, shared, 0);
        else if (kLongWide != kWide && shared.count > kLongContiguousRun)
            i = f32_contiguous_blocks<Ops, kLongWide>(p, shared, 0);
        else
            i = f32_contiguous_blocks<Ops, kWide>(p, shared, 0);
    } else {
        if constexpr (!std::is_same_v<typename Ops::Windows, NoWindows>) static_assert(Ops::Windows::kLanes == kLanes);
        auto lanes_block = [&](int64_t at) {
            f32_lanes_block<Ops>(LaneRuns<kLanes>::at(p, at), p.tap_stride,
                                 p.dst + at * p.dst_step, p.dst_step);
        };
        using PixelLanes = typename PixelLanesOf<Ops>::type;
        if constexpr (!std::is_same_v<PixelLanes, NoPixelLanes>)
            if (!p.shared) i = pixel_lanes_over_lines<PixelLanes>(pass, i, element);  // not p: its address stays here
        if constexpr (!std::is_same_v<typename Ops::Windows, NoWindows>) i = f32_window_groups<typename Ops::Windows>(p, i, lanes_block);
        if (p.shared) {
            for (; i + 2 * kLanes <= p.n; i += 2 * kLanes) f32_shared_lanes<Ops, 2>(p, shared, i);
            for (; i + kLanes <= p.n; i += kLanes) f32_shared_lanes<Ops, 1>(p, shared, i);
        } else {
            for (; i + kLanes <= p.n; i += kLanes) lanes_block(i);
        }
    }
    each_element<float>(p, i, element);
}

}  // namespace
}  // namespace zv_pt
