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
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <numeric>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "zv_pt.h"
#include "resize/plan.hpp"
#include "resize/taps.hpp"
#include "resize/team.hpp"

namespace zvt {
namespace resize {

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

inline constexpr long kCacheLine = 64;  // bytes

// Storage that starts on a cache line: the kernels read the per-element
// tables in vectors, and a vector read across two lines costs two (Zen 4, the
// photo's 8-bit bicubic horizontal pass: 16.2 to 15.0 ms).
template <class T>
struct LineAligned {
    using value_type = T;
    static constexpr std::align_val_t kLine{kCacheLine};
    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kLine)); }
    void deallocate(T* p, size_t) { ::operator delete(p, kLine); }
    template <class U>
    bool operator==(const LineAligned<U>&) const { return true; }
    template <class U>
    bool operator!=(const LineAligned<U>&) const { return false; }
};

template <class T>
using LineVector = std::vector<T, LineAligned<T>>;

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

// Per-row calls take as many contiguous lines as keep their tables (24
// bytes an element) within this, up to kMostStackedLines.
inline constexpr long kStackedTableBytes = 128L << 10;
inline constexpr long kMostStackedLines = 4;

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
            if (mapping_ == Mapping::per_row) build_stacked_lines();
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

    // Per phase: output pixels per period of the sampling grid.
    long period() const { return period_; }
    // Per phase: the outputs of a line that one phase's call computes.
    long phase_outputs_per_line() const { return std::max(1L, period_ > 0 ? out_ / period_ : out_); }

    // Multiply-adds per output element on average (the taps of one output).
    double taps_per_output() const { return static_cast<double>(weights_.size()) / static_cast<double>(out_); }

    // Horizontal: bytes of a line from one output pixel's taps to the next
    // one's, and the bytes of one element's taps, on average.
    double input_bytes_per_output() const {
        return static_cast<double>(in_ * channels_ * element) / static_cast<double>(out_);
    }
    double window_bytes() const { return taps_per_output() * static_cast<double>(channels_ * element); }

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

    // Per row: the line tables of stacked_lines_ contiguous lines (each
    // in_pitch() elements on from the one before) as one call's, where a
    // line's tables are small enough that so many stay in the second-level
    // cache: a call's own costs and those of its last elements then come
    // once for those lines (Zen 4, whole 8-bit resizes, four lines a call:
    // 500x375 to 224x224 bicubic 0.293 to 0.271 ms, bilinear 0.165 to
    // 0.161; 1920x1080 to 224x224 bicubic 1.42 to 1.34).
    void build_stacked_lines() {
        const long entries = static_cast<long>(tap_min_.size());
        stacked_lines_ = std::clamp(detail::kStackedTableBytes / std::max(1L, 24 * entries), 1L, detail::kMostStackedLines);
        if (stacked_lines_ < 2) return;
        const int64_t line_bytes = in_pitch() * element;
        for (long line = 0; line < stacked_lines_; ++line)
            for (long e = 0; e < entries; ++e) {
                stacked_min_.push_back(tap_min_[e] + line * line_bytes);
                stacked_count_.push_back(tap_count_[e]);
                stacked_offset_.push_back(weight_offset_[e]);
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

    // One call per line, or per stacked_lines_ contiguous lines; element e
    // of a line has its own taps.
    int run_rows_per_element(const T* src, long src_pitch, T* dst, long dst_pitch, long lines) const {
        const int64_t tap_stride = channels_ * element;
        detail::Operands op = base(&tap_stride);
        op.strides[0] = element;
        op.strides[2] = op.strides[3] = op.strides[6] = sizeof(int64_t);
        long line = 0;
        if (stacked_lines_ > 1 && src_pitch == in_pitch() && dst_pitch == out_pitch()) {
            op.data[2] = detail::bytes(stacked_min_.data());
            op.data[3] = detail::bytes(stacked_count_.data());
            op.data[6] = detail::bytes(stacked_offset_.data());
            for (; line + stacked_lines_ <= lines; line += stacked_lines_) {
                op.data[0] = detail::bytes(dst + line * dst_pitch);
                op.data[1] = detail::bytes(src + line * src_pitch);
                if (int rc = call(op, stacked_lines_ * out_ * channels_, true)) return rc;
            }
        }
        op.data[2] = detail::bytes(tap_min_.data());
        op.data[3] = detail::bytes(tap_count_.data());
        op.data[6] = detail::bytes(weight_offset_.data());
        for (; line < lines; ++line) {
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
    detail::LineVector<int64_t> tap_min_;  // horizontal
    detail::LineVector<int64_t> tap_count_;
    detail::LineVector<int64_t> weight_offset_;
    long stacked_lines_ = 1;  // per row: lines a call takes (their tables below, where more than one)
    detail::LineVector<int64_t> stacked_min_, stacked_count_, stacked_offset_;
    std::vector<int64_t> first_line_;  // vertical
    long period_ = 0;                  // per_phase: output pixels per period
    long step_ = 0;                    // per_phase: input pixels per period
    std::vector<Phase> phases_;
    std::vector<long> border_;
};

namespace detail {

// Bytes of intermediate image a band keeps: it stays in the second-level
// cache between its two passes.
inline constexpr long kBandBytes = 256L << 10;

// Horizontal first, the vertical pass reads the band's lines as streams,
// which the prefetchers serve from beyond the second-level cache, and every
// band starts the source's stream and the buffer's anew: its bands fill
// three quarters of a 1 MiB cache (Zen 4, against 256 KiB, in one process:
// float 1280x720 to 640x640 and 640x480 to 1280x960 0.92 to 0.96 of the
// time; 8-bit bicubic 3840x2160 to 1920x1080 0.93 to 0.96).
inline constexpr long kHorizontalFirstBandBytes = 768L << 10;

// A per-phase second pass makes a call per phase and channel and band: its
// bands are made tall enough for calls of this many elements, as long as
// their intermediate stays within kPhaseBandBytes (the third-level cache
// holds it).  On the photo shape's float resize (4928x3279 to 852x567) this
// takes the band from 13 to 128 lines and the resize from 15.8 to 13.9 ms.
inline constexpr long kPhaseCallElements = 512;
inline constexpr long kPhaseBandBytes = 4L << 20;

// Neighbouring phases read nearly the same cache lines where four or more
// of them lie within a line: the next phase's call finds them in the
// first-level cache if what one call reads (two cache lines or more an
// element) fits within kPhaseSweepBytes of it.  Where a call takes a few
// outputs a line (kFewPhaseOutputs), each line a step on, the band is kept
// that short (Zen 4, float 500x375 to 224x224, four a line, 131-line bands
// to 48: 0.89 of the time).  Calls of more outputs a line lost as much as
// they gained (640x480 to 416x416, 32 a line, 102-line bands to 6: 1.03
// to 1.04 of the time; 4032x3024 to 1024x768, 64 a line: 0.98 to 0.99), and
// where phases lie further apart, as on the photo or at 1920x1080 to
// 224x224, shorter bands only add calls.
inline constexpr long kPhaseSweepBytes = 24L << 10;
inline constexpr long kFewPhaseOutputs = 8;

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
// run() uses Plan::threads threads, each for its own share of the output
// lines, band by band, with its own buffers and calls (vertical first or
// with one pass, a thread done early goes on with what the others have
// left); the result is the same for every thread count.
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
        band_lines_ = plan.band_lines > 0 ? plan.band_lines
                      : passes_.size() == 2 ? choose_band_lines()
                                            : single_band_lines();
        const int threads = std::max(1, std::min<int>(plan.threads, static_cast<int>(window.height)));
        buffers_.resize(static_cast<size_t>(threads));
        shares_ = std::make_unique<detail::Share[]>(static_cast<size_t>(threads));
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
        const int threads = this->threads();
        const long lines = planes_ * window_.height;
        for (int t = 0; t < threads; ++t) {
            shares_[static_cast<size_t>(t)].lo = lines * t / threads;
            shares_[static_cast<size_t>(t)].hi = lines * (t + 1) / threads;
        }
        const Io io{src, src_pitch, dst, dst_pitch};
        if (team_ == nullptr) return run_shares(0, io);
        std::vector<int> rc(static_cast<size_t>(threads));
        team_->run([&](int t) { rc[static_cast<size_t>(t)] = run_shares(t, io); });
        for (int code : rc)
            if (code != result_ok) return code;
        return result_ok;
    }

    int run(const T* src, T* dst) { return run(src, source_.width * channels_, dst, window_.width * channels_); }

    // The passes in the order run() takes them, to time or run one alone;
    // each runs over the whole image (AxisPass::run).
    const std::vector<AxisPass<T>>& passes() const { return passes_; }

private:
    struct Io {
        const T* src;
        long src_pitch;
        T* dst;
        long dst_pitch;
    };

    // The source lines of one plane whose horizontal pass a thread's buffer
    // holds (horizontal first).
    struct Held {
        long plane = -1;
        detail::Span lines{0, 0};
    };

    // Thread t's share band by band from its front; where the bands depend on
    // nothing before them (vertical first, or a single pass), then what the
    // other shares have left from their backs.  (Horizontal first, a band
    // that another thread takes from the back would pass the horizontal pass
    // of the lines it shares with the band before it twice; 1920x1080 to
    // 224x224 bicubic, 8-bit, two threads in calls back to back, median of
    // six rounds: 1.87x one thread with static shares, 1.60x taking bands.)
    int run_shares(int t, const Io& io) {
        const int threads = this->threads();
        const bool helping = threads > 1 && (passes_.size() < 2 || order_ == Order::vertical_first);
        const long band = band_lines_;
        Held held;
        for (int k = 0; k < (helping ? threads : 1); ++k) {
            detail::Share& share = shares_[static_cast<size_t>((t + k) % threads)];
            for (long from = 0, to = 0; share.take(k == 0, band, window_.height, helping, &from, &to);)
                if (int rc = run_lines(t, held, io, from, to)) return rc;
        }
        return result_ok;
    }

    // The lines [from, to) of one plane (planes one after another) on thread t.
    int run_lines(int t, Held& held, const Io& io, long from, long to) {
        const long plane = from / window_.height;
        const long y0 = from - plane * window_.height, y1 = to - plane * window_.height;
        const T* src = io.src + plane * source_.height * io.src_pitch;
        T* dst = io.dst + (plane * window_.height + y0) * io.dst_pitch;
        std::vector<T>& buffer = buffers_[static_cast<size_t>(t)];
        if (passes_.empty()) {
            for (long y = y0; y < y1; ++y)
                std::memcpy(dst + (y - y0) * io.dst_pitch, src + y * io.src_pitch, sizeof(T) * window_.width * channels_);
            return result_ok;
        }
        if (passes_.size() == 1) {
            const AxisPass<T>& pass = passes_[0];
            if (pass.axis() == Axis::horizontal)
                return pass.run_lines(src + y0 * io.src_pitch, io.src_pitch, dst, io.dst_pitch, y1 - y0);
            return pass.run_rows(src, io.src_pitch, 0, dst, io.dst_pitch, y0, y1);
        }
        return order_ == Order::vertical_first ? vertical_first(buffer, src, io, dst, y0, y1)
                                               : horizontal_first(buffer, held, plane, src, io, dst, y0, y1);
    }

    // One band: the vertical pass into the buffer, the horizontal pass out of it.
    int vertical_first(std::vector<T>& buffer, const T* src, const Io& io, T* dst, long y0, long y1) const {
        const AxisPass<T>& vertical = passes_[0];
        const AxisPass<T>& horizontal = passes_[1];
        const long pitch = source_.width * channels_;
        buffer.resize(static_cast<size_t>(band_lines_ * pitch));
        if (int rc = vertical.run_rows(src, io.src_pitch, 0, buffer.data(), pitch, y0, y1)) return rc;
        return horizontal.run_lines(buffer.data(), pitch, dst, io.dst_pitch, y1 - y0);
    }

    // One band: the horizontal pass of the source lines the band reads that
    // the buffer does not hold yet, then the vertical pass out of the buffer.
    // Held lines that the band reads again (the previous band's, above it)
    // move to the buffer's front.
    int horizontal_first(std::vector<T>& buffer, Held& held, long plane, const T* src, const Io& io, T* dst, long y0,
                         long y1) const {
        const AxisPass<T>& horizontal = passes_[0];
        const AxisPass<T>& vertical = passes_[1];
        const long pitch = window_.width * channels_;
        const detail::Span need = vertical.lines_read(y0, y1);
        if (buffer.size() < static_cast<size_t>((need.hi - need.lo) * pitch))
            buffer.resize(static_cast<size_t>((need.hi - need.lo) * pitch));
        long from = need.lo;  // the first line to compute
        if (held.plane == plane && need.lo >= held.lines.lo && need.lo < held.lines.hi) {
            from = std::min(held.lines.hi, need.hi);
            std::memmove(buffer.data(), buffer.data() + (need.lo - held.lines.lo) * pitch,
                         sizeof(T) * (from - need.lo) * pitch);
        }
        held = {};
        if (from < need.hi)
            if (int rc = horizontal.run_lines(src + from * io.src_pitch, io.src_pitch,
                                              buffer.data() + (from - need.lo) * pitch, pitch, need.hi - from))
                return rc;
        held = {plane, need};
        return vertical.run_rows(buffer.data(), pitch, need.lo, dst, io.dst_pitch, y0, y1);
    }

    // One pass or none: bands of about kBandBytes of output, which threads
    // take as they come (the lines do not depend on each other).
    long single_band_lines() const {
        const long line_bytes = window_.width * channels_ * static_cast<long>(sizeof(T));
        return std::clamp(detail::kBandBytes / line_bytes, 1L, window_.height);
    }

    // Output lines per band: the most whose intermediate lines fit the
    // budget of the order (vertical first: more where a per-phase second
    // pass needs them for long calls, fewer where its phases share lines).
    long choose_band_lines() const {
        const AxisPass<T>& second = passes_[1];
        const long line_bytes = second.in_pitch() * static_cast<long>(sizeof(T));
        if (order_ == Order::vertical_first) {
            long lines = std::max(1L, detail::kBandBytes / line_bytes);
            if (second.mapping() == Mapping::per_phase) {
                const long for_calls = detail::kPhaseCallElements / second.phase_outputs_per_line();
                lines = std::max(lines, std::min(for_calls, detail::kPhaseBandBytes / line_bytes));
                lines = std::min(lines, phase_sweep_lines(second));
            }
            return std::min(lines, window_.height);
        }
        // Horizontal first: a band of b output lines reads about b * in / out
        // lines plus the filter's window.
        const long budget = std::max(1L, detail::kHorizontalFirstBandBytes / line_bytes);
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

    // A per-phase pass whose neighbouring phases share cache lines and whose
    // calls take a few outputs a line: the most lines that keep one phase's
    // call within kPhaseSweepBytes (no bound otherwise).
    static long phase_sweep_lines(const AxisPass<T>& pass) {
        const double phases_a_line = detail::kCacheLine / pass.input_bytes_per_output();
        const long per_line = pass.phase_outputs_per_line();
        if (phases_a_line < 4 || static_cast<double>(pass.period()) < phases_a_line ||
            per_line > detail::kFewPhaseOutputs)
            return pass.in_height();
        const long element_lines = 1 + static_cast<long>(std::ceil(pass.window_bytes() / detail::kCacheLine));
        return std::max(1L, detail::kPhaseSweepBytes / (per_line * element_lines * detail::kCacheLine));
    }

    long channels_;
    long planes_;
    Window window_;
    Window source_;
    Order order_ = Order::horizontal_first;
    long band_lines_ = 0;
    std::vector<AxisPass<T>> passes_;
    std::vector<std::vector<T>> buffers_;  // per thread: its band of the intermediate image
    std::unique_ptr<detail::Share[]> shares_;  // per thread: what is left of its share of a run
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
