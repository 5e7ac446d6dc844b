// Antialiased bilinear and bicubic resizing of 3-channel images, planned on top
// of libzv_pt's resampling pass (zvt::zvt_interpolate).
//
// Header-only: the tap tables and the intermediate image live in std::vector
// here, so the library itself still allocates nothing.
//
//   zvt::resize::Resizer<float> r(1920, 1080, 224, 224, zvt::resize::Layout::planar,
//                                 zvt::resize::Filter::bicubic);
//   int rc = r.run(src, dst);  // per frame; 0 on success
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
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <stdexcept>
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

struct Plan {
    Order order = Order::automatic;
    Mapping horizontal = Mapping::automatic;
};

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

inline Mapping choose_mapping(Mapping requested) {
    return requested == Mapping::automatic ? Mapping::per_phase : requested;
}

}  // namespace detail

// One resampling pass over one axis of a 3-channel image.  Images are lines of
// elements with a pitch (elements from one line to the next); a planar image
// is its three planes' lines one after the other.
template <class T>
class AxisPass {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, unsigned char>,
                  "zvt::resize works on float and unsigned char images");

public:
    // `across` is the size of the axis the pass leaves alone.
    AxisPass(const AxisTaps& taps, Axis axis, Layout layout, long across, Mapping mapping = Mapping::automatic)
        : axis_(axis),
          mapping_(detail::choose_mapping(mapping)),
          channels_(layout == Layout::interleaved ? 3 : 1),
          planes_(layout == Layout::interleaved ? 1 : 3),
          in_(taps.in_size),
          out_(taps.out_size),
          across_(across),
          frac_bits_(taps.frac_bits),
          weights_(detail::weights_of<T>(taps)) {
        if (across <= 0) throw std::invalid_argument("zvt::resize: sizes must be positive");
        if (axis == Axis::vertical) {
            build_line_steps(taps);
        } else {
            build_line_tables(taps);
            if (mapping_ == Mapping::per_phase) build_phases(taps);
        }
    }

    Axis axis() const { return axis_; }
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
        if (axis_ == Axis::vertical) return run_vertical(src, src_pitch, dst, dst_pitch);
        if (mapping_ == Mapping::per_row) return run_rows(src, src_pitch, dst, dst_pitch);
        if (mapping_ == Mapping::per_column) return run_columns(src, src_pitch, dst, dst_pitch);
        return run_phases(src, src_pitch, dst, dst_pitch);
    }

    int run(const T* src, T* dst) const { return run(src, in_pitch(), dst, out_pitch()); }

private:
    static constexpr long element = sizeof(T);
    static constexpr long entry = sizeof(int64_t);

    // The streak of output pixels x, x + period, ... (count of them) of one phase
    // that repeat each other's taps.
    struct Phase {
        long x;
        long count;
    };

    // Horizontal: per output element of a line (pixel and channel), the byte
    // offset of its first tap from the line start, its tap count and weights.
    void build_line_tables(const AxisTaps& taps) {
        for (long x = 0; x < out_; ++x)
            for (long c = 0; c < channels_; ++c) {
                tap_min_.push_back((taps.first[x] * channels_ + c) * element);
                tap_count_.push_back(taps.count[x]);
                weight_offset_.push_back(taps.offset[x] * long{sizeof(detail::Weight<T>)});
            }
    }

    // Vertical: per output line, the index of its first input line.
    void build_line_steps(const AxisTaps& taps) {
        first_line_ = taps.first;
        tap_count_ = taps.count;
        for (int64_t offset : taps.offset) weight_offset_.push_back(offset * long{sizeof(detail::Weight<T>)});
    }

    // Per phase the longest streak of repeating taps; the pixels outside the
    // streaks (cut windows at the borders) become border columns.
    void build_phases(const AxisTaps& taps) {
        const long periods = std::gcd(in_, out_);  // per line
        period_ = out_ / periods;
        step_ = in_ / periods;
        for (long phase = 0; phase < period_; ++phase) {
            Phase best{phase, 1};
            for (long k = 1, start = 0; k < periods; ++k) {
                if (!detail::repeats(taps, phase + (k - 1) * period_, period_, step_)) start = k;
                if (k - start + 1 > best.count) best = {phase + start * period_, k - start + 1};
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

    long lines() const { return across_ * planes_; }

    // One call per line; element e of the line has its own taps.
    int run_rows(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(tap_min_.data());
        op.data[3] = detail::bytes(tap_count_.data());
        op.data[6] = detail::bytes(weight_offset_.data());
        op.strides[0] = element;
        op.strides[2] = op.strides[3] = op.strides[6] = entry;
        for (long line = 0; line < lines(); ++line) {
            op.data[0] = detail::bytes(dst + line * dst_pitch);
            op.data[1] = detail::bytes(src + line * src_pitch);
            if (int rc = call(op, out_ * channels_, true)) return rc;
        }
        return result_ok;
    }

    // Output element e of every line (pixel and channel) in one call of shared taps.
    int run_column(const T* src, long src_pitch, T* dst, long dst_pitch, long e) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[0] = detail::bytes(dst + e);
        op.data[1] = detail::bytes(src);
        op.data[2] = detail::bytes(&tap_min_[e]);
        op.data[3] = detail::bytes(&tap_count_[e]);
        op.data[6] = detail::bytes(&weight_offset_[e]);
        op.strides[0] = dst_pitch * element;
        op.strides[1] = src_pitch * element;
        return call(op, lines(), false);
    }

    int run_columns(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        for (long e = 0; e < out_ * channels_; ++e)
            if (int rc = run_column(src, src_pitch, dst, dst_pitch, e)) return rc;
        return result_ok;
    }

    int run_phases(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(&detail::no_offset);
        op.strides[0] = period_ * channels_ * element;
        op.strides[1] = step_ * channels_ * element;
        // Back-to-back lines continue each other's grid, so a phase runs through
        // a block of lines in one call: the elements it writes outside its
        // streak read within the image and are border columns, rewritten below.
        const long per_line = out_ / period_;
        const bool back_to_back = src_pitch == in_ * channels_ && dst_pitch == out_ * channels_;
        const long block = back_to_back ? block_lines() : 1;
        for (long first = 0; first < lines(); first += block) {
            const long count = std::min(block, lines() - first);
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
            for (long e = x * channels_; e < (x + 1) * channels_; ++e)
                if (int rc = run_column(src, src_pitch, dst, dst_pitch, e)) return rc;
        return result_ok;
    }

    // Lines per block of run_phases: about 256 KiB of source, which stays in
    // the second-level cache while every phase and channel passes over it.
    long block_lines() const { return std::max(1L, (256L << 10) / (in_ * channels_ * element)); }

    // One call per output line of each plane, contiguous elements; the taps
    // are whole lines apart.
    int run_vertical(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        const int64_t tap_stride = src_pitch * element;
        detail::Operands op = base(&tap_stride);
        op.data[2] = detail::bytes(&detail::no_offset);
        op.strides[0] = op.strides[1] = element;
        for (long plane = 0; plane < planes_; ++plane)
            for (long y = 0; y < out_; ++y) {
                op.data[0] = detail::bytes(dst + (plane * out_ + y) * dst_pitch);
                op.data[1] = detail::bytes(src + (plane * in_ + first_line_[y]) * src_pitch);
                op.data[3] = detail::bytes(&tap_count_[y]);
                op.data[6] = detail::bytes(&weight_offset_[y]);
                if (int rc = call(op, across_ * channels_, false)) return rc;
            }
        return result_ok;
    }

    Axis axis_;
    Mapping mapping_;
    long channels_;  // elements per pixel in a line
    long planes_;
    long in_;
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

// 8-bit bicubic results are clamped to 0..255 between the passes, overshoot
// included, so there the order shows in the result: horizontal first, as the
// common 8-bit implementations do.  Otherwise the order with the least work,
// counting a horizontal tap (gathered loads) as two vertical ones (contiguous
// loads), about what they cost in the vector kernels.
inline Order choose_order(Order requested, bool order_shows, const AxisTaps& x, const AxisTaps& y) {
    if (requested != Order::automatic) return requested;
    if (order_shows) return Order::horizontal_first;
    const double x_taps = 2.0 * static_cast<double>(x.weights.size());  // per line
    const double y_taps = static_cast<double>(y.weights.size());        // per column
    const double horizontal_first = x_taps * y.in_size + y_taps * x.out_size;
    const double vertical_first = y_taps * x.in_size + x_taps * y.out_size;
    return vertical_first < horizontal_first ? Order::vertical_first : Order::horizontal_first;
}

}  // namespace detail

// Resize of a 3-channel image, planned once per geometry and run per frame.
// An axis whose size stays gets no pass (its weights would be the identity);
// with neither pass, run() copies.  Between two passes the image goes through
// an intermediate buffer owned by the Resizer, so one Resizer serves one
// thread at a time.
template <class T>
class Resizer {
public:
    Resizer(long in_w, long in_h, long out_w, long out_h, Layout layout, Filter filter, Plan plan = {})
        : channels_(layout == Layout::interleaved ? 3 : 1), in_w_(in_w), in_h_(in_h), out_w_(out_w) {
        const AxisTaps x = make_axis_taps(in_w, out_w, filter);
        const AxisTaps y = make_axis_taps(in_h, out_h, filter);
        const bool scale_x = in_w != out_w;
        const bool scale_y = in_h != out_h;
        const bool clamped = std::is_same_v<T, unsigned char> && filter == Filter::bicubic;
        const Order order = detail::choose_order(plan.order, clamped, x, y);
        if (order == Order::horizontal_first) {
            if (scale_x) passes_.emplace_back(x, Axis::horizontal, layout, in_h, plan.horizontal);
            if (scale_y) passes_.emplace_back(y, Axis::vertical, layout, out_w, plan.horizontal);
        } else {
            if (scale_y) passes_.emplace_back(y, Axis::vertical, layout, in_w, plan.horizontal);
            if (scale_x) passes_.emplace_back(x, Axis::horizontal, layout, out_h, plan.horizontal);
        }
        if (passes_.size() == 2) intermediate_.resize(static_cast<size_t>(passes_[0].out_elements()));
    }

    // Pitches count elements of T from one line to the next; the planes of a
    // planar image are height lines apart.
    int run(const T* src, long src_pitch, T* dst, long dst_pitch) {
        if (src == nullptr || dst == nullptr) return result_null_argument;
        if (passes_.empty()) return copy(src, src_pitch, dst, dst_pitch);
        if (passes_.size() == 1) return passes_[0].run(src, src_pitch, dst, dst_pitch);
        const long pitch = passes_[0].out_pitch();
        if (int rc = passes_[0].run(src, src_pitch, intermediate_.data(), pitch)) return rc;
        return passes_[1].run(intermediate_.data(), pitch, dst, dst_pitch);
    }

    int run(const T* src, T* dst) { return run(src, in_w_ * channels_, dst, out_w_ * channels_); }

    // The passes in the order run() takes them, to time or run one alone; with
    // two, the first writes intermediate() (contiguous) and the second reads it.
    const std::vector<AxisPass<T>>& passes() const { return passes_; }
    T* intermediate() { return intermediate_.data(); }

private:
    int copy(const T* src, long src_pitch, T* dst, long dst_pitch) const {
        const long lines = channels_ == 3 ? in_h_ : 3 * in_h_;
        for (long line = 0; line < lines; ++line)
            std::memcpy(dst + line * dst_pitch, src + line * src_pitch, sizeof(T) * in_w_ * channels_);
        return result_ok;
    }

    long channels_;
    long in_w_, in_h_, out_w_;
    std::vector<AxisPass<T>> passes_;
    std::vector<T> intermediate_;
};

// One-shot resize of contiguous images; plans, runs and frees on every call.
template <class T>
int resize(const T* src, long in_w, long in_h, T* dst, long out_w, long out_h, Layout layout, Filter filter) {
    return Resizer<T>(in_w, in_h, out_w, out_h, layout, filter).run(src, dst);
}

}  // namespace resize
}  // namespace zvt

#endif  // ZV_PT_RESIZE_HPP
