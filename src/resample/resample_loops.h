// Loop structure of the resampling kernels, shared by the scalar reference and
// every vector level.  A level's file instantiates the templates with its own
// "ops" struct (loads, broadcasts, multiply-adds, stores).  Everything here has
// internal linkage: a copy compiled with one level's instruction set must never
// stand in for another level's copy at link time.
//
// Operands are read and written with memcpy: the caller's offsets and steps
// are plain byte counts with no alignment promised.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "resample/resample_kernels.h"

namespace zv_pt {
namespace {

template <class T>
inline T load(const char* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

template <class T>
inline void store(char* at, T v) {
    std::memcpy(at, &v, sizeof v);
}

// The taps of one output element.
struct TapRun {
    const char* first;    // source of tap 0; tap j is at first + j * tap_stride
    const char* weights;  // weight of tap 0; the run is contiguous
    int64_t count;        // <= 0: no taps
};

inline TapRun tap_run(const ResamplePass& p, int64_t i) {
    return {p.src + i * p.src_step + load<int64_t>(p.tap_min + i * p.tap_min_step),
            p.weights + load<int64_t>(p.weight_offset + i * p.weight_offset_step),
            load<int64_t>(p.tap_count + i * p.tap_count_step)};
}

// With shared taps, element i's run is element 0's moved by i source steps.
inline TapRun moved(const TapRun& r, int64_t bytes) { return {r.first + bytes, r.weights, r.count}; }

// The same pass restricted to its elements from `first` on.
inline ResamplePass from_element(const ResamplePass& p, int64_t first) {
    ResamplePass rest = p;
    rest.dst += first * p.dst_step;
    rest.src += first * p.src_step;
    rest.tap_min += first * p.tap_min_step;
    rest.tap_count += first * p.tap_count_step;
    rest.weight_offset += first * p.weight_offset_step;
    rest.n -= first;
    return rest;
}

// Stores element(run, p) for the elements [first, p.n), one at a time.
// Shared taps are read once.  The elements get a local copy of the pass: the
// stores cannot alias it, so its fields stay in registers.
template <class T, class Element>
inline void each_element(const ResamplePass& pass, int64_t first, Element element) {
    const ResamplePass p = pass;
    if (p.shared) {
        const TapRun r = tap_run(p, 0);
        for (int64_t i = first; i < p.n; ++i) store<T>(p.dst + i * p.dst_step, element(moved(r, i * p.src_step), p));
    } else {
        for (int64_t i = first; i < p.n; ++i) store<T>(p.dst + i * p.dst_step, element(tap_run(p, i), p));
    }
}

// Runs in lanes from consecutive elements [i, i + kLanes): those of a
// shared-taps pass (the shared run moved by source steps) or a per-element one.
template <int kLanes>
struct LaneRuns {
    const char* first[kLanes];
    const char* weights[kLanes];
    int64_t count[kLanes];
    int64_t common;  // taps that every lane has, >= 0
    bool uneven;     // some lane has more than `common` taps

    template <bool kShared>
    static LaneRuns at(const ResamplePass& p, const TapRun& shared, int64_t i) {
        LaneRuns lanes;
        int64_t most = 0;
        lanes.common = INT64_MAX;
        for (int k = 0; k < kLanes; ++k) {
            const TapRun r = kShared ? moved(shared, (i + k) * p.src_step) : tap_run(p, i + k);
            lanes.first[k] = r.first;
            lanes.weights[k] = r.weights;
            lanes.count[k] = r.count;
            lanes.common = std::min(lanes.common, std::max<int64_t>(r.count, 0));
            most = std::max(most, r.count);
        }
        lanes.uneven = most > lanes.common;
        return lanes;
    }

    TapRun run(int k) const { return {first[k], weights[k], count[k]}; }
};

// ---- the scalar definitions ---------------------------------------------------

// acc, then one fused multiply-add per tap j in [from, count), ascending.
inline float f32_sum(const TapRun& r, int64_t tap_stride, int64_t from, float acc) {
    for (int64_t j = from; j < r.count; ++j)
        acc = std::fma(load<float>(r.first + j * tap_stride), load<float>(r.weights + j * int64_t{sizeof(float)}), acc);
    return acc;
}

// acc plus w_j * x_j over taps [from, count).  The sum wraps in 32 bits, so
// any grouping of the taps gives the same bits, and an overflowing table is
// not undefined behaviour.
inline uint32_t u8_sum(const TapRun& r, int64_t tap_stride, int64_t from, uint32_t acc) {
    for (int64_t j = from; j < r.count; ++j)
        acc += static_cast<uint32_t>(int32_t{load<int16_t>(r.weights + j * int64_t{sizeof(int16_t)})} *
                                     int32_t{load<uint8_t>(r.first + j * tap_stride)});
    return acc;
}

// Drops the fraction bits (rounding was added in as `half`) and clamps.
inline uint8_t u8_round_clamp(uint32_t acc, int shift) {
    const int32_t v = static_cast<int32_t>(acc) >> shift;
    return static_cast<uint8_t>(v > 255 ? 255 : v < 0 ? 0 : v);
}

// Without taps only `half` remains, which the shift takes to 0.
inline uint8_t u8_element(const TapRun& r, const ResamplePass& p) {
    return u8_round_clamp(u8_sum(r, p.tap_stride, 0, static_cast<uint32_t>(p.half)), p.shift);
}

inline float f32_element(const TapRun& r, const ResamplePass& p) { return f32_sum(r, p.tap_stride, 0, 0.0f); }

// Writes count bytes (from a vector spilled to `bytes`) step bytes apart.
inline void scatter_bytes(char* dst, int64_t step, const uint8_t* bytes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<uint8_t>(dst + k * step, bytes[k]);
}

inline void scatter_floats(char* dst, int64_t step, const float* lanes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<float>(dst + k * step, lanes[k]);
}

// ---- float: output elements in vector lanes ------------------------------------
//
// Ops: V, kLanes, zero(), load(at) (kLanes consecutive floats), broadcast(at),
// gather(at[], offset) (lane k from at[k] + offset), transposed(at[], offset,
// out[4]) (lane k of out[t] from at[k] + offset + 4t: four consecutive floats
// per lane, transposed), fma(x, w, acc) (acc + x * w, rounded once), store(at,
// step, v) (lane k to at + k * step).  Every lane performs exactly the
// operations of f32_sum, in the same order, so the results are its bits.

// How far ahead of a block's taps the contiguous blocks ask for the taps of
// later elements: with many taps far apart (the lines of a vertical pass) the
// processor's own prefetching falls behind.
constexpr int64_t kPrefetchBytes = 512;

// kVecs * kLanes elements with shared taps whose sources are consecutive
// floats: plain loads and one broadcast weight per tap.  With `ahead`, the
// elements kPrefetchBytes on are part of the pass and their taps are
// prefetched.
template <class Ops, int kVecs>
inline void f32_contiguous_block(const TapRun& r, int64_t tap_stride, char* dst, int64_t dst_step, bool ahead) {
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

// kBlocks * kLanes consecutive elements [i, ...) of a shared-taps pass whose
// sources are not consecutive, one per lane.  Every lane has the whole run
// with the same weights: one broadcast serves all blocks, and the blocks'
// independent sums hide the latency of the multiply-adds.  Taps of
// consecutive floats, or of every third float, go through transpositions as
// in f32_transposed_taps.
template <class Ops, int kBlocks>
inline void f32_shared_lanes(const ResamplePass& p, const TapRun& r, int64_t i) {
    constexpr int kLanes = Ops::kLanes;
    const char* first[kBlocks][kLanes];
    for (int b = 0; b < kBlocks; ++b)
        for (int k = 0; k < kLanes; ++k) first[b][k] = r.first + (i + b * kLanes + k) * p.src_step;
    typename Ops::V acc[kBlocks];
    for (auto& a : acc) a = Ops::zero();
    auto weight = [&](int64_t j) { return Ops::broadcast(r.weights + j * int64_t{sizeof(float)}); };
    auto transposed_taps = [&](auto every) {
        constexpr int kEvery = decltype(every)::value;
        constexpr int kTaps = 3 / kEvery + 1;
        int64_t j = 0;
        for (; j + kTaps <= r.count; j += kTaps)
            for (int b = 0; b < kBlocks; ++b) {
                typename Ops::V x[4];
                Ops::transposed(first[b], j * p.tap_stride, x);
                for (int t = 0; t < kTaps; ++t) acc[b] = Ops::fma(x[t * kEvery], weight(j + t), acc[b]);
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

// The float kernel of one level: kWide vectors per step where shared-taps
// sources are consecutive, elements in lanes elsewhere, the last elements one
// at a time.
template <class Ops, int kWide>
inline void resample_f32_lanes(const ResamplePass& pass) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    constexpr int64_t kLanes = Ops::kLanes;
    const TapRun shared = p.shared ? tap_run(p, 0) : TapRun{};
    int64_t i = 0;
    if (p.shared && p.src_step == sizeof(float)) {
        constexpr int64_t kBlock = kWide * kLanes;
        const int64_t ahead_elements = kPrefetchBytes / int64_t{sizeof(float)} + kBlock;
        for (; i + kBlock <= p.n; i += kBlock)
            f32_contiguous_block<Ops, kWide>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * p.dst_step,
                                             p.dst_step, i + ahead_elements <= p.n);
        if (i + kBlock / 2 <= p.n) {
            f32_contiguous_block<Ops, kWide / 2>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * p.dst_step,
                                                 p.dst_step, false);
            i += kBlock / 2;
        }
        for (; i + kLanes <= p.n; i += kLanes)
            f32_contiguous_block<Ops, 1>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * p.dst_step,
                                         p.dst_step, false);
    } else if (p.shared) {
        for (; i + 2 * kLanes <= p.n; i += 2 * kLanes) f32_shared_lanes<Ops, 2>(p, shared, i);
        for (; i + kLanes <= p.n; i += kLanes) f32_shared_lanes<Ops, 1>(p, shared, i);
    } else {
        for (; i + kLanes <= p.n; i += kLanes)
            f32_lanes_block<Ops>(LaneRuns<kLanes>::template at<false>(p, shared, i), p.tap_stride,
                                 p.dst + i * p.dst_step, p.dst_step);
    }
    each_element<float>(p, i, [](const TapRun& r, const ResamplePass& q) { return f32_element(r, q); });
}

// ---- 8-bit: blocks of consecutive output bytes -----------------------------------
//
// Ops: Acc (kBytes int32 sums), kBytes, init(half), add_pair(acc, x, tap_stride,
// w) (the taps at x and x + tap_stride with the two weights at w), add_one(acc,
// x, w), store(dst, step, acc, shift) (shift, clamp to 0..255, store kBytes
// bytes step apart).  The sums wrap in 32 bits like u8_sum.

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

inline bool u8_contiguous_shared(const ResamplePass& p) { return p.shared && p.src_step == 1; }

// ---- 8-bit: dot products of four elements side by side ---------------------------
//
// Ops: Dot (int32 lanes), dot_zero(), dot16(acc, x, w) (16 tap bytes at x with
// the 16 weights at w), dot8(acc, x, w), dot_sums(acc[4], sums[4]) (the lanes
// of each accumulator added, wrapping), finish4(sums[4], half, shift) (the
// four output bytes of u8_round_clamp(sums[e] + half), little-endian).

constexpr int kDotGroup = 4;

// Adds the taps [0, j) that all four elements have, in steps of 16 then 8, to
// acc; returns j.  bytes(first, j, k) points at k consecutive bytes holding
// taps j .. j + k - 1 of the run starting at first.
template <class Ops, class Bytes>
inline int64_t u8_dot_steps(const LaneRuns<kDotGroup>& lanes, Bytes bytes, typename Ops::Dot (&acc)[kDotGroup]) {
    auto step = [&](int64_t j, int k) {
        for (int e = 0; e < kDotGroup; ++e) {
            const char* x = bytes(lanes.first[e], j, k);
            const char* w = lanes.weights[e] + j * int64_t{sizeof(int16_t)};
            acc[e] = k == 16 ? Ops::dot16(acc[e], x, w) : Ops::dot8(acc[e], x, w);
        }
    };
    int64_t j = 0;
    for (; j + 16 <= lanes.common; j += 16) step(j, 16);
    if (j + 8 <= lanes.common) step(j, 8), j += 8;
    return j;
}

// The four output bytes of a group, little-endian in `four`, to dst.
inline void u8_store4(char* dst, int64_t step, uint32_t four, int64_t count = kDotGroup) {
    if (step == 1 && count == kDotGroup) {
        store<uint32_t>(dst, four);
    } else {
        uint8_t out[kDotGroup];
        std::memcpy(out, &four, sizeof four);
        scatter_bytes(dst, step, out, count);
    }
}

// Four elements; taps beyond the vector steps are added one by one.  With
// kContiguous the taps are consecutive bytes (tap_stride 1), else they are
// gathered byte by byte.
template <class Ops, bool kContiguous>
inline void u8_dot_group(const LaneRuns<kDotGroup>& lanes, const ResamplePass& p, char* dst) {
    const int64_t tap_stride = p.tap_stride;
    typename Ops::Dot acc[kDotGroup];
    for (auto& a : acc) a = Ops::dot_zero();
    char gathered[16];
    auto bytes = [&](const char* first, int64_t j, int k) {
        if constexpr (kContiguous) return first + j;
        for (int t = 0; t < k; ++t) gathered[t] = first[(j + t) * tap_stride];
        return static_cast<const char*>(gathered);
    };
    const int64_t done = u8_dot_steps<Ops>(lanes, bytes, acc);

    uint32_t sums[kDotGroup];
    Ops::dot_sums(acc, sums);
    if (lanes.uneven || done < lanes.common)
        for (int e = 0; e < kDotGroup; ++e) sums[e] = u8_sum(lanes.run(e), tap_stride, done, sums[e]);
    u8_store4(dst, p.dst_step, Ops::finish4(sums, p.half, p.shift));
}

template <class Ops, bool kShared, bool kContiguous>
inline int64_t u8_dot_groups(const ResamplePass& p, int64_t first) {
    const TapRun shared = kShared ? tap_run(p, 0) : TapRun{};
    int64_t i = first;
    for (; i + kDotGroup <= p.n; i += kDotGroup)
        u8_dot_group<Ops, kContiguous>(LaneRuns<kDotGroup>::template at<kShared>(p, shared, i), p,
                                       p.dst + i * p.dst_step);
    return i;
}

// Elements [first, p.n) of a shared-taps pass with kTaps taps (fewer than one
// 8-tap vector step): weights held in registers, the tap loop unrolled.
template <int kTaps>
inline void u8_short_shared_elements(const ResamplePass& p, int64_t first) {
    const TapRun r = tap_run(p, 0);
    int32_t w[kTaps];
    for (int j = 0; j < kTaps; ++j) w[j] = load<int16_t>(r.weights + j * int64_t{sizeof(int16_t)});
    for (int64_t i = first; i < p.n; ++i) {
        const char* x = r.first + i * p.src_step;
        uint32_t acc = static_cast<uint32_t>(p.half);
        for (int j = 0; j < kTaps; ++j) acc += static_cast<uint32_t>(w[j] * int32_t{load<uint8_t>(x + j * p.tap_stride)});
        store<uint8_t>(p.dst + i * p.dst_step, u8_round_clamp(acc, p.shift));
    }
}

// Shared runs shorter than one 8-tap step gain nothing from dot products;
// true when the pass was one of those and is done.
inline bool u8_short_shared_pass(const ResamplePass& pass, int64_t first) {
    if (!pass.shared) return false;
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    switch (load<int64_t>(p.tap_count)) {
        case 1: u8_short_shared_elements<1>(p, first); return true;
        case 2: u8_short_shared_elements<2>(p, first); return true;
        case 3: u8_short_shared_elements<3>(p, first); return true;
        case 4: u8_short_shared_elements<4>(p, first); return true;
        case 5: u8_short_shared_elements<5>(p, first); return true;
        case 6: u8_short_shared_elements<6>(p, first); return true;
        case 7: u8_short_shared_elements<7>(p, first); return true;
        default: return false;
    }
}

// ---- 8-bit: short shared runs, two elements per 16-byte window -------------------
//
// Shared runs of 1..4 taps, as when halving an interleaved image (4 taps 3
// bytes apart, elements 6 bytes apart): the taps of elements i and i + 1 fit
// one 16-byte window from element i's first tap.  One byte shuffle puts
// element i's taps into 16-bit slots 0-3 and element i + 1's into slots 4-7
// (zero weights where a run is shorter), one pmaddwd gives each element two
// partial sums, and a pairwise add of two windows gives four elements' sums.
//
// PairOps: Pair (four int32 lanes), Mask, Weights, mask_of(bytes),
// weights_of(int16s), pair_window(x, mask, weights) (the shuffled window at x times the weights,
// adjacent products added: lanes 0-1 element i, lanes 2-3 element i + 1), and
// finish8(pairs[4], half, shift, out[8]) (the sums of the eight elements of
// four windows, half added, shifted and clamped like u8_round_clamp).

struct PairedTaps {
    uint8_t mask[16];
    int16_t weights[8];

    bool build(const TapRun& r, int64_t tap_stride, int64_t src_step) {
        if (r.count < 1 || r.count > 4 || tap_stride < 0 || src_step < 1) return false;
        if (src_step + (r.count - 1) * tap_stride > 15) return false;
        std::memset(mask, 0x80, sizeof mask);  // zero in the slots of missing taps
        std::memset(weights, 0, sizeof weights);
        for (int e = 0; e < 2; ++e)
            for (int64_t j = 0; j < r.count; ++j) {
                mask[2 * (4 * e + j)] = static_cast<uint8_t>(e * src_step + j * tap_stride);
                weights[4 * e + j] = load<int16_t>(r.weights + j * int64_t{sizeof(int16_t)});
            }
        return true;
    }
};

// The whole of elements [first, p.n) if the pass is one for this path; false
// (nothing written) if not.  A window reads at most to the last tap of the
// pass; the elements whose windows would go further take the short-run loop.
template <class Ops>
inline bool u8_paired_pass(const ResamplePass& pass, int64_t first) {
    if (!pass.shared) return false;
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    const TapRun r = tap_run(p, 0);
    PairedTaps plan;
    if (!plan.build(r, p.tap_stride, p.src_step)) return false;
    const auto mask = Ops::mask_of(plan.mask);
    const auto weights = Ops::weights_of(plan.weights);
    const int64_t end = (p.n - 1) * p.src_step + (r.count - 1) * p.tap_stride + 1;  // past the last tap
    int64_t i = first;
    for (; i + 8 <= p.n && (i + 6) * p.src_step + 16 <= end; i += 8) {
        const char* x = r.first + i * p.src_step;
        const typename Ops::Pair pairs[4] = {
            Ops::pair_window(x, mask, weights), Ops::pair_window(x + 2 * p.src_step, mask, weights),
            Ops::pair_window(x + 4 * p.src_step, mask, weights), Ops::pair_window(x + 6 * p.src_step, mask, weights)};
        uint8_t out[8];
        Ops::finish8(pairs, p.half, p.shift, out);
        scatter_bytes(p.dst + i * p.dst_step, p.dst_step, out, 8);
    }
    return u8_short_shared_pass(p, i);
}

// Elements [first, p.n) as dot products, four at a time; short shared runs
// through Ops::PairOps.
template <class Ops>
inline void u8_dot_elements(const ResamplePass& pass, int64_t first) {
    if (u8_paired_pass<typename Ops::PairOps>(pass, first) || u8_short_shared_pass(pass, first)) return;
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    int64_t i;
    if (p.tap_stride == 1)
        i = p.shared ? u8_dot_groups<Ops, true, true>(p, first) : u8_dot_groups<Ops, false, true>(p, first);
    else
        i = p.shared ? u8_dot_groups<Ops, true, false>(p, first) : u8_dot_groups<Ops, false, false>(p, first);
    each_element<uint8_t>(p, i, [](const TapRun& r, const ResamplePass& q) { return u8_element(r, q); });
}

// ---- 8-bit: shared taps a few bytes apart, as shuffled dot products -----------
//
// A shared-taps pass over elements whose taps lie tap_stride bytes apart (for
// example one channel of interleaved pixels): every element loads the same
// windows of its own taps, a byte shuffle picks the taps out of each window
// into zero-extended 16-bit slots, and one multiply-add with the matching
// weights (zero in unused slots) adds them to the element's sum.  The plan of
// windows, shuffles and weights is made once per pass; each window lies within
// the bytes from the element's first tap to its last, so nothing else is read.
//
// Ops (besides the dot-product ops above): kWindow (bytes per load, 16 or 32,
// shuffled within each 16-byte half), Mask and Weights (vectors of a window's
// shuffle and weights) with mask_of(bytes) and weights_of(int16s) to load
// them, dot_window(acc, x, mask, weights) (acc plus the kWindow / 2 products
// of the shuffled window at x).

constexpr int64_t kMaxShuffledTaps = 128;
constexpr int kMaxWindows = 16;

template <int kWindow>
struct ShuffledTaps {
    struct Window {
        int64_t offset;  // bytes from the element's first tap
        uint8_t mask[kWindow];
        int16_t weights[kWindow / 2];
    };
    Window windows[kMaxWindows];
    int count = 0;

    // Greedy: each window starts at the first tap not yet taken (moved back
    // to end at the last tap when it would run past it) and takes up to 8
    // untaken taps per 16-byte half.  False when the run does not fit the plan.
    bool build(const TapRun& r, int64_t tap_stride) {
        const int64_t taps = r.count;
        if (tap_stride < 1 || tap_stride > 4 || taps < 1 || taps > kMaxShuffledTaps) return false;
        const int64_t last = (taps - 1) * tap_stride;
        if (last + 1 < kWindow) return false;
        bool taken[kMaxShuffledTaps] = {};
        for (int64_t next = 0; next < taps;) {
            if (count == kMaxWindows) return false;
            Window& w = windows[count++];
            w.offset = std::min(next * tap_stride, last + 1 - kWindow);
            std::memset(w.mask, 0x80, sizeof w.mask);
            std::memset(w.weights, 0, sizeof w.weights);
            for (int half = 0; half < kWindow / 16; ++half) {
                const int64_t from = w.offset + 16 * half;
                int slot = 0;
                for (int64_t j = next; j < taps && slot < 8; ++j) {
                    const int64_t at = j * tap_stride - from;
                    if (taken[j] || at < 0) continue;
                    if (at >= 16) break;
                    taken[j] = true;
                    w.mask[16 * half + 2 * slot] = static_cast<uint8_t>(at);
                    w.weights[8 * half + slot] = load<int16_t>(r.weights + j * int64_t{sizeof(int16_t)});
                    ++slot;
                }
            }
            while (next < taps && taken[next]) ++next;
        }
        return true;
    }
};

// The windows of a plan in registers: kWindows of them, or with kWindows 0
// any number, read from the plan as they come.
template <class Ops, int kWindows>
struct WindowRegisters {
    const ShuffledTaps<Ops::kWindow>& plan;
    typename Ops::Mask masks[kWindows > 0 ? kWindows : 1];
    typename Ops::Weights weights[kWindows > 0 ? kWindows : 1];
    int64_t offsets[kWindows > 0 ? kWindows : 1];

    explicit WindowRegisters(const ShuffledTaps<Ops::kWindow>& taps) : plan(taps) {
        for (int c = 0; c < kWindows; ++c) {
            masks[c] = Ops::mask_of(plan.windows[c].mask);
            weights[c] = Ops::weights_of(plan.windows[c].weights);
            offsets[c] = plan.windows[c].offset;
        }
    }

    typename Ops::Dot dot(typename Ops::Dot acc, const char* x) const {
        if constexpr (kWindows > 0) {
            for (int c = 0; c < kWindows; ++c) acc = Ops::dot_window(acc, x + offsets[c], masks[c], weights[c]);
        } else {
            for (int c = 0; c < plan.count; ++c) {
                const auto& w = plan.windows[c];
                acc = Ops::dot_window(acc, x + w.offset, Ops::mask_of(w.mask), Ops::weights_of(w.weights));
            }
        }
        return acc;
    }
};

// Elements [first, first + count) of a group of four, count <= 4.
template <class Ops, int kWindows>
inline void u8_shuffled_group(const WindowRegisters<Ops, kWindows>& windows, const TapRun& r, const ResamplePass& p,
                              int64_t first, int64_t count) {
    typename Ops::Dot acc[kDotGroup];
    for (int e = 0; e < kDotGroup; ++e)
        acc[e] = e < count ? windows.dot(Ops::dot_zero(), r.first + (first + e) * p.src_step) : Ops::dot_zero();
    uint32_t sums[kDotGroup];
    Ops::dot_sums(acc, sums);
    u8_store4(p.dst + first * p.dst_step, p.dst_step, Ops::finish4(sums, p.half, p.shift), count);
}

template <class Ops, int kWindows>
inline void u8_shuffled_elements(const ShuffledTaps<Ops::kWindow>& plan, const TapRun& r, const ResamplePass& p) {
    const WindowRegisters<Ops, kWindows> windows(plan);
    int64_t i = 0;
    for (; i + kDotGroup <= p.n; i += kDotGroup) u8_shuffled_group(windows, r, p, i, kDotGroup);
    if (i < p.n) u8_shuffled_group(windows, r, p, i, p.n - i);
}

// The whole pass if it is one for this path; false (nothing written) if not.
// Up to four windows stay in registers.
template <class Ops>
inline bool u8_shuffled_pass(const ResamplePass& pass) {
    if (!pass.shared) return false;
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    const TapRun r = tap_run(p, 0);
    ShuffledTaps<Ops::kWindow> plan;
    if (!plan.build(r, p.tap_stride)) return false;
    switch (plan.count) {
        case 1: u8_shuffled_elements<Ops, 1>(plan, r, p); break;
        case 2: u8_shuffled_elements<Ops, 2>(plan, r, p); break;
        case 3: u8_shuffled_elements<Ops, 3>(plan, r, p); break;
        case 4: u8_shuffled_elements<Ops, 4>(plan, r, p); break;
        default: u8_shuffled_elements<Ops, 0>(plan, r, p);
    }
    return true;
}

}  // namespace
}  // namespace zv_pt
