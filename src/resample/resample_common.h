// What every resampling kernel shares: the taps of an element as the operand
// block gives them, and the scalar definitions of the two sums, which the
// scalar reference runs and every vector path reproduces bit for bit.  The
// paths themselves live in resample_f32_paths.h and resample_u8_paths.h
// (with the headers those include) as
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

// A shared run's weights, copied with zeros after them so that whole vectors
// of them (64 weights past its end at most) can be read.
constexpr int64_t kMaxPaddedTaps = 256;
struct PaddedWeights {
    alignas(64) int16_t w[kMaxPaddedTaps + 64];

    bool copy(const TapRun& r) {
        if (r.count < 1 || r.count > kMaxPaddedTaps) return false;
        std::memcpy(w, r.weights, static_cast<size_t>(r.count) * sizeof(int16_t));
        std::memset(w + r.count, 0, 64 * sizeof(int16_t));
        return true;
    }
    const char* bytes() const { return reinterpret_cast<const char*>(w); }
};

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
// Where the elements of a pass with taps of their own repeat their runs with
// a short period, element e + period reading element e's run of taps moved
// on by a fixed number of source bytes, with the same count and the same
// weights (a host's tables for a resize by a ratio of small whole numbers,
// away from the borders: a shrink by a whole factor repeats from one element
// to the next, an enlargement by two every second element), the elements of
// each phase of the period compute exactly what a shared-taps pass over them
// computes: the level's shared paths take them, with each weight broadcast
// rather than picked per element.

// Spans whose phases are shorter than this keep their own taps: finding them
// costs more.
constexpr int64_t kMinSharedSpan = 64;

// The widest vector of the level that this copy is compiled for, in bytes.
#if defined(__AVX512F__)
constexpr int kLevelVectorBytes = 64;
#elif defined(__AVX2__)
constexpr int kLevelVectorBytes = 32;
#else
constexpr int kLevelVectorBytes = 16;
#endif

// The spans' table entries are compared a vector of up to 256 bits at a
// time (on AVX-512 a 512-bit vector had cost a host's 8-bit calls a line of
// 1920 to 640 10%: 0.83 to 0.91 ns an element, where 256 bits take 0.81);
// the periods looked for divide a vector's entries (so that every vector
// from a period's start holds the same phases), up to 4: 1, 2 and 4
// elements (AVX2, AVX-512), 1 and 2 (SSSE3, NEON).
constexpr int kSpanBytes = kLevelVectorBytes < 32 ? kLevelVectorBytes : 32;
constexpr int kSpanLanes = kSpanBytes / 8;
constexpr int kMaxSpanPeriod = kSpanLanes < 4 ? kSpanLanes : 4;

// Elements [from, to) in `period` phases, each a shared-taps pass whose
// elements are `period` output elements and `step` source bytes apart;
// empty when none is found.
struct SharedSpan {
    int64_t from = 0, to = 0, period = 1, step = 0;
    bool found() const { return to - from >= kMinSharedSpan * period; }
};

// True when p may have a span of shared taps (worth the search).
inline bool may_share(const ResamplePass& p) { return packed_tables(p) && p.n >= kMinSharedSpan; }

// A vector of table entries; the bits of a vector or-ed together, 128 bits
// at a time (no trip through memory).
typedef uint64_t SpanEntries __attribute__((vector_size(kSpanBytes)));
template <class V>
inline uint64_t any_bits(const V& v) {
    static_assert(sizeof(V) % 16 == 0, "a vector of 128-bit pieces");
    typedef uint64_t Pair __attribute__((vector_size(16)));
    Pair any;
    std::memcpy(&any, &v, sizeof any);
    for (size_t k = sizeof any; k < sizeof v; k += sizeof any) {
        Pair part;
        std::memcpy(&part, reinterpret_cast<const char*>(&v) + k, sizeof part);
        any |= part;
    }
    return any[0] | any[1];
}

// True when `elements` runs of `run` bytes of weights back to back from `w`
// on (an element's, or a period's elements') are all the first one: 64 bytes
// at a time (the last 64 overlapping the ones before), against a pattern of
// runs where runs tile 64 bytes, else against the bytes one run before.
inline bool runs_repeat(const char* w, int64_t run, int64_t elements) {
    const int64_t bytes = run * elements;
    if (bytes < 64 + run) return std::memcmp(w, w + run, static_cast<size_t>(bytes - run)) == 0;
    typedef uint64_t Bytes __attribute__((vector_size(kLevelVectorBytes)));
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
    return any_bits(off) == 0;
}

// The span of period kPeriod around element m of a pass with packed tables,
// whose element m + kPeriod has m's count and weights.  The weights of a
// period must lie back to back (or every period read the same ones); the
// tables are checked against the first period's lines a block of elements
// at a time from the middle out, a vector of entries at a time, then the
// span's weights.
template <int kPeriod>
inline SharedSpan periodic_span(const ResamplePass& p, int64_t m, int64_t weight_bytes) {
    // Entries as unsigned numbers: a host's differences may wrap.
    const auto entry = [](const char* table, int64_t i) { return load<uint64_t>(table + 8 * i); };
    uint64_t count[kPeriod], min_m[kPeriod], weights_m[kPeriod + 1];
    for (int q = 0; q < kPeriod; ++q) {
        count[q] = entry(p.tap_count, m + q);
        min_m[q] = entry(p.tap_min, m + q);
        weights_m[q] = entry(p.weight_offset, m + q);
        // Counts far past any resize's keep the sizes below well within range.
        if (count[q] < 1 || count[q] > (uint64_t{1} << 20)) return {};
    }
    weights_m[kPeriod] = entry(p.weight_offset, m + kPeriod);
    const uint64_t min_step = entry(p.tap_min, m + kPeriod) - min_m[0];
    const uint64_t weight_step = weights_m[kPeriod] - weights_m[0];
    if (weight_step != 0)
        for (int q = 0; q < kPeriod; ++q)
            if (weights_m[q + 1] - weights_m[q] != count[q] * static_cast<uint64_t>(weight_bytes)) return {};
    // Elements [a, a + periods * kPeriod), from a period's first element on,
    // have the first period's counts and entries on their lines.
    const auto fit_each = [&](int64_t a, int64_t periods) {
        const uint64_t k = static_cast<uint64_t>((a - m) / kPeriod);
        uint64_t off = 0;
        for (int64_t c = 0; c < periods; ++c)
            for (int q = 0; q < kPeriod; ++q) {
                const int64_t e = a + c * kPeriod + q;
                const uint64_t on = k + static_cast<uint64_t>(c);
                off |= (entry(p.tap_count, e) ^ count[q]) | (entry(p.tap_min, e) ^ (min_m[q] + on * min_step)) |
                       (entry(p.weight_offset, e) ^ (weights_m[q] + on * weight_step));
            }
        return off == 0;
    };
    // Periods close by that do not fit (the channels of interleaved pixels
    // share a run, the next pixel does not) end the search before the blocks.
    if (m < kPeriod || m + 3 * kPeriod > p.n || !fit_each(m - kPeriod, 1) || !fit_each(m + kPeriod, 1) ||
        !fit_each(m + 2 * kPeriod, 1))
        return {};
    // Lane j of a vector of entries from a period's first element: phase
    // j % kPeriod, j / kPeriod periods on.
    uint64_t lanes[3][kSpanLanes];
    for (int j = 0; j < kSpanLanes; ++j) {
        const uint64_t periods = static_cast<uint64_t>(j / kPeriod);
        lanes[0][j] = count[j % kPeriod];
        lanes[1][j] = min_m[j % kPeriod] + periods * min_step;
        lanes[2][j] = weights_m[j % kPeriod] + periods * weight_step;
    }
    const SpanEntries lane_count = load<SpanEntries>(reinterpret_cast<const char*>(lanes[0]));
    const SpanEntries lane_min = load<SpanEntries>(reinterpret_cast<const char*>(lanes[1]));
    const SpanEntries lane_weights = load<SpanEntries>(reinterpret_cast<const char*>(lanes[2]));
    // From one vector of entries to the next: kSpanLanes / kPeriod periods.
    const SpanEntries vector_min_step = SpanEntries{} + (kSpanLanes / kPeriod) * min_step;
    const SpanEntries vector_weight_step = SpanEntries{} + (kSpanLanes / kPeriod) * weight_step;
    // The same for kLength elements, a vector of entries at a time where
    // they fill vectors.
    const auto fit = [&](int64_t a, auto length) {
        constexpr int kLength = decltype(length)::value;
        if constexpr (kLength % kSpanLanes == 0) {
            const uint64_t k = static_cast<uint64_t>((a - m) / kPeriod);
            SpanEntries mins = lane_min + k * min_step, weights = lane_weights + k * weight_step, off = {};
            for (int v = 0; v < kLength / kSpanLanes; ++v) {
                const int64_t at = 8 * (a + v * kSpanLanes);
                off |= (load<SpanEntries>(p.tap_count + at) ^ lane_count) | (load<SpanEntries>(p.tap_min + at) ^ mins) |
                       (load<SpanEntries>(p.weight_offset + at) ^ weights);
                mins += vector_min_step;
                weights += vector_weight_step;
            }
            return any_bits(off) == 0;
        } else {
            return fit_each(a, kLength / kPeriod);
        }
    };
    const std::integral_constant<int, kPeriod> one;
    // Blocks of 32 elements, then of 4, then single periods at the span's ends.
    int64_t to = m + kPeriod, from = m;
    const auto extend = [&](auto length) {
        constexpr int64_t kLength = decltype(length)::value;
        while (to + kLength <= p.n && fit(to, length)) to += kLength;
        while (from >= kLength && fit(from - kLength, length)) from -= kLength;
    };
    extend(std::integral_constant<int, 32>{});
    extend(std::integral_constant<int, 4>{});
    extend(one);
    const int64_t step = static_cast<int64_t>(static_cast<uint64_t>(kPeriod * p.src_step) + min_step);
    const SharedSpan span{from, to, kPeriod, step};
    if (!span.found()) return {};
    if (weight_step != 0 && !runs_repeat(p.weights + entry(p.weight_offset, from), static_cast<int64_t>(weight_step),
                                         (to - from) / kPeriod))
        return {};
    return span;
}

// The span of the shortest period (1, 2 or 4, within kMaxSpanPeriod and
// max_period) around the middle element of a pass with packed tables.
// Neighbours with weights of their own (a near-identity scale) end the
// search after a few short comparisons.
inline SharedSpan shared_span(const ResamplePass& p, int64_t weight_bytes, int64_t max_period) {
    if (!may_share(p)) return {};
    const int64_t m = p.n / 2;
    const int64_t count = load<int64_t>(p.tap_count + 8 * m);
    if (count < 1 || count > (int64_t{1} << 20)) return {};
    const int64_t weights = load<int64_t>(p.weight_offset + 8 * m);
    const auto same_run = [&](int64_t e) {
        const int64_t other = load<int64_t>(p.weight_offset + 8 * e);
        return load<int64_t>(p.tap_count + 8 * e) == count &&
               (other == weights || std::memcmp(p.weights + weights, p.weights + other,
                                                static_cast<size_t>(count * weight_bytes)) == 0);
    };
    SharedSpan span;
    unrolled<3>([&](auto q) {
        constexpr int kPeriod = 1 << decltype(q)::value;
        if constexpr (kPeriod <= kMaxSpanPeriod) {
            if (!span.found() && kPeriod <= max_period && m + kPeriod < p.n && same_run(m + kPeriod))
                span = periodic_span<kPeriod>(p, m, weight_bytes);
        }
    });
    return span;
}

// Where p has a span of shared taps, runs its pieces and returns true: each
// phase of the span as one shared-taps pass to `pass`; the elements before
// and after it keep their own taps, a few (the border's) one at a time by
// `element`, more through `pass` again.  Out of line, so that the choosers'
// own code stays as it was for the passes without a span.
template <class T, class Pass, class Element>
__attribute__((noinline)) bool run_shared_span(const ResamplePass& p, int64_t weight_bytes, int64_t max_period,
                                               Pass pass, Element element) {
    const SharedSpan span = shared_span(p, weight_bytes, max_period);
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
    for (int64_t q = 0; q < span.period; ++q) {
        ResamplePass phase = from_element(p, span.from + q);
        phase.n = (span.to - span.from) / span.period;
        phase.dst_step = p.dst_step * span.period;
        phase.src_step = span.step;
        phase.tap_min_step = phase.tap_count_step = phase.weight_offset_step = 0;
        phase.shared = true;
        pass(phase);
    }
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

// Asks for every cache line of a source read from left to right up to
// kLanesPrefetchBytes ahead of the latest read, for the paths whose loads
// are masked: masked loads do not set off the processor's own prefetching
// (Zen 5: a stream of masked loads from a 6 MB source out of the caches
// takes three times as long as one of plain loads, and as long with this).
// A read that jumps (a call's next line elsewhere) starts it afresh, a few
// lines before the distance.
class StreamPrefetch {
public:
    void ahead_of(const char* at) {
        constexpr uintptr_t kRestart = 4 * 64;
        const uintptr_t to = reinterpret_cast<uintptr_t>(at) + kLanesPrefetchBytes;
        if (to + kLanesPrefetchBytes < next_ || to > next_ + kLanesPrefetchBytes) next_ = to - kRestart;
        for (; next_ < to; next_ += 64) __builtin_prefetch(reinterpret_cast<const char*>(next_));
    }

private:
    uintptr_t next_ = 0;
};

// Writes count bytes (from a vector spilled to `bytes`) step bytes apart.
inline void scatter_bytes(char* dst, int64_t step, const uint8_t* bytes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<uint8_t>(dst + k * step, bytes[k]);
}

inline void scatter_floats(char* dst, int64_t step, const float* lanes, int64_t count) {
    for (int64_t k = 0; k < count; ++k) store<float>(dst + k * step, lanes[k]);
}

}  // namespace
}  // namespace zv_pt
