// How a resize runs (order of the passes, mapping of the horizontal one, bands,
// threads) and the cost model that chooses it (see zv_pt/resize.hpp).
#ifndef ZV_PT_RESIZE_PLAN_HPP
#define ZV_PT_RESIZE_PLAN_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "taps.hpp"

namespace zvt {
namespace resize {

enum class Axis { horizontal, vertical };

// How the horizontal pass is laid on the resampling call (the vertical pass is
// always one shared-taps call per output line, elements side by side):
//  per_row:    one call per line, each output element with its own taps;
//  per_column: one call per output column and channel, shared taps, one
//              element per line;
//  per_phase:  output pixels a period of the sampling grid apart (in / out
//              reduced to step / period) read the same taps moved by `step`
//              pixels: one shared-taps call per phase and channel, running on
//              from line to line when the lines lie back to back; the border
//              columns, whose windows are cut, as in per_column.
enum class Mapping { automatic, per_row, per_column, per_phase };

enum class Order { automatic, horizontal_first, vertical_first };

// How a Resizer runs.  Every choice gives the same bits; only speed differs.
struct Plan {
    Order order = Order::automatic;
    Mapping horizontal = Mapping::automatic;
    int threads = 1;       // threads of run(): the calling one and threads - 1 of the Resizer's own
    long band_lines = 0;   // output lines per band (of the fused passes, or of the one pass); 0: the planner's choice
};

// A rectangle of pixels: left column, top line, width and height.
struct Window {
    long x = 0, y = 0, width = 0, height = 0;
};

inline bool operator==(const Window& a, const Window& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

namespace detail {

// The input elements [lo, hi) that outputs [first, first + count) read.
struct Span {
    long lo, hi;
};

inline Span source_span(const AxisTaps& t, long first, long count) {
    Span s{t.in_size, 0};
    for (long i = first; i < first + count; ++i) {
        s.lo = std::min<long>(s.lo, t.first[i]);
        s.hi = std::max<long>(s.hi, t.first[i] + t.count[i]);
    }
    return s;
}

// True when output x + period reads the taps of output x moved by step inputs,
// with the same weights bit for bit.
inline bool repeats(const AxisTaps& t, long x, long period, long step) {
    const long y = x + period;
    if (t.count[y] != t.count[x] || t.first[y] != t.first[x] + step) return false;
    const auto same = [&](const auto& w) {
        return std::equal(w.begin() + t.offset[x], w.begin() + t.offset[x] + t.count[x], w.begin() + t.offset[y]);
    };
    return same(t.weights) && same(t.fixed);
}

// ---- the cost model ------------------------------------------------------------
//
// The planner picks the order of the passes and the mapping of the
// horizontal one by their estimated time: a few costs per output element and
// per call of the resampling pass's paths, in nanoseconds, measured with the
// resize benchmark on one core of the build machine (see docs/design.md).
// Only the comparison between candidates matters, so the figures need to be
// right within a factor, not exactly.
struct CostModel {
    // A call of the pass: its checks and the set-up of its path.
    static constexpr double kCallNs = 100.0;
    // Per element of a shared-taps call (a phase): the run's taps picked out
    // of windows with the weights in registers.  Planar lines hold one
    // channel, so their calls' elements lie closer.  Elements a period apart
    // whose period spans 32 bytes or more share no cache line: each brings
    // its own lines from L2.
    static double shared_ns(double taps, bool planar, bool far) {
        return (planar ? 0.6 : 1.0) * (0.3 + 0.065 * taps) + (far ? 0.9 : 0.0);
    }
    // Per element with taps of its own: short runs side by side in lanes,
    // long ones (8-bit pixels, runs) a vector of taps at a time.  Interleaved
    // 8-bit pixels of 11 taps or more take the pixels path, one window for
    // the three channels (fitted to its own timings, 11 to 96 taps).  On
    // AArch64 long 8-bit runs of one channel go one element at a time, about
    // four times the instructions of the per-phase runs (make insn-count);
    // interleaved lines are estimated against their phases (below).
    static double own_ns(double taps, bool floats, bool pixels) {
#if defined(__aarch64__)
        if (!floats && taps >= 9) return 4.0 * (0.6 + 0.1 * taps);
#endif
        if (pixels && !floats && taps >= 11) return 1.4 + 0.022 * taps;
        return 0.6 + 0.1 * taps;
    }
    // Per element of a vertical pass: contiguous sources, one vector
    // multiply-add per tap for many elements.
    static double vertical_ns(double taps) { return 0.045 * taps; }
    // A float element against an 8-bit one: taps of their own take three
    // times as long (a lane holds 16 floats, not 32 pairs of bytes, and the
    // multiply-adds of a lane wait on each other), shared and vertical
    // ones half as long again.
    static double own_factor(bool floats) { return floats ? 3.0 : 1.0; }
    static double shared_factor(bool floats) { return floats ? 1.5 : 1.0; }
    // The first pass reads the source from memory, which bounds it where its
    // arithmetic takes less time: per byte, a horizontal pass streams the
    // lines one after another, at about the rate of a plain read; a vertical
    // pass reads all its taps' lines at once, which this machine serves at
    // half that rate (a 2x vertical shrink of a 3840x2160 float plane with
    // nothing but additions: 2.4 ms, against 1.1 ms for one plain read).
    static constexpr double kStreamNsPerByte = 0.031;
    static constexpr double kLinesNsPerByte = 0.062;
    // NEON's interleaved pixels per row (a pixel's three channels in the
    // lanes of one vector) against its lanes and runs per phase, in
    // instructions per element under qemu on the sweep's widths: floats about
    // 12 + taps against 8 + 1.6 taps (per row 13.8 at 2 taps to 45.8 at 34,
    // per phase 11.7 to 62.3), bytes 12.5 + 0.85 taps against 12 + 0.6 taps
    // (13.9 to 42.4, and 14.8 to 30.3).  Per row, the elements then take the
    // per-phase elements' estimate in that proportion.
    static double neon_pixels_per_phase(double taps, bool floats) {
        return floats ? (12.0 + taps) / (8.0 + 1.6 * taps) : (12.5 + 0.85 * taps) / (12.0 + 0.6 * taps);
    }
};

// Lines per block of a per-phase pass: about 1 MiB of source.  The calls of
// the phases and channels sweep the block from left to right, so what they
// read at a time is a few cache lines of each of its lines; the longer the
// block, the longer (and fewer) the calls.
inline long phase_block_lines(long in, long channels, long element) {
    return std::max(1L, (1L << 20) / std::max(1L, in * channels * element));
}

// True when `count` outputs reading `span` inputs are whole periods of the
// sampling grid (`period` outputs from `step` inputs): a line of them ends
// where the next line's grid would start, so a phase's call can run on.
inline bool whole_periods(long count, long span, long period, long step) {
    return count % period == 0 && span == (count / period) * step;
}

// The estimated time of a horizontal pass computing the outputs [first,
// first + count) of `lines` lines in a mapping (planar: the lines of one plane).
inline double horizontal_ns(const AxisTaps& x, long first, long count, long lines, long channels, long element,
                            Mapping mapping) {
    const double taps = static_cast<double>(x.weights.size()) / static_cast<double>(x.out_size);
    const double elements = static_cast<double>(lines) * static_cast<double>(count * channels);
    const bool floats = element == sizeof(float);
    const long periods = std::gcd(x.in_size, x.out_size);
    const long period = x.out_size / periods;
    const long step = x.in_size / periods;
    const bool far = step * channels * element >= 32;
    const double shared_elements_ns =
        CostModel::shared_factor(floats) * elements * CostModel::shared_ns(taps, channels == 1, far);
    if (mapping == Mapping::per_row) {
        double own_elements_ns = CostModel::own_factor(floats) * elements * CostModel::own_ns(taps, floats, channels == 3);
#if defined(__aarch64__)
        if (channels == 3) own_elements_ns = shared_elements_ns * CostModel::neon_pixels_per_phase(taps, floats);
#endif
        return own_elements_ns + static_cast<double>(lines) * CostModel::kCallNs;
    }
    // Per phase: a call per phase and channel and block of lines.  A call runs
    // on from line to line only over whole lines of whole periods (so never
    // with one period per line, where the phases are the columns, nor in a
    // window of the output): otherwise every line has its own calls.
    const Span span = source_span(x, first, count);
    const bool continues = periods > 1 && whole_periods(count, span.hi - span.lo, period, step);
    const double blocks =
        continues ? std::ceil(static_cast<double>(lines) /
                              static_cast<double>(phase_block_lines(span.hi - span.lo, channels, element)))
                  : static_cast<double>(lines);
    const double calls = static_cast<double>(std::min(period, count) * channels) * blocks;
    return shared_elements_ns + calls * CostModel::kCallNs;
}

inline double vertical_ns(const AxisTaps& y, long across, long channels, long element) {
    const double taps = static_cast<double>(y.weights.size()) / static_cast<double>(y.out_size);
    return CostModel::shared_factor(element == sizeof(float)) * static_cast<double>(y.out_size) *
               static_cast<double>(across * channels) * CostModel::vertical_ns(taps) +
           static_cast<double>(y.out_size) * CostModel::kCallNs;
}

// The cheaper mapping of the horizontal pass computing the outputs [first,
// first + count) of `lines` lines.
inline Mapping choose_mapping(Mapping requested, const AxisTaps& x, long first, long count, long lines, long channels,
                              long element) {
    if (requested != Mapping::automatic) return requested;
    const auto ns = [&](Mapping m) { return horizontal_ns(x, first, count, lines, channels, element, m); };
    return ns(Mapping::per_row) < ns(Mapping::per_phase) ? Mapping::per_row : Mapping::per_phase;
}

// The order of the passes.  8-bit bicubic results are clamped to 0..255
// between the passes, overshoot included, so there the order shows in the
// result: horizontal first, as the common 8-bit implementations do.
// Otherwise the cheaper order, each with its cheaper horizontal mapping.
// The order follows from the whole resize, never from a window of it: the
// two orders round differently, and a window must give the whole resize's
// bits.
inline Order choose_order(Order requested, bool order_shows, const AxisTaps& x, const AxisTaps& y, long channels,
                          long element) {
    if (requested != Order::automatic) return requested;
    if (order_shows) return Order::horizontal_first;
    auto horizontal = [&](long lines) {
        const Mapping m = choose_mapping(Mapping::automatic, x, 0, x.out_size, lines, channels, element);
        return horizontal_ns(x, 0, x.out_size, lines, channels, element, m);
    };
    const double source_bytes = static_cast<double>(x.in_size * y.in_size * channels * element);
    const double horizontal_first = std::max(horizontal(y.in_size), source_bytes * CostModel::kStreamNsPerByte) +
                                    vertical_ns(y, x.out_size, channels, element);
    const double vertical_first = std::max(vertical_ns(y, x.in_size, channels, element),
                                           source_bytes * CostModel::kLinesNsPerByte) +
                                  horizontal(y.out_size);
    return vertical_first < horizontal_first ? Order::vertical_first : Order::horizontal_first;
}

}  // namespace detail

}  // namespace resize
}  // namespace zvt

#endif  // ZV_PT_RESIZE_PLAN_HPP
