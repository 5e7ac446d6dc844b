// The resize planner's filters and the tap tables of one axis (see zv_pt/resize.hpp).
#ifndef ZV_PT_RESIZE_TAPS_HPP
#define ZV_PT_RESIZE_TAPS_HPP

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

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

}  // namespace resize
}  // namespace zvt

#endif  // ZV_PT_RESIZE_TAPS_HPP
