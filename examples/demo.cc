// The job libzv_pt is made for: turn a camera frame into a normalised CHW
// float tensor for a PyTorch model, and set PyTorch's thread count through the
// embedded interpreter.
//
//   zv_pt_demo [frame.ppm] [out.ppm]
//
// Without a frame it synthesises a 1920x1080 test pattern.  It writes the
// 224x224 resized frame to out.ppm (default demo_224.ppm).
#include <Python.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "zv_pt.h"
#include "zv_pt/resize.hpp"

namespace {

struct Frame {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;  // interleaved, 3 bytes per pixel
};

// A binary PPM (P6, maxval 255); false if the file is not one.
bool read_ppm(const std::string& path, Frame& f) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    if (!(in >> magic >> f.width >> f.height >> maxval) || magic != "P6" || maxval != 255) return false;
    in.get();
    f.rgb.resize(size_t(3) * f.width * f.height);
    return bool(in.read(reinterpret_cast<char*>(f.rgb.data()), std::streamsize(f.rgb.size())));
}

void write_ppm(const std::string& path, const Frame& f) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << f.width << ' ' << f.height << "\n255\n";
    out.write(reinterpret_cast<const char*>(f.rgb.data()), std::streamsize(f.rgb.size()));
}

// Colour gradients with a sharp-edged grid: something a resize must antialias.
Frame test_pattern(int width, int height) {
    Frame f{width, height, std::vector<unsigned char>(size_t(3) * width * height)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &f.rgb[3 * (size_t(y) * width + x)];
            const bool line = (x % 64) < 2 || (y % 64) < 2;
            p[0] = line ? 255 : static_cast<unsigned char>(255 * x / width);
            p[1] = line ? 255 : static_cast<unsigned char>(255 * y / height);
            p[2] = static_cast<unsigned char>(((x / 32 + y / 32) % 2) * 160);
        }
    return f;
}

// Runs step() `repeats` times and returns the best time in milliseconds.
template <class Step>
double best_ms(Step step, int repeats = 20) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        step();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

bool check(const char* what, int result) {
    if (result == result_ok) return true;
    std::fprintf(stderr, "%s failed with result %d\n", what, result);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zvt::resize;
    Frame frame;
    if (argc > 1 && !read_ppm(argv[1], frame)) {
        std::fprintf(stderr, "%s is not a binary 8-bit PPM\n", argv[1]);
        return 1;
    }
    if (argc <= 1) frame = test_pattern(1920, 1080);
    const std::string out_path = argc > 2 ? argv[2] : "demo_224.ppm";
    constexpr int side = 224;
    constexpr int pixels = side * side;
    std::printf("frame %dx%d -> tensor 3x%dx%d\n", frame.width, frame.height, side, side);

    // 1. Antialiased bicubic resize of the 8-bit frame (tables planned once).
    Resizer<unsigned char> resizer(frame.width, frame.height, side, side, Layout::interleaved, Filter::bicubic);
    Frame small{side, side, std::vector<unsigned char>(3 * pixels)};
    int rc = result_ok;
    const double resize_ms = best_ms([&] { rc = resizer.run(frame.rgb.data(), small.rgb.data()); });
    if (!check("resize", rc)) return 1;

    // 2. Bytes to floats in [0, 1] (the host's own loop), then HWC -> CHW.
    std::vector<float> hwc(3 * pixels), chw(3 * pixels), scratch(3 * pixels);
    for (size_t i = 0; i < hwc.size(); ++i) hwc[i] = small.rgb[i] / 255.0f;
    int shape[2] = {side, side}, order[3] = {2, 0, 1};
    const double permute_ms =
        best_ms([&] { rc = zv_permute_hwc_chw_float32(hwc.data(), chw.data(), shape, order, 0); });
    if (!check("zv_permute_hwc_chw_float32", rc)) return 1;

    // 3. Per-channel normalisation with the usual ImageNet statistics.
    float mean[3] = {0.485f, 0.456f, 0.406f}, stdv[3] = {0.229f, 0.224f, 0.225f};
    std::vector<float> tensor;
    const double normalize_ms = best_ms([&] {
        tensor = chw;
        rc = zv_normalize_float32(tensor.data(), mean, stdv, scratch.data(), pixels);
    });
    if (!check("zv_normalize_float32", rc)) return 1;

    std::printf("resize (8-bit, bicubic, antialiased)  %8.3f ms\n", resize_ms);
    std::printf("HWC -> CHW (float)                    %8.3f ms\n", permute_ms);
    std::printf("normalise (3 planes, incl. copy)      %8.3f ms\n", normalize_ms);
    for (int c = 0; c < 3; ++c) {
        double sum = 0, square = 0;
        for (int i = 0; i < pixels; ++i) sum += tensor[size_t(c) * pixels + i];
        for (int i = 0; i < pixels; ++i) square += std::pow(tensor[size_t(c) * pixels + i] - sum / pixels, 2);
        std::printf("channel %d: mean %+.4f  std %.4f\n", c, sum / pixels, std::sqrt(square / pixels));
    }
    write_ppm(out_path, small);
    std::printf("resized frame written to %s\n", out_path.c_str());

    // 4. PyTorch's thread count, through the embedded interpreter.
    std::fflush(stdout);  // the interpreter prints through its own buffer
    initialize_python();
    zvt::init();
    PyRun_SimpleString("import torch\nprint('PyTorch threads after zvt::init():', torch.get_num_threads())\n");
    finalize_python();
    return 0;
}
