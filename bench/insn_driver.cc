// zv_pt_insn_driver <kernel> <repeats>: calls one exported kernel on a 640x480
// image, for counting instructions under an emulator.  Every run makes one
// warm-up call (lazy binding, OpenMP start-up, processor detection) and then
// `repeats` more, so the counts of a run with R repeats and one with 0 differ
// by exactly R calls.  A new kernel is one function and one table entry.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zv_pt.h"
#include "zv_pt/resize.hpp"

namespace {

constexpr int kWidth = 640, kHeight = 480;
constexpr int64_t kPixels = int64_t{kWidth} * kHeight;

// Makes 1 + repeats calls; the result of the first call that fails, else ok.
template <class Call>
int call_repeatedly(long repeats, Call call) {
    for (long k = 0; k <= repeats; ++k)
        if (const int result = call(); result != result_ok) return result;
    return result_ok;
}

template <class T>
std::vector<T> ramp(int64_t n) {
    std::vector<T> v(n);
    for (int64_t i = 0; i < n; ++i) v[i] = static_cast<T>(i % 251);
    return v;
}

int permute_u8(long repeats) {
    std::vector<unsigned char> src = ramp<unsigned char>(3 * kPixels), dst(3 * kPixels);
    int shape[3] = {kHeight, kWidth, 3}, order[3] = {2, 0, 1};
    return call_repeatedly(repeats, [&] { return zv_permute_hwc_chw(src.data(), dst.data(), shape, order, 0); });
}

int permute_f32(long repeats) {
    std::vector<float> src = ramp<float>(3 * kPixels), dst(3 * kPixels);
    int shape[3] = {kHeight, kWidth, 3}, order[3] = {2, 0, 1};
    return call_repeatedly(repeats,
                           [&] { return zv_permute_hwc_chw_float32(src.data(), dst.data(), shape, order, 0); });
}

int normalize(long repeats) {
    std::vector<float> data = ramp<float>(3 * kPixels), scratch(3 * kPixels);
    float mean[3] = {120.0f, 115.0f, 100.0f}, std[3] = {58.0f, 57.0f, 57.0f};
    return call_repeatedly(repeats,
                           [&] { return zv_normalize_float32(data.data(), mean, std, scratch.data(), kPixels); });
}

// Vertical 8-tap resampling pass, one call per output row: shared taps, the
// row's elements contiguous, taps one input row apart (weights sum to one).
template <class T, class W>
int resample_v8(long repeats) {
    constexpr int kTaps = 8;
    std::vector<T> src = ramp<T>(int64_t{kWidth} * (kHeight + kTaps - 1)), dst(kPixels);
    std::vector<W> weights(kTaps, sizeof(W) == 4 ? W(0.125) : W(1 << 11));
    int64_t tap_min = 0, count = kTaps, tap_stride = kWidth * int64_t{sizeof(T)}, weight_offset = 0;
    const long strides[7] = {sizeof(T), sizeof(T), 0, 0, 0, 0, 0};
    return call_repeatedly(repeats, [&] {
        for (int y = 0; y < kHeight; ++y) {
            char* data[7] = {reinterpret_cast<char*>(&dst[int64_t{y} * kWidth]),
                             reinterpret_cast<char*>(&src[int64_t{y} * kWidth]),
                             reinterpret_cast<char*>(&tap_min), reinterpret_cast<char*>(&count),
                             reinterpret_cast<char*>(&tap_stride), reinterpret_cast<char*>(weights.data()),
                             reinterpret_cast<char*>(&weight_offset)};
            if (const int result = zvt::zvt_interpolate<T>(data, strides, kWidth, 14, false); result != result_ok)
                return result;
        }
        return int{result_ok};
    });
}

// Horizontal passes of interleaved RGB over kPassLines lines (64, about a
// band of the fused resize), through the planner's calls in one mapping, or
// a plain scalar loop over the same tables.  The photo shape, 4928 -> 852
// pixels wide (bilinear: about 12 taps per output element, bicubic about
// 24), and a near-identity width, 1920 -> 1919 (2 and 4 taps), whose
// sampling grid never repeats: taps of their own per element.  Output
// elements per call: out * 3 * kPassLines.
struct Widths {
    long in, out;
};
constexpr Widths kPhoto{4928, 852}, kNearIdentity{1920, 1919};
constexpr long kPassLines = 64;

template <class T>
int horizontal_pass(long repeats, Widths w, zvt::resize::Filter filter, zvt::resize::Mapping mapping) {
    using namespace zvt::resize;
    const AxisTaps taps = make_axis_taps(w.in, w.out, filter);
    const AxisPass<T> pass(taps, Axis::horizontal, Layout::interleaved, kPassLines, mapping);
    std::vector<T> src = ramp<T>(w.in * 3 * kPassLines), dst(w.out * 3 * kPassLines);
    return call_repeatedly(repeats, [&] { return pass.run(src.data(), dst.data()); });
}

// The plain loop: every element sums its taps in order.
template <class T>
int horizontal_plain(long repeats, Widths w, zvt::resize::Filter filter) {
    using namespace zvt::resize;
    const AxisTaps t = make_axis_taps(w.in, w.out, filter);
    std::vector<T> src = ramp<T>(w.in * 3 * kPassLines), dst(w.out * 3 * kPassLines);
    volatile long sink = 0;  // the loop's result is used
    auto run = [&] {
        for (long y = 0; y < kPassLines; ++y)
            for (long x = 0; x < w.out; ++x)
                for (long c = 0; c < 3; ++c) {
                    const T* in = &src[static_cast<size_t>((y * w.in + t.first[x]) * 3 + c)];
                    if constexpr (std::is_same_v<T, float>) {
                        float acc = 0.0f;
                        for (int64_t j = 0; j < t.count[x]; ++j) acc = std::fma(in[3 * j], t.weights[t.offset[x] + j], acc);
                        dst[static_cast<size_t>((y * w.out + x) * 3 + c)] = acc;
                    } else {
                        int32_t acc = int32_t{1} << (t.frac_bits - 1);
                        for (int64_t j = 0; j < t.count[x]; ++j) acc += t.fixed[t.offset[x] + j] * in[3 * j];
                        acc >>= t.frac_bits;
                        dst[static_cast<size_t>((y * w.out + x) * 3 + c)] =
                            static_cast<T>(acc < 0 ? 0 : acc > 255 ? 255 : acc);
                    }
                }
        sink = sink + static_cast<long>(dst[0]);
        return int{result_ok};
    };
    return call_repeatedly(repeats, run);
}

using zvt::resize::Filter;
using zvt::resize::Mapping;

struct Kernel {
    const char* name;
    int (*run)(long repeats);
};

constexpr Kernel kKernels[] = {
    {"permute_u8", permute_u8},
    {"permute_f32", permute_f32},
    {"normalize", normalize},
    {"resample_f32_v8", resample_v8<float, float>},
    {"resample_u8_v8", resample_v8<unsigned char, int16_t>},
    {"photo_u8_bilinear_phase", [](long r) { return horizontal_pass<unsigned char>(r, kPhoto, Filter::bilinear, Mapping::per_phase); }},
    {"photo_u8_bilinear_row", [](long r) { return horizontal_pass<unsigned char>(r, kPhoto, Filter::bilinear, Mapping::per_row); }},
    {"photo_u8_bilinear_plain", [](long r) { return horizontal_plain<unsigned char>(r, kPhoto, Filter::bilinear); }},
    {"photo_u8_bicubic_phase", [](long r) { return horizontal_pass<unsigned char>(r, kPhoto, Filter::bicubic, Mapping::per_phase); }},
    {"photo_u8_bicubic_row", [](long r) { return horizontal_pass<unsigned char>(r, kPhoto, Filter::bicubic, Mapping::per_row); }},
    {"photo_u8_bicubic_plain", [](long r) { return horizontal_plain<unsigned char>(r, kPhoto, Filter::bicubic); }},
    {"photo_f32_bilinear_phase", [](long r) { return horizontal_pass<float>(r, kPhoto, Filter::bilinear, Mapping::per_phase); }},
    {"photo_f32_bilinear_row", [](long r) { return horizontal_pass<float>(r, kPhoto, Filter::bilinear, Mapping::per_row); }},
    {"photo_f32_bilinear_plain", [](long r) { return horizontal_plain<float>(r, kPhoto, Filter::bilinear); }},
    {"photo_f32_bicubic_phase", [](long r) { return horizontal_pass<float>(r, kPhoto, Filter::bicubic, Mapping::per_phase); }},
    {"photo_f32_bicubic_row", [](long r) { return horizontal_pass<float>(r, kPhoto, Filter::bicubic, Mapping::per_row); }},
    {"photo_f32_bicubic_plain", [](long r) { return horizontal_plain<float>(r, kPhoto, Filter::bicubic); }},
    {"near_u8_bilinear_row", [](long r) { return horizontal_pass<unsigned char>(r, kNearIdentity, Filter::bilinear, Mapping::per_row); }},
    {"near_u8_bilinear_plain", [](long r) { return horizontal_plain<unsigned char>(r, kNearIdentity, Filter::bilinear); }},
    {"near_u8_bicubic_row", [](long r) { return horizontal_pass<unsigned char>(r, kNearIdentity, Filter::bicubic, Mapping::per_row); }},
    {"near_u8_bicubic_plain", [](long r) { return horizontal_plain<unsigned char>(r, kNearIdentity, Filter::bicubic); }},
    {"near_f32_bilinear_row", [](long r) { return horizontal_pass<float>(r, kNearIdentity, Filter::bilinear, Mapping::per_row); }},
    {"near_f32_bilinear_plain", [](long r) { return horizontal_plain<float>(r, kNearIdentity, Filter::bilinear); }},
    {"near_f32_bicubic_row", [](long r) { return horizontal_pass<float>(r, kNearIdentity, Filter::bicubic, Mapping::per_row); }},
    {"near_f32_bicubic_plain", [](long r) { return horizontal_plain<float>(r, kNearIdentity, Filter::bicubic); }},
};

int usage() {
    std::fprintf(stderr, "usage: zv_pt_insn_driver <kernel> <repeats>\nkernels:");
    for (const Kernel& k : kKernels) std::fprintf(stderr, " %s", k.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    char* end = nullptr;
    const long repeats = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || repeats < 0) return usage();
    for (const Kernel& k : kKernels) {
        if (std::strcmp(k.name, argv[1]) != 0) continue;
        const int result = k.run(repeats);
        if (result != result_ok) std::fprintf(stderr, "%s returned %d\n", k.name, result);
        return result == result_ok ? 0 : 1;
    }
    return usage();
}
