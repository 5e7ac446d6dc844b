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

// kVecs * kLanes elements with shared taps whose sources are consecutive
// floats: plain loads and one broadcast weight per tap.
template <class Ops, int kVecs>
inline void f32_contiguous_block(const TapRun& r, int64_t tap_stride, char* dst, int64_t dst_step) {
    constexpr int64_t kVecBytes = Ops::kLanes * int64_t{sizeof(float)};
    typename Ops::V acc[kVecs];
    for (auto& a : acc) a = Ops::zero();
    const char* x = r.first;
    const char* w = r.weights;
    for (int64_t j = 0; j < r.count; ++j, x += tap_stride, w += sizeof(float)) {
        const typename Ops::V wj = Ops::broadcast(w);
        for (int v = 0; v < kVecs; ++v) acc[v] = Ops::fma(Ops::load(x + v * kVecBytes), wj, acc[v]);
    }
    for (int v = 0; v < kVecs; ++v) Ops::store(dst + v * Ops::kLanes * dst_step, dst_step, acc[v]);
}

// Weights of taps [j, j + 4) for every lane: broadcast when the lanes share
// their weights, else transposed like the sources.
template <class Ops, bool kSharedWeights>
inline void f32_weights4(const LaneRuns<Ops::kLanes>& lanes, int64_t j, typename Ops::V (&w)[4]) {
    const int64_t offset = j * int64_t{sizeof(float)};
    if constexpr (kSharedWeights) {
        for (int t = 0; t < 4; ++t) w[t] = Ops::broadcast(lanes.weights[0] + offset + t * int64_t{sizeof(float)});
    } else {
        Ops::transposed(lanes.weights, offset, w);
    }
}

// One element per lane over the taps all lanes have; when the taps of an
// element are consecutive floats, four at a time through a transposition.
// Each lane then finishes its own run.
template <class Ops, bool kSharedWeights>
inline void f32_lanes_block(const LaneRuns<Ops::kLanes>& lanes, int64_t tap_stride, char* dst, int64_t dst_step) {
    constexpr int kLanes = Ops::kLanes;
    typename Ops::V acc = Ops::zero();
    int64_t j = 0;
    if (tap_stride == sizeof(float)) {
        for (; j + 4 <= lanes.common; j += 4) {
            typename Ops::V x[4], w[4];
            Ops::transposed(lanes.first, j * int64_t{sizeof(float)}, x);
            f32_weights4<Ops, kSharedWeights>(lanes, j, w);
            for (int t = 0; t < 4; ++t) acc = Ops::fma(x[t], w[t], acc);
        }
    }
    for (; j < lanes.common; ++j) {
        const int64_t w_offset = j * int64_t{sizeof(float)};
        const typename Ops::V w =
            kSharedWeights ? Ops::broadcast(lanes.weights[0] + w_offset) : Ops::gather(lanes.weights, w_offset);
        acc = Ops::fma(Ops::gather(lanes.first, j * tap_stride), w, acc);
    }
    if (!lanes.uneven) return Ops::store(dst, dst_step, acc);
    float sums[kLanes];
    Ops::store(reinterpret_cast<char*>(sums), sizeof(float), acc);
    for (int k = 0; k < kLanes; ++k) sums[k] = f32_sum(lanes.run(k), tap_stride, j, sums[k]);
    scatter_floats(dst, dst_step, sums, kLanes);
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
        for (; i + kWide * kLanes <= p.n; i += kWide * kLanes)
            f32_contiguous_block<Ops, kWide>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * p.dst_step,
                                             p.dst_step);
        for (; i + kLanes <= p.n; i += kLanes)
            f32_contiguous_block<Ops, 1>(moved(shared, i * p.src_step), p.tap_stride, p.dst + i * p.dst_step,
                                         p.dst_step);
    } else if (p.shared) {
        for (; i + kLanes <= p.n; i += kLanes)
            f32_lanes_block<Ops, true>(LaneRuns<kLanes>::template at<true>(p, shared, i), p.tap_stride,
                                       p.dst + i * p.dst_step, p.dst_step);
    } else {
        for (; i + kLanes <= p.n; i += kLanes)
            f32_lanes_block<Ops, false>(LaneRuns<kLanes>::template at<false>(p, shared, i), p.tap_stride,
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

// kBlocks * kBytes elements with shared taps whose sources are consecutive bytes.
template <class Ops, int kBlocks>
inline void u8_contiguous_block(const TapRun& r, const ResamplePass& p, char* dst) {
    constexpr int64_t kBytes = Ops::kBytes;
    typename Ops::Acc acc[kBlocks];
    for (auto& a : acc) a = Ops::init(p.half);
    const int64_t tap_stride = p.tap_stride;
    const char* x = r.first;
    const char* w = r.weights;
    int64_t j = 0;
    for (; j + 2 <= r.count; j += 2, x += 2 * tap_stride, w += 2 * sizeof(int16_t))
        for (int b = 0; b < kBlocks; ++b) Ops::add_pair(acc[b], x + b * kBytes, tap_stride, w);
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
    for (; i + kStep <= p.n; i += kStep) u8_contiguous_block<Ops, kBlocks>(moved(r, i), p, p.dst + i * p.dst_step);
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
    const uint32_t four = Ops::finish4(sums, p.half, p.shift);
    if (p.dst_step == 1) {
        store<uint32_t>(dst, four);
    } else {
        uint8_t out[kDotGroup];
        std::memcpy(out, &four, sizeof four);
        scatter_bytes(dst, p.dst_step, out, kDotGroup);
    }
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

// Elements [first, p.n) as dot products, four at a time.
template <class Ops>
inline void u8_dot_elements(const ResamplePass& pass, int64_t first) {
    const ResamplePass p = pass;  // a local copy: the stores cannot alias it, its fields stay in registers
    int64_t i;
    if (p.tap_stride == 1)
        i = p.shared ? u8_dot_groups<Ops, true, true>(p, first) : u8_dot_groups<Ops, false, true>(p, first);
    else
        i = p.shared ? u8_dot_groups<Ops, true, false>(p, first) : u8_dot_groups<Ops, false, false>(p, first);
    each_element<uint8_t>(p, i, [](const TapRun& r, const ResamplePass& q) { return u8_element(r, q); });
}

}  // namespace
}  // namespace zv_pt
