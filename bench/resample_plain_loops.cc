// The resampling passes as a user would write them from the planner's tap
// tables: every output element sums its taps in order, no intrinsics, baseline
// flags, and a translation unit of its own so that the compiler knows nothing
// about the callers' sizes.  Images are interleaved with 3 channels.
#include <cmath>
#include <cstdint>

#include "zv_pt/resize.hpp"

using zvt::resize::AxisTaps;

namespace {

constexpr long kChannels = 3;

// The weighted sum of one float element, from +0.0, one multiply-add per tap:
// fused (std::fma, the library's arithmetic) or a multiply then an add.
template <bool kFused>
struct FloatSum {
    const AxisTaps& taps;

    float operator()(const float* x, long stride, long out) const {
        const float* w = taps.weights.data() + taps.offset[out];
        float acc = 0.0f;
        for (int64_t j = 0; j < taps.count[out]; ++j) {
            if constexpr (kFused)
                acc = std::fma(x[j * stride], w[j], acc);
            else
                acc = acc + x[j * stride] * w[j];
        }
        return acc;
    }
};

// The 8-bit sum: 16-bit fixed-point weights, rounded to nearest, clamped.
struct ByteSum {
    const AxisTaps& taps;

    uint8_t operator()(const uint8_t* x, long stride, long out) const {
        const int16_t* w = taps.fixed.data() + taps.offset[out];
        int32_t acc = int32_t{1} << (taps.frac_bits - 1);
        for (int64_t j = 0; j < taps.count[out]; ++j) acc += w[j] * x[j * stride];
        acc >>= taps.frac_bits;
        return static_cast<uint8_t>(acc < 0 ? 0 : acc > 255 ? 255 : acc);
    }
};

// lines x in_size pixels -> lines x out_size pixels.
template <class T, class Sum>
void horizontal(const T* src, T* dst, long lines, const AxisTaps& taps, Sum sum) {
    for (long y = 0; y < lines; ++y) {
        const T* in = src + y * taps.in_size * kChannels;
        T* out = dst + y * taps.out_size * kChannels;
        for (long x = 0; x < taps.out_size; ++x)
            for (long c = 0; c < kChannels; ++c)
                out[x * kChannels + c] = sum(in + taps.first[x] * kChannels + c, kChannels, x);
    }
}

// width x in_size pixels -> width x out_size pixels.
template <class T, class Sum>
void vertical(const T* src, T* dst, long width, const AxisTaps& taps, Sum sum) {
    const long pitch = width * kChannels;
    for (long y = 0; y < taps.out_size; ++y)
        for (long e = 0; e < pitch; ++e) dst[y * pitch + e] = sum(src + taps.first[y] * pitch + e, pitch, y);
}

}  // namespace

void plain_horizontal(const float* src, float* dst, long lines, const AxisTaps& taps, bool fused) {
    if (fused)
        horizontal(src, dst, lines, taps, FloatSum<true>{taps});
    else
        horizontal(src, dst, lines, taps, FloatSum<false>{taps});
}

void plain_vertical(const float* src, float* dst, long width, const AxisTaps& taps, bool fused) {
    if (fused)
        vertical(src, dst, width, taps, FloatSum<true>{taps});
    else
        vertical(src, dst, width, taps, FloatSum<false>{taps});
}

void plain_horizontal(const uint8_t* src, uint8_t* dst, long lines, const AxisTaps& taps) {
    horizontal(src, dst, lines, taps, ByteSum{taps});
}

void plain_vertical(const uint8_t* src, uint8_t* dst, long width, const AxisTaps& taps) {
    vertical(src, dst, width, taps, ByteSum{taps});
}
