// zv_pt_insn_driver <kernel> <repeats>: calls one exported kernel on a 640x480
// image, for counting instructions under an emulator.  Every run makes one
// warm-up call (lazy binding, OpenMP start-up, processor detection) and then
// `repeats` more, so the counts of a run with R repeats and one with 0 differ
// by exactly R calls.  A new kernel is one function and one table entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zv_pt.h"

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
