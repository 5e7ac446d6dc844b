// Antialiased bilinear and bicubic resizing of 3-channel images, planned on top
// of libzv_pt's resampling pass (zvt::zvt_interpolate).
//
// Header-only: the tap tables, the intermediate bands and the threads live
// here, so the library itself still allocates nothing and starts no thread.
//
//   zvt::resize::Resizer<float> r(1920, 1080, 224, 224, zvt::resize::Layout::planar,
//                                 zvt::resize::Filter::bicubic);
//   int rc = r.run(src, dst);  // per frame; 0 on success
//
//   // Only the 224x224 centre of a 256-line resize, on two threads; the
//   // source rectangle it reads is r2.source_window(), and src2 points at it.
//   zvt::resize::Resizer<unsigned char> r2(1920, 1080, 455, 256, zvt::resize::Window{115, 16, 224, 224},
//                                          zvt::resize::Layout::interleaved, zvt::resize::Filter::bilinear,
//                                          {zvt::resize::Order::automatic, zvt::resize::Mapping::automatic, 2});
//   rc = r2.run(src2, src2_pitch, dst2, 224 * 3);
//
// Filters follow the usual antialiasing definition: output element i is centred
// at (i + 0.5) * scale in input coordinates (scale = in / out), the filter is
// stretched by the scale when shrinking, cut at the image border and its weights
// normalised to sum 1 per output element.  Bicubic is the cubic convolution with
// a = -0.5.  8-bit images use 16-bit fixed-point weights and round to 8 bits
// after each pass; bicubic takes the horizontal pass first.
#ifndef ZV_PT_RESIZE_HPP
#define ZV_PT_RESIZE_HPP

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "zv_pt.h"

namespace zvt {
namespace resize {

enum class Filter { bilinear, bicubic };

// interleaved: HWC, pixel after pixel with 3 channels each.
// planar: CHW, three planes of height rows each.
enum class Layout { interleaved, planar };

// Resampling tables of one axis.  Output element i reads the count[i] input
// elements first[i], first[i] + 1, ... with the weights starting at offset[i]
// in `weights` (float) and `fixed` (int16, frac_bits fraction bits).
struct AxisTaps {
    long in_size = 0;
    long out_size = 0;
    std::vector<int64_t> first;
    std::vector<int64_t> count;
    std::vector<int64_t> offset;
    std::vector<float> weights;
    std::vector<int16_t> fixed;
    unsigned frac_bits = 0;
};

namespace detail {

inline double filter_support(Filter filter) { return filter == Filter::bilinear ? 1.0 : 2.0; }

inline double filter_value(Filter filter, double x) {
    x = std::fabs(x);
    if (filter == Filter::bilinear) return x < 1.0 ? 1.0 - x : 0.0;
    constexpr double a = -0.5;
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return (((x - 5.0) * x + 8.0) * x - 4.0) * a;
    return 0.0;
}

// Normalised weights of one output element, without the zero weights at either
// end of its window.
struct Run {
    int64_t first = 0;
    std::vector<double> weights;
};

// Output element i of an axis resized from `in` to `out` elements.
inline Run weight_run(long in, long out, long i, Filter filter) {
    const double scale = static_cast<double>(in) / static_cast<double>(out);
    const double support = filter_support(filter) * std::max(scale, 1.0);  // widened when shrinking
    const double centre = (i + 0.5) * scale;
    // Window bounds truncate toward zero before clipping, as the common
    // implementations of these filters do.
    const int64_t lo = std::max<int64_t>(static_cast<int64_t>(centre - support + 0.5), 0);
    const int64_t hi = std::min<int64_t>(static_cast<int64_t>(centre + support + 0.5), in);
    // The filter argument (x + 0.5 - centre) / max(scale, 1) as one division of
    // exact integers, so that elements a whole period of the sampling grid
    // apart get bit-identical weights.
    const double denominator = 2.0 * static_cast<double>(std::max(in, out));
    Run run{lo, {}};
    double sum = 0.0;
    for (int64_t x = lo; x < hi; ++x) {
        const int64_t numerator = (2 * x + 1) * out - (2 * int64_t{i} + 1) * in;
        run.weights.push_back(filter_value(filter, static_cast<double>(numerator) / denominator));
        sum += run.weights.back();
    }
    for (double& w : run.weights) w /= sum;
    while (!run.weights.empty() && run.weights.back() == 0.0) run.weights.pop_back();
    const auto nonzero = std::find_if(run.weights.begin(), run.weights.end(), [](double w) { return w != 0.0; });
    run.first += nonzero - run.weights.begin();
    run.weights.erase(run.weights.begin(), nonzero);
    return run;
}

// Fixed-point weights as differences of rounded prefix sums: each run sums to
// exactly 2^bits and every partial sum is within half a unit of the exact one,
// which keeps flat and smooth regions exact.  False if a weight overflows int16.
inline bool quantise(const std::vector<double>& weights, unsigned bits, int16_t* out) {
    const double one = std::ldexp(1.0, static_cast<int>(bits));
    double prefix = 0.0;
    int64_t previous = 0;
    for (double w : weights) {
        prefix += w;
        const auto rounded = static_cast<int64_t>(std::floor(prefix * one + 0.5));
        const int64_t q = rounded - previous;
        if (q < INT16_MIN || q > INT16_MAX) return false;
        *out++ = static_cast<int16_t>(q);
        previous = rounded;
    }
    return true;
}

inline std::vector<int16_t> quantise_all(const std::vector<Run>& runs, size_t total, unsigned bits) {
    std::vector<int16_t> fixed(total);
    int16_t* out = fixed.data();
    for (const Run& run : runs) {
        if (!quantise(run.weights, bits, out)) return {};
        out += run.weights.size();
    }
    return fixed;
}

}  // namespace detail

// Tables for resizing one axis from `in` to `out` elements.  frac_bits is the
// largest count <= 22 at which every fixed-point weight fits in int16; the
// 8-bit pass keeps its sums in int32, which 22 bits leave room for.
inline AxisTaps make_axis_taps(long in, long out, Filter filter) {
    if (in <= 0 || out <= 0) throw std::invalid_argument("zvt::resize: sizes must be positive");
    AxisTaps taps;
    taps.in_size = in;
    taps.out_size = out;
    std::vector<detail::Run> runs;
    for (long i = 0; i < out; ++i) {
        runs.push_back(detail::weight_run(in, out, i, filter));
        const detail::Run& run = runs.back();
        taps.first.push_back(run.first);
        taps.count.push_back(static_cast<int64_t>(run.weights.size()));
        taps.offset.push_back(static_cast<int64_t>(taps.weights.size()));
        for (double w : run.weights) taps.weights.push_back(static_cast<float>(w));
    }
    for (unsigned bits = 22; bits > 0; --bits) {
        taps.fixed = detail::quantise_all(runs, taps.weights.size(), bits);
        if (!taps.fixed.empty()) {
            taps.frac_bits = bits;
            return taps;
        }
    }
    throw std::overflow_error("zvt::resize: weights too large for 16 bits");  // normalised weights stay near 1
}


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
    long band_lines = 0;   // output lines per band of the fused passes; 0: the planner's choice
};

// A rectangle of pixels: left column, top line, width and height.
struct Window {
    long x = 0, y = 0, width = 0, height = 0;
};

inline bool operator==(const Window& a, const Window& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

namespace detail {

// The seven operand slots of zvt_interpolate and their byte steps.
struct Operands {
    char* data[7] = {};
    long strides[7] = {};
};

template <class T>
char* bytes(const T* p) {
    return const_cast<char*>(reinterpret_cast<const char*>(p));
}

// Tap offset of calls whose source pointer already is the first tap.
inline constexpr int64_t no_offset = 0;

template <class T>
using Weight = std::conditional_t<std::is_same_v<T, float>, float, int16_t>;

template <class T>
const std::vector<Weight<T>>& weights_of(const AxisTaps& taps) {
    if constexpr (std::is_same_v<T, float>)
        return taps.weights;
    else
        return taps.fixed;
}

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
    // the three channels (fitted to its own timings, 11 to 96 taps).  NEON has
    // no pixels path: its long 8-bit runs of their own go one element at a
    // time, about four times the instructions of the pixels path's share
    // (make insn-count, the photo's horizontal pass).
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
    if (mapping == Mapping::per_row)
        return CostModel::own_factor(floats) * elements * CostModel::own_ns(taps, floats, channels == 3) +
               static_cast<double>(lines) * CostModel::kCallNs;
    // Per phase: a call per phase and channel and block of lines.  A call runs
    // on from line to line only over whole lines of whole periods (so never
    // with one period per line, where the phases are the columns, nor in a
    // window of the output): otherwise every line has its own calls.
    const long periods = std::gcd(x.in_size, x.out_size);
    const long period = x.out_size / periods;
    const long step = x.in_size / periods;
    const Span span = source_span(x, first, count);
    const bool continues = periods > 1 && whole_periods(count, span.hi - span.lo, period, step);
    const bool far = step * channels * element >= 32;
    const double blocks =
        continues ? std::ceil(static_cast<double>(lines) /
                              static_cast<double>(phase_block_lines(span.hi - span.lo, channels, element)))
                  : static_cast<double>(lines);
    const double calls = static_cast<double>(std::min(period, count) * channels) * blocks;
    return CostModel::shared_factor(floats) * elements * CostModel::shared_ns(taps, channels == 1, far) +
           calls * CostModel::kCallNs;
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
    const double horizontal_first = horizontal(y.in_size) + vertical_ns(y, x.out_size, channels, element);
    const double vertical_first = vertical_ns(y, x.in_size, channels, element) + horizontal(y.out_size);
    return vertical_first < horizontal_first ? Order::vertical_first : Order::horizontal_first;
}

}  // namespace detail

// One resampling pass over one axis of a 3-channel image.  Images are lines of
// elements with a pitch (elements from one line to the next); a planar image
// is its three planes' lines one after the other.  The pass computes the
// outputs [out_first, out_first + out_count) of its axis from the inputs they
// read, numbered from the first of them (in_first()).
template <class T>
class AxisPass {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, unsigned char>,
                  "zvt::resize works on float and unsigned char images");

public:
    // `across` is the size of the axis the pass leaves alone; out_count < 0: to the end of the axis.
    AxisPass(const AxisTaps& taps, Axis axis, Layout layout, long across, Mapping mapping = Mapping::per_phase,
             long out_first = 0, long out_count = -1)
        : axis_(axis),
          mapping_(mapping == Mapping::automatic ? Mapping::per_phase : mapping),
          channels_(layout == Layout::interleaved ? 3 : 1),
          planes_(layout == Layout::interleaved ? 1 : 3),
          out_(out_count < 0 ? taps.out_size - out_first : out_count),
          across_(across),
          frac_bits_(taps.frac_bits),
          weights_(detail::weights_of<T>(taps)) {
        if (across <= 0 || out_first < 0 || out_ <= 0 || out_first + out_ > taps.out_size)
            throw std::invalid_argument("zvt::resize: sizes must be positive and the window inside the output");
        const detail::Span span = detail::source_span(taps, out_first, out_);
        in_first_ = span.lo;
        in_ = span.hi - span.lo;
        if (axis == Axis::vertical) {
            build_line_steps(taps, out_first);
        } else {
            build_line_tables(taps, out_first);
            if (mapping_ == Mapping::per_phase) build_phases(taps, out_first);
        }
    }

    Axis axis() const { return axis_; }
    Mapping mapping() const { return mapping_; }
    long in_first() const { return in_first_; }
    long in_width() const { return axis_ == Axis::horizontal ? in_ : across_; }
    long in_height() const { return axis_ == Axis::horizontal ? across_ : in_; }
    long out_width() const { return axis_ == Axis::horizontal ? out_ : across_; }
    long out_height() const { return axis_ == Axis::horizontal ? across_ : out_; }
    long in_pitch() const { return in_width() * channels_; }    // of a contiguous input
    long out_pitch() const { return out_width() * channels_; }  // of a contiguous output
    long out_elements() const { return out_pitch() * out_height() * planes_; }

    // Reads the in_width x in_height image at src, writes the out_width x
    // out_height one at dst.  Pitches count elements of T.
    int run(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        if (src == nullptr || dst == nullptr) return result_null_argument;
        if (axis_ == Axis::horizontal) return run_lines(src, src_pitch, dst, dst_pitch, across_ * planes_);
        for (long plane = 0; plane < planes_; ++plane)
            if (int rc = run_rows(src + plane * in_ * src_pitch, src_pitch, 0, dst + plane * out_ * dst_pitch,
                                  dst_pitch, 0, out_))
                return rc;
        return result_ok;
    }

    int run(const T* src, T* dst) const { return run(src, in_pitch(), dst, out_pitch()); }

    // Horizontal: `lines` consecutive lines from src to dst.
    int run_lines(const T* src, long src_pitch, T* dst, long dst_pitch, long lines) const {
        if (mapping_ == Mapping::per_row) return run_rows_per_element(src, src_pitch, dst, dst_pitch, lines);
        if (mapping_ == Mapping::per_column) return run_columns(src, src_pitch, dst, dst_pitch, 0, out_, lines);
        return run_phases(src, src_pitch, dst, dst_pitch, lines);
    }

    // Vertical, one plane: output lines [y0, y1) into dst (its line 0 is
    // output line y0); src holds the input lines from `src_line` on.
    int run_rows(const T* src, long src_pitch, long src_line, T* dst, long dst_pitch, long y0, long y1) const {
        const int64_t tap_stride = src_pitch * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(&detail::no_offset);
        op.strides[0] = op.strides[1] = element;
        for (long y = y0; y < y1; ++y) {
            op.data[0] = detail::bytes(dst + (y - y0) * dst_pitch);
            op.data[1] = detail::bytes(src + (first_line_[y] - src_line) * src_pitch);
            op.data[3] = detail::bytes(&tap_count_[y]);
            op.data[6] = detail::bytes(&weight_offset_[y]);
            if (int rc = call(op, across_ * channels_, false)) return rc;
        }
        return result_ok;
    }

    // Vertical: the input lines [lo, hi) that output lines [y0, y1) read.
    detail::Span lines_read(long y0, long y1) const {
        detail::Span s{in_, 0};
        for (long y = y0; y < y1; ++y) {
            s.lo = std::min<long>(s.lo, first_line_[y]);
            s.hi = std::max<long>(s.hi, first_line_[y] + tap_count_[y]);
        }
        return s;
    }

    // Per phase: the outputs of a line that one phase's call computes.
    long phase_outputs_per_line() const { return std::max(1L, period_ > 0 ? out_ / period_ : out_); }

    // Multiply-adds per output element on average (the taps of one output).
    double taps_per_output() const { return static_cast<double>(weights_.size()) / static_cast<double>(out_); }

private:
    static constexpr long element = sizeof(T);

    // The streak of output pixels x, x + period, ... (count of them) of one phase
    // that repeat each other's taps.
    struct Phase {
        long x;
        long count;
    };

    // Horizontal: per output element of a line (pixel and channel), the byte
    // offset of its first tap from the line start, its tap count and weights.
    void build_line_tables(const AxisTaps& taps, long out_first) {
        for (long x = out_first; x < out_first + out_; ++x)
            for (long c = 0; c < channels_; ++c) {
                tap_min_.push_back(((taps.first[x] - in_first_) * channels_ + c) * element);
                tap_count_.push_back(taps.count[x]);
                weight_offset_.push_back(taps.offset[x] * long{sizeof(detail::Weight<T>)});
            }
    }

    // Vertical: per output line, the index of its first input line.
    void build_line_steps(const AxisTaps& taps, long out_first) {
        for (long y = out_first; y < out_first + out_; ++y) {
            first_line_.push_back(taps.first[y] - in_first_);
            tap_count_.push_back(taps.count[y]);
            weight_offset_.push_back(taps.offset[y] * long{sizeof(detail::Weight<T>)});
        }
    }

    // Per phase the longest streak of repeating taps; the pixels outside the
    // streaks (cut windows at the borders) become border columns.
    void build_phases(const AxisTaps& taps, long out_first) {
        const long periods = std::gcd(taps.in_size, taps.out_size);  // of the whole axis
        period_ = taps.out_size / periods;
        step_ = taps.in_size / periods;
        for (long phase = 0; phase < std::min(period_, out_); ++phase) {
            Phase best{phase, 1};
            for (long x = phase + period_, start = phase; x < out_; x += period_) {
                if (!detail::repeats(taps, out_first + x - period_, period_, step_)) start = x;
                if ((x - start) / period_ + 1 > best.count) best = {start, (x - start) / period_ + 1};
            }
            phases_.push_back(best);
            for (long x = phase; x < out_; x += period_)
                if (x < best.x || x >= best.x + best.count * period_) border_.push_back(x);
        }
    }

    int call(detail::Operands& op, long n, bool per_element) const {
        return zvt_interpolate<T>(op.data, op.strides, n, frac_bits_, per_element);
    }

    // Slots every call shares: the tap stride (read through the pointer, so it
    // must outlive the calls) and the weights.
    detail::Operands base(const int64_t* tap_stride) const {
        detail::Operands op;
        op.data[4] = detail::bytes(tap_stride);
        op.data[5] = detail::bytes(weights_.data());
        return op;
    }

    // One call per line; element e of the line has its own taps.
    int run_rows_per_element(const T* src, long src_pitch, T* dst, long dst_pitch, long lines) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(tap_min_.data());
        op.data[3] = detail::bytes(tap_count_.data());
        op.data[6] = detail::bytes(weight_offset_.data());
        op.strides[0] = element;
        op.strides[2] = op.strides[3] = op.strides[6] = sizeof(int64_t);
        for (long line = 0; line < lines; ++line) {
            op.data[0] = detail::bytes(dst + line * dst_pitch);
            op.data[1] = detail::bytes(src + line * src_pitch);
            if (int rc = call(op, out_ * channels_, true)) return rc;
        }
        return result_ok;
    }

    // Output element e of `lines` lines (pixel and channel) in one call of shared taps.
    int run_column(const T* src, long src_pitch, T* dst, long dst_pitch, long e, long lines) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[0] = detail::bytes(dst + e);
        op.data[1] = detail::bytes(src);
        op.data[2] = detail::bytes(&tap_min_[e]);
        op.data[3] = detail::bytes(&tap_count_[e]);
        op.data[6] = detail::bytes(&weight_offset_[e]);
        op.strides[0] = dst_pitch * element;
        op.strides[1] = src_pitch * element;
        return call(op, lines, false);
    }

    // Output pixels [x0, x1), every channel, one call each.
    int run_columns(const T* src, long src_pitch, T* dst, long dst_pitch, long x0, long x1, long lines) const {
        for (long e = x0 * channels_; e < x1 * channels_; ++e)
            if (int rc = run_column(src, src_pitch, dst, dst_pitch, e, lines)) return rc;
        return result_ok;
    }

    int run_phases(const T* src, long src_pitch, T* dst, long dst_pitch, long lines) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(&detail::no_offset);
        op.strides[0] = period_ * channels_ * element;
        op.strides[1] = step_ * channels_ * element;
        // Lines that lie back to back, each a whole number of periods, continue
        // each other's grid, so a phase runs through a block of lines in one
        // call: the elements it writes outside its streak read within the
        // lines and are border columns, rewritten below.
        const long per_line = phase_outputs_per_line();
        const bool back_to_back = detail::whole_periods(out_, in_, period_, step_) &&
                                  src_pitch == per_line * step_ * channels_ && dst_pitch == out_ * channels_;
        const long block = back_to_back ? block_lines() : 1;
        for (long first = 0; first < lines; first += block) {
            const long count = std::min(block, lines - first);
            for (const Phase& phase : phases_)
                for (long e = phase.x * channels_; e < (phase.x + 1) * channels_; ++e) {
                    op.data[0] = detail::bytes(dst + first * dst_pitch + e);
                    op.data[1] = detail::bytes(src + first * src_pitch) + tap_min_[e];
                    op.data[3] = detail::bytes(&tap_count_[e]);
                    op.data[6] = detail::bytes(&weight_offset_[e]);
                    if (int rc = call(op, (count - 1) * per_line + phase.count, false)) return rc;
                }
        }
        for (long x : border_)
            if (int rc = run_columns(src, src_pitch, dst, dst_pitch, x, x + 1, lines)) return rc;
        return result_ok;
    }

    long block_lines() const { return detail::phase_block_lines(in_, channels_, element); }

    Axis axis_;
    Mapping mapping_;
    long channels_;  // elements per pixel in a line
    long planes_;
    long in_first_ = 0;
    long in_ = 0;
    long out_;
    long across_;
    unsigned frac_bits_;
    std::vector<detail::Weight<T>> weights_;
    std::vector<int64_t> tap_min_;  // horizontal
    std::vector<int64_t> tap_count_;
    std::vector<int64_t> weight_offset_;
    std::vector<int64_t> first_line_;  // vertical
    long period_ = 0;                  // per_phase: output pixels per period
    long step_ = 0;                    // per_phase: input pixels per period
    std::vector<Phase> phases_;
    std::vector<long> border_;
};

namespace detail {

// Threads that run one job together: job(t) for t = 0 .. size() - 1, t = 0 on
// the calling thread.  Between runs the other threads wait, first spinning
// for a moment (a resize called frame after frame hands them the next job
// without the scheduler's delay), then asleep.
class Team {
public:
    explicit Team(int threads) {
        for (int t = 1; t < threads; ++t) workers_.emplace_back([this, t] { serve(t); });
    }

    ~Team() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            generation_.fetch_add(1);
        }
        start_.notify_all();
        for (std::thread& w : workers_) w.join();
    }

    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    void run(const std::function<void(int)>& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            pending_.store(size() - 1);
            generation_.fetch_add(1);
        }
        start_.notify_all();
        job(0);
        if (!spin_until([this] { return pending_.load() == 0; })) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return pending_.load() == 0; });
        }
    }

private:
    // True when ready() held within the spin; false: the caller blocks.
    template <class Ready>
    static bool spin_until(Ready ready) {
        for (int k = 0; k < kSpins; ++k) {
            if (ready()) return true;
            if (k % 64 == 63) std::this_thread::yield();
        }
        return ready();
    }

    void serve(int t) {
        long seen = 0;
        for (;;) {
            if (!spin_until([&] { return generation_.load() != seen; })) {
                std::unique_lock<std::mutex> lock(mutex_);
                start_.wait(lock, [&] { return generation_.load() != seen; });
            }
            const std::function<void(int)>* job;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
                seen = generation_.load();
                job = job_;
            }
            (*job)(t);
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.fetch_sub(1) == 1) done_.notify_one();
        }
    }

    static constexpr int kSpins = 1 << 14;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    const std::function<void(int)>* job_ = nullptr;
    std::atomic<long> generation_{0};
    std::atomic<int> pending_{0};
    bool stop_ = false;
};

// Bytes of intermediate image a band keeps: it stays in the second-level
// cache between its two passes.
inline constexpr long kBandBytes = 256L << 10;

// A per-phase second pass makes a call per phase and channel and band: its
// bands are made tall enough for calls of this many elements, as long as
// their intermediate stays within kPhaseBandBytes (the third-level cache
// holds it).  On the photo shape's float resize (4928x3279 to 852x567) this
// takes the band from 13 to 128 lines and the resize from 15.8 to 13.9 ms.
inline constexpr long kPhaseCallElements = 512;
inline constexpr long kPhaseBandBytes = 4L << 20;

}  // namespace detail

// Resize of a 3-channel image, planned once per geometry and run per frame.
// An axis whose size stays gets no pass (its weights would be the identity);
// with neither pass, run() copies.  With two passes the Resizer runs them in
// bands of output lines: the first pass writes a band of the intermediate
// image into a buffer of the Resizer, small enough to stay in the cache, and
// the second pass reads it from there.
//
// A Resizer may compute a window of the output only: its elements are
// bit-identical to those of the whole resize, and it reads only the source
// window that those outputs depend on (source_window()), which run() takes
// as its input.  This lets a decoder decode no more than that window.
//
// run() uses Plan::threads threads, each for its own band of output lines with
// its own buffers and calls; the result is the same for every thread count.
// One Resizer serves one calling thread at a time.
template <class T>
class Resizer {
public:
    Resizer(long in_w, long in_h, long out_w, long out_h, Layout layout, Filter filter, Plan plan = {})
        : Resizer(in_w, in_h, out_w, out_h, Window{0, 0, out_w, out_h}, layout, filter, plan) {}

    // Only the window of the out_w x out_h output; throws std::invalid_argument
    // unless the window is non-empty and inside the output.
    Resizer(long in_w, long in_h, long out_w, long out_h, Window window, Layout layout, Filter filter, Plan plan = {})
        : channels_(layout == Layout::interleaved ? 3 : 1), planes_(layout == Layout::interleaved ? 1 : 3),
          window_(window) {
        const AxisTaps x = make_axis_taps(in_w, out_w, filter);
        const AxisTaps y = make_axis_taps(in_h, out_h, filter);
        if (window.width <= 0 || window.height <= 0 || window.x < 0 || window.y < 0 ||
            window.x + window.width > out_w || window.y + window.height > out_h)
            throw std::invalid_argument("zvt::resize: the window must be non-empty and inside the output");
        const bool scale_x = in_w != out_w;
        const bool scale_y = in_h != out_h;
        // An axis without a pass reads its window's own lines or columns.
        const detail::Span xs = scale_x ? detail::source_span(x, window.x, window.width)
                                        : detail::Span{window.x, window.x + window.width};
        const detail::Span ys = scale_y ? detail::source_span(y, window.y, window.height)
                                        : detail::Span{window.y, window.y + window.height};
        source_ = {xs.lo, ys.lo, xs.hi - xs.lo, ys.hi - ys.lo};
        const bool clamped = std::is_same_v<T, unsigned char> && filter == Filter::bicubic;
        const long element = sizeof(T);
        order_ = scale_x && scale_y ? detail::choose_order(plan.order, clamped, x, y, channels_, element)
                                    : Order::horizontal_first;
        const bool h_first = order_ == Order::horizontal_first;
        const Mapping mapping = detail::choose_mapping(plan.horizontal, x, window.x, window.width,
                                                       h_first ? source_.height : window.height,
                                                       channels_, element);
        // The horizontal pass runs over the source lines (first) or the
        // window's lines (second); the vertical one over the source columns
        // (first) or the window's columns (second).
        if (scale_x)
            passes_.emplace_back(x, Axis::horizontal, layout, h_first || !scale_y ? source_.height : window.height,
                                 mapping, window.x, window.width);
        if (scale_y)
            passes_.emplace_back(y, Axis::vertical, layout, h_first && scale_x ? window.width : source_.width,
                                 mapping, window.y, window.height);
        if (passes_.size() == 2 && !h_first) std::swap(passes_[0], passes_[1]);
        if (passes_.size() == 2) band_lines_ = plan.band_lines > 0 ? plan.band_lines : choose_band_lines();
        const int threads = std::max(1, std::min<int>(plan.threads, static_cast<int>(window.height)));
        buffers_.resize(static_cast<size_t>(threads));
        if (threads > 1) team_ = std::make_unique<detail::Team>(threads);
    }

    // The source rectangle run() reads, in pixels of the whole source.
    Window source_window() const { return source_; }
    // The output rectangle run() writes, in pixels of the whole output.
    Window output_window() const { return window_; }

    Order order() const { return order_; }
    long band_lines() const { return band_lines_; }
    int threads() const { return static_cast<int>(buffers_.size()); }

    // src: the source window's top-left pixel; dst: the output window's.
    // Pitches count elements of T from one line to the next; the planes of a
    // planar image are their window's height lines apart.
    int run(const T* src, long src_pitch, T* dst, long dst_pitch) {
        if (src == nullptr || dst == nullptr) return result_null_argument;
        const long lines = window_.height;
        if (team_ == nullptr) return run_lines(0, src, src_pitch, dst, dst_pitch, 0, lines);
        const long threads = team_->size();
        std::vector<int> rc(static_cast<size_t>(threads));
        team_->run([&](int t) {
            rc[t] = run_lines(t, src, src_pitch, dst, dst_pitch, lines * t / threads, lines * (t + 1) / threads);
        });
        for (long t = 0; t < threads; ++t)
            if (rc[t] != result_ok) return rc[t];
        return result_ok;
    }

    int run(const T* src, T* dst) { return run(src, source_.width * channels_, dst, window_.width * channels_); }

    // The passes in the order run() takes them, to time or run one alone;
    // each runs over the whole image (AxisPass::run).
    const std::vector<AxisPass<T>>& passes() const { return passes_; }

private:
    // Output lines [y0, y1) of the window, on thread t.
    int run_lines(int t, const T* src, long src_pitch, T* dst, long dst_pitch, long y0, long y1) {
        if (y0 >= y1) return result_ok;
        for (long plane = 0; plane < planes_; ++plane) {
            const T* s = src + plane * source_.height * src_pitch;
            T* d = dst + plane * window_.height * dst_pitch;
            if (int rc = run_plane(buffers_[static_cast<size_t>(t)], s, src_pitch, d + y0 * dst_pitch, dst_pitch, y0, y1))
                return rc;
        }
        return result_ok;
    }

    // Output lines [y0, y1) of one plane (or of the interleaved image) into dst.
    int run_plane(std::vector<T>& buffer, const T* src, long src_pitch, T* dst, long dst_pitch, long y0, long y1) {
        const long width = window_.width * channels_;
        if (passes_.empty()) {
            for (long y = y0; y < y1; ++y)
                std::memcpy(dst + (y - y0) * dst_pitch, src + y * src_pitch, sizeof(T) * width);
            return result_ok;
        }
        if (passes_.size() == 1) {
            const AxisPass<T>& pass = passes_[0];
            if (pass.axis() == Axis::horizontal) return pass.run_lines(src + y0 * src_pitch, src_pitch, dst, dst_pitch, y1 - y0);
            return pass.run_rows(src, src_pitch, 0, dst, dst_pitch, y0, y1);
        }
        return order_ == Order::vertical_first ? vertical_first(buffer, src, src_pitch, dst, dst_pitch, y0, y1)
                                               : horizontal_first(buffer, src, src_pitch, dst, dst_pitch, y0, y1);
    }

    // Per band: the vertical pass into the buffer, the horizontal pass out of it.
    int vertical_first(std::vector<T>& buffer, const T* src, long src_pitch, T* dst, long dst_pitch, long y0,
                       long y1) {
        const AxisPass<T>& vertical = passes_[0];
        const AxisPass<T>& horizontal = passes_[1];
        const long pitch = source_.width * channels_;
        buffer.resize(static_cast<size_t>(band_lines_ * pitch));
        for (long y = y0; y < y1; y += band_lines_) {
            const long end = std::min(y1, y + band_lines_);
            if (int rc = vertical.run_rows(src, src_pitch, 0, buffer.data(), pitch, y, end)) return rc;
            if (int rc = horizontal.run_lines(buffer.data(), pitch, dst + (y - y0) * dst_pitch, dst_pitch, end - y))
                return rc;
        }
        return result_ok;
    }

    // Per band: the horizontal pass of the source lines the band reads that
    // the buffer does not hold yet, then the vertical pass out of the buffer.
    // Lines that the next band reads again move to the buffer's front.
    int horizontal_first(std::vector<T>& buffer, const T* src, long src_pitch, T* dst, long dst_pitch, long y0,
                         long y1) {
        const AxisPass<T>& horizontal = passes_[0];
        const AxisPass<T>& vertical = passes_[1];
        const long pitch = window_.width * channels_;
        long held_lo = 0, held_hi = 0;  // source lines in the buffer
        for (long y = y0; y < y1; y += band_lines_) {
            const long end = std::min(y1, y + band_lines_);
            const detail::Span need = vertical.lines_read(y, end);
            if (buffer.size() < static_cast<size_t>((need.hi - need.lo) * pitch))
                buffer.resize(static_cast<size_t>((need.hi - need.lo) * pitch));
            long from = need.lo;
            if (need.lo >= held_lo && need.lo < held_hi) {
                std::memmove(buffer.data(), buffer.data() + (need.lo - held_lo) * pitch,
                             sizeof(T) * (held_hi - need.lo) * pitch);
                from = held_hi;
            }
            if (from < need.hi) {
                if (int rc = horizontal.run_lines(src + from * src_pitch, src_pitch, buffer.data() + (from - need.lo) * pitch,
                                                  pitch, need.hi - from))
                    return rc;
            }
            held_lo = need.lo, held_hi = std::max(need.hi, from);
            if (int rc = vertical.run_rows(buffer.data(), pitch, need.lo, dst + (y - y0) * dst_pitch, dst_pitch, y, end))
                return rc;
        }
        return result_ok;
    }

    // Output lines per band: the most whose intermediate lines fit kBandBytes
    // (vertical first: more where a per-phase second pass needs them).
    long choose_band_lines() const {
        const AxisPass<T>& second = passes_[1];
        const long line_bytes = second.in_pitch() * static_cast<long>(sizeof(T));
        const long budget = std::max(1L, detail::kBandBytes / line_bytes);
        if (order_ == Order::vertical_first) {
            long lines = budget;
            if (second.mapping() == Mapping::per_phase) {
                const long for_calls = detail::kPhaseCallElements / second.phase_outputs_per_line();
                lines = std::max(lines, std::min(for_calls, detail::kPhaseBandBytes / line_bytes));
            }
            return std::min(lines, window_.height);
        }
        // Horizontal first: a band of b output lines reads about b * in / out
        // lines plus the filter's window.
        const AxisPass<T>& vertical = passes_[1];
        long lines = 1;
        while (lines < window_.height) {
            const long next = std::min(window_.height, 2 * lines);
            const detail::Span s = vertical.lines_read(0, next);
            if (s.hi - s.lo > budget) break;
            lines = next;
        }
        return lines;
    }

    long channels_;
    long planes_;
    Window window_;
    Window source_;
    Order order_ = Order::horizontal_first;
    long band_lines_ = 0;
    std::vector<AxisPass<T>> passes_;
    std::vector<std::vector<T>> buffers_;  // per thread: its band of the intermediate image
    std::unique_ptr<detail::Team> team_;
};

// One-shot resize of contiguous images; plans, runs and frees on every call.
template <class T>
int resize(const T* src, long in_w, long in_h, T* dst, long out_w, long out_h, Layout layout, Filter filter) {
    return Resizer<T>(in_w, in_h, out_w, out_h, layout, filter).run(src, dst);
}

}  // namespace resize
}  // namespace zvt

#endif  // ZV_PT_RESIZE_HPP
