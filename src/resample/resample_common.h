// What every resampling kernel shares: the taps of an element as the operand
// block gives them, and the scalar definitions of the two sums, which the
// scalar reference runs and every vector path reproduces bit for bit.  The
// paths themselves live in resample_f32_paths.h and resample_u8_paths.h as
// templates over a level's "ops" struct (loads, picks, multiply-adds,
// stores).  Everything here has internal linkage: a copy compiled with one
// level's instruction set must never stand in for another level's copy at
// link time.
//
// Operands are read and written with memcpy: the caller's offsets and steps
// are plain byte counts with no alignment promised.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

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

// Runs in lanes from consecutive elements [i, i + kLanes) of a pass with
// taps of their own.
template <int kLanes>
struct LaneRuns {
    const char* first[kLanes];
    const char* weights[kLanes];
    int64_t count[kLanes];
    int64_t common;  // taps that every lane has, >= 0
    bool uneven;     // some lane has more than `common` taps

    static LaneRuns at(const ResamplePass& p, int64_t i) {
        LaneRuns lanes;
        int64_t most = 0;
        lanes.common = INT64_MAX;
        // Element i's pass, stepped on from lane to lane.
        ResamplePass q = from_element(p, i);
        for (int k = 0; k < kLanes; ++k, q = from_element(q, 1)) {
            const TapRun r = tap_run(q, 0);
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

// True when elements i, i + 1, i + 2 of a pass with packed tables are the
// channels of one interleaved pixel of `element`-byte channels: first taps
// one channel apart, the same count and the same weights.
inline bool pixel_at(const ResamplePass& p, int64_t i, int64_t element) {
    const char* m = p.tap_min + 8 * i;
    const char* c = p.tap_count + 8 * i;
    const char* w = p.weight_offset + 8 * i;
    const int64_t first = load<int64_t>(m), count = load<int64_t>(c), weights = load<int64_t>(w);
    // One branch for all six: the entries are read anyway.
    return (load<int64_t>(m + 8) == first + element) & (load<int64_t>(m + 16) == first + 2 * element) &
           (load<int64_t>(c + 8) == count) & (load<int64_t>(c + 16) == count) & (load<int64_t>(w + 8) == weights) &
           (load<int64_t>(w + 16) == weights);
}

// Calls f(std::integral_constant<int, q>{}) for q = 0 .. N - 1, written out,
// so that what a group keeps per pixel stays in registers.
template <class F, int... Q>
inline void each_of(F&& f, std::integer_sequence<int, Q...>) {
    (f(std::integral_constant<int, Q>{}), ...);
}
template <int N, class F>
inline void unrolled(F&& f) {
    each_of(f, std::make_integer_sequence<int, N>{});
}

// Member<Ops> (an alias of one of Ops's member types) where Ops has it, else
// Default: how the paths find the optional parts of a level's ops.
template <template <class> class Member, class Ops, class Default, class = void>
struct MemberOr {
    using type = Default;
};
template <template <class> class Member, class Ops, class Default>
struct MemberOr<Member, Ops, Default, std::void_t<Member<Ops>>> {
    using type = Member<Ops>;
};

// Tables built at compile time, one per tap stride 1 .. kMaxTableStride:
// make(stride) gives the table of a stride.  The paths that pick taps out of
// windows read their pick indices from them rather than build them per call.
constexpr int kMaxTableStride = 8;

template <class Table, class Make>
constexpr std::array<Table, kMaxTableStride + 1> per_stride(Make make) {
    std::array<Table, kMaxTableStride + 1> tables{};
    for (int stride = 1; stride <= kMaxTableStride; ++stride) tables[static_cast<size_t>(stride)] = make(stride);
    return tables;
}

// The number of consecutive set bits of `lanes` from bit 0.
inline int leading_lanes(uint32_t lanes) { return __builtin_ctz(~lanes); }

// A mask of the n lowest bits, n <= 64.
constexpr uint64_t low_bits(int64_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// One past the last source and weight bytes of the pass's last element
// (elements and weights of the given sizes): windows that end there stay
// within what the tables name (they start at a named byte too).  Null ends
// when that element has no taps.
struct PassEnds {
    uintptr_t x = 0, w = 0;

    static PassEnds of(const ResamplePass& p, int64_t element, int64_t weight) {
        const TapRun last = tap_run(p, p.n - 1);
        if (last.count < 1) return {};
        return {reinterpret_cast<uintptr_t>(last.first + (last.count - 1) * p.tap_stride + element),
                reinterpret_cast<uintptr_t>(last.weights + last.count * weight)};
    }

    // True when `bytes` bytes from at end at or before `end`.
    static bool within(const char* at, int64_t bytes, uintptr_t end) {
        return reinterpret_cast<uintptr_t>(at) + static_cast<uintptr_t>(bytes) <= end;
    }
};

// Per-element tables whose entries lie 8 bytes apart, element after element,
// as the planner and most hosts lay them out; the lanes path reads a group's
// entries with vector loads.
inline bool packed_tables(const ResamplePass& p) {
    return !p.shared && p.tap_min_step == 8 && p.tap_count_step == 8 && p.weight_offset_step == 8;
}

// ---- spans of elements that share their taps ------------------------------------
//
// Where consecutive elements of a pass with taps of their own read one run of
// taps moved on by a fixed number of source bytes from each element to the
// next, with the same count and the same weights (a host's tables for a
// shrink by a whole factor, away from the borders), those elements compute
// exactly what a shared-taps pass over them computes: the level's shared
// paths take them, with each weight broadcast rather than picked per element.

// Spans shorter than this keep their own taps: finding them costs more.
constexpr int64_t kMinSharedSpan = 64;

// Elements [from, to) whose runs are element from's run moved on by `step`
// source bytes per element; empty when none is found.
struct SharedSpan {
    int64_t from = 0, to = 0, step = 0;
    bool found() const { return to - from >= kMinSharedSpan; }
};

// True when p may have a span of shared taps (worth the search).
inline bool may_share(const ResamplePass& p) { return packed_tables(p) && p.n >= kMinSharedSpan; }

// The widest vector of the level that this copy is compiled for, in bytes.
#if defined(__AVX512F__)
constexpr int kLevelVectorBytes = 64;
#elif defined(__AVX2__)
constexpr int kLevelVectorBytes = 32;
#else
constexpr int kLevelVectorBytes = 16;
#endif

// True when every element's `run` bytes of weights from `w` on, for
// `elements` elements back to back, are the first element's: 64 bytes at a
// time (the last 64 overlapping the ones before), against a pattern of runs
// where runs tile 64 bytes, else against the bytes one run before.
inline bool runs_repeat(const char* w, int64_t run, int64_t elements) {
    const int64_t bytes = run * elements;
    if (bytes < 64 + run) return std::memcmp(w, w + run, static_cast<size_t>(bytes - run)) == 0;
    using Bytes = uint64_t __attribute__((vector_size(kLevelVectorBytes)));
    constexpr int kVectors = 64 / kLevelVectorBytes;
    Bytes off = {};
    const auto block = [&](int64_t b, const char* against) {
        for (int q = 0; q < kVectors; ++q)
            off |= load<Bytes>(w + b + kLevelVectorBytes * q) ^ load<Bytes>(against + kLevelVectorBytes * q);
    };
    if (64 % run == 0) {
        char pattern[64];
        for (int64_t k = 0; k < 64; k += run) std::memcpy(pattern + k, w, static_cast<size_t>(run));
        for (int64_t b = 0; b + 64 <= bytes; b += 64) block(b, pattern);
        block(bytes - 64, pattern);
    } else {
        for (int64_t b = run; b + 64 <= bytes; b += 64) block(b, w + b - run);
        block(bytes - 64, w + bytes - 64 - run);
    }
    uint64_t any = 0;
    for (int q = 0; q < kLevelVectorBytes / 8; ++q) any |= off[q];
    return any == 0;
}

// The span around the middle element of a pass with packed tables whose
// weight runs lie back to back (or are one run) and whose sources step on
// evenly: the tables are checked a block of elements at a time from the
// middle out (loops the compiler vectorises), then the span's weights.
inline SharedSpan shared_span(const ResamplePass& p, int64_t weight_bytes, int64_t min_count) {
    if (!may_share(p)) return {};
    // Entries as unsigned numbers: a host's differences may wrap.
    const auto entry = [](const char* table, int64_t i) { return load<uint64_t>(table + 8 * i); };
    const int64_t m = p.n / 2;
    const uint64_t count = entry(p.tap_count, m), min_m = entry(p.tap_min, m), weights_m = entry(p.weight_offset, m);
    const uint64_t min_step = entry(p.tap_min, m + 1) - min_m;
    const uint64_t weight_step = entry(p.weight_offset, m + 1) - weights_m;
    const uint64_t run = count * static_cast<uint64_t>(weight_bytes);
    // Counts far past any resize's keep the sizes below well within range.
    if (static_cast<int64_t>(count) < std::max<int64_t>(min_count, 1) || count > (uint64_t{1} << 20) ||
        (weight_step != 0 && weight_step != run))
        return {};
    // Neighbours with weights of their own (a near-identity scale, whose
    // tables step evenly all the same) end the search before it starts.
    if (weight_step != 0 && !runs_repeat(p.weights + weights_m, static_cast<int64_t>(run), 2)) return {};
    // Elements [a, a + kLength) have element m's count and entries on its lines.
    const auto fit = [&](int64_t a, auto length) {
        const uint64_t k = static_cast<uint64_t>(a - m);
        const uint64_t min_a = min_m + k * min_step, weights_a = weights_m + k * weight_step;
        uint64_t off = 0;
        for (int e = 0; e < decltype(length)::value; ++e)
            off |= (entry(p.tap_count, a + e) ^ count) | (entry(p.tap_min, a + e) ^ (min_a + e * min_step)) |
                   (entry(p.weight_offset, a + e) ^ (weights_a + e * weight_step));
        return off == 0;
    };
    // Elements close by that do not fit (the channels of interleaved pixels
    // share a run, the next pixel does not) end the search before the blocks.
    const std::integral_constant<int, 1> one;
    if (!fit(m - 1, one) || !fit(m + 1, one) || !fit(m + 2, one) || !fit(m + 3, one)) return {};
    // Blocks of 32 elements, then of 4, then single ones at the span's ends.
    int64_t to = m + 1, from = m;
    const auto extend = [&](auto length) {
        constexpr int64_t kLength = decltype(length)::value;
        while (to + kLength <= p.n && fit(to, length)) to += kLength;
        while (from >= kLength && fit(from - kLength, length)) from -= kLength;
    };
    extend(std::integral_constant<int, 32>{});
    extend(std::integral_constant<int, 4>{});
    extend(one);
    if (to - from < kMinSharedSpan) return {};
    if (weight_step != 0 && !runs_repeat(p.weights + entry(p.weight_offset, from), static_cast<int64_t>(run), to - from))
        return {};
    return {from, to, static_cast<int64_t>(static_cast<uint64_t>(p.src_step) + min_step)};
}

// Where p has a span of shared taps, runs its pieces and returns true: the
// span's elements as one shared-taps pass to `pass`; the elements before and
// after it keep their own taps, a few (the border's) one at a time by
// `element`, more through `pass` again.  Out of line, so that the choosers'
// own code stays as it was for the passes without a span.
template <class T, class Pass, class Element>
__attribute__((noinline)) bool run_shared_span(const ResamplePass& p, int64_t weight_bytes, int64_t min_count,
                                               Pass pass, Element element) {
    const SharedSpan span = shared_span(p, weight_bytes, min_count);
    if (!span.found()) return false;
    const auto own = [&](const ResamplePass& piece) {
        if (piece.n < kMinSharedSpan)
            each_element<T>(piece, 0, element);
        else
            pass(piece);
    };
    if (span.from > 0) {
        ResamplePass head = p;
        head.n = span.from;
        own(head);
    }
    ResamplePass shared = from_element(p, span.from);
    shared.n = span.to - span.from;
    shared.src_step = span.step;
    shared.tap_min_step = shared.tap_count_step = shared.weight_offset_step = 0;
    shared.shared = true;
    pass(shared);
    if (span.to < p.n) own(from_element(p, span.to));
    return true;
}

// True when no store of a shared-taps pass can land on a byte its taps read
// (`element` bytes an element), so that its last block may start before the
// elements left and write the ones before them again, with the same values.
inline bool stores_apart_from_taps(const ResamplePass& p, int64_t element) {
    const TapRun r = tap_run(p, 0);
    if (p.n < 1 || r.count < 1) return false;
    // The bytes [out[0], out[1]) from `steps` steps of `width` bytes from `from` on.
    const auto span = [](intptr_t from, int64_t steps, int64_t step, int64_t width, intptr_t (&out)[2]) {
        const intptr_t to = from + static_cast<intptr_t>(steps * step);
        out[0] = std::min(from, to);
        out[1] = std::max(from, to) + static_cast<intptr_t>(width);
    };
    intptr_t taps[2], first[2], stores[2];
    span(reinterpret_cast<intptr_t>(r.first), r.count - 1, p.tap_stride, element, taps);
    span(taps[0], p.n - 1, p.src_step, taps[1] - taps[0], first);  // the taps of every element
    span(reinterpret_cast<intptr_t>(p.dst), p.n - 1, p.dst_step, element, stores);
    return stores[1] <= first[0] || first[1] <= stores[0];
}

// How far ahead of a block's taps the contiguous blocks ask for the taps of
// later elements: with many taps far apart (the lines of a vertical pass) the
// processor's own prefetching falls behind.
constexpr int64_t kPrefetchBytes = 512;

// How far ahead of a group's first tap the float window lanes with taps of
// their own ask for the source.
constexpr int64_t kLanesPrefetchBytes = 2048;

// Writes count bytes (from a vector spilled to `bytes`) step bytes apart.
inline void scatter_bytes(char* dst, int64_t step, const uint8_t* bytes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<uint8_t>(dst + k * step, bytes[k]);
}

inline void scatter_floats(char* dst, int64_t step, const float* lanes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<float>(dst + k * step, lanes[k]);
}

}  // namespace
}  // namespace zv_pt
