// Throughput of the image kernels through the shared library's exported
// functions, beside memcpy of the same bytes (the physical limit) and the
// peers that do the same job: OpenCV, libyuv and a hand-written loop.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <opencv2/core.hpp>

#include "bench_util.h"
#include "frame/isa.h"
#include "zv_pt.h"

// image_plain_loops.cc
void plain_split3(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void plain_split3(const float* src, float* d0, float* d1, float* d2, int64_t n);
void plain_normalize3(float* data, const float mean[3], const float stdv[3], int64_t n);

namespace {

using namespace zv_pt_bench;

// An interleaved 3-channel image and room for its three planes.
template <class T>
struct PermuteCase {
    PermuteCase(ImageSize size, Use) : size(size), src(3 * size.pixels()), dst(3 * size.pixels()) {
        fill_random(src);
    }
    T* plane(int c) const { return dst.data() + c * size.pixels(); }
    double bytes() const { return 2.0 * src.bytes(); }
    const Buffer<T>& output() const { return dst; }

    ImageSize size;
    Buffer<T> src, dst;
};

int zv_permute(uint8_t* src, uint8_t* dst, int* shape, int* order) {
    return zv_permute_hwc_chw(src, dst, shape, order, 0);
}

int zv_permute(float* src, float* dst, int* shape, int* order) {
    return zv_permute_hwc_chw_float32(src, dst, shape, order, 0);
}

template <class T>
void permute_zv_pt(PermuteCase<T>& c) {
    int shape[3] = {c.size.height, c.size.width, 3};
    int order[3] = {2, 0, 1};
    zv_permute(c.src.data(), c.dst.data(), shape, order);
}

template <class T>
void permute_memcpy(PermuteCase<T>& c) {
    parallel_copy(c.dst.data(), c.src.data(), c.src.bytes());
}

// cv::split writes into the given planes because they already have the
// size and type it wants (Mat::create keeps them).
template <class T>
void permute_opencv_split(PermuteCase<T>& c) {
    const int h = c.size.height, w = c.size.width, depth = cv::DataType<T>::depth;
    const cv::Mat hwc(h, w, CV_MAKETYPE(depth, 3), c.src.data());
    cv::Mat planes[3] = {cv::Mat(h, w, depth, c.plane(0)), cv::Mat(h, w, depth, c.plane(1)),
                         cv::Mat(h, w, depth, c.plane(2))};
    cv::split(hwc, planes);
}

void permute_libyuv(PermuteCase<uint8_t>& c) {
    const int w = c.size.width;
    libyuv::SplitRGBPlane(c.src.data(), 3 * w, c.plane(0), w, c.plane(1), w, c.plane(2), w, w, c.size.height);
}

template <class T>
void permute_plain_loop(PermuteCase<T>& c) {
    plain_split3(c.src.data(), c.plane(0), c.plane(1), c.plane(2), c.size.pixels());
}

// A planar float image normalised in place.  For timing, std > 1 makes
// repeated calls a contraction towards mean / (1 - std), so the data
// stays finite and normal over any number of calls; the divisors still have
// full mantissas, and the divider's speed does not depend on normal operands.
struct NormalizeCase {
    NormalizeCase(ImageSize size, Use use) : size(size), data(3 * size.pixels()), scratch(3 * size.pixels()) {
        fill_random(data);
        if (use == Use::timing)
            for (float& s : std) s += 1.0f;
    }
    float* plane(int c) const { return data.data() + c * size.pixels(); }
    double bytes() const { return 2.0 * data.bytes(); }
    const Buffer<float>& output() const { return data; }

    ImageSize size;
    Buffer<float> data;
    Buffer<float> scratch;  // also the memcpy destination: same bytes read and written
    float mean[3] = {0.485f, 0.456f, 0.406f};
    float std[3] = {0.229f, 0.224f, 0.225f};
};

void normalize_zv_pt(NormalizeCase& c) {
    zv_normalize_float32(c.data.data(), c.mean, c.std, c.scratch.data(), static_cast<int>(c.size.pixels()));
}

void normalize_memcpy(NormalizeCase& c) { parallel_copy(c.scratch.data(), c.data.data(), c.data.bytes()); }

void normalize_opencv(NormalizeCase& c) {
    for (int k = 0; k < 3; ++k) {
        cv::Mat plane(c.size.height, c.size.width, CV_32F, c.plane(k));
        cv::subtract(plane, cv::Scalar(c.mean[k]), plane);
        cv::divide(plane, cv::Scalar(c.std[k]), plane);
    }
}

void normalize_plain_loop(NormalizeCase& c) { plain_normalize3(c.data.data(), c.mean, c.std, c.size.pixels()); }

constexpr Variant<PermuteCase<uint8_t>> kPermuteU8[] = {{"zv_pt", permute_zv_pt<uint8_t>},
                                                         {"memcpy", permute_memcpy<uint8_t>},
                                                         {"opencv_split", permute_opencv_split<uint8_t>},
                                                         {"libyuv", permute_libyuv},
                                                         {"plain_loop", permute_plain_loop<uint8_t>}};

constexpr Variant<PermuteCase<float>> kPermuteF32[] = {{"zv_pt", permute_zv_pt<float>},
                                                        {"memcpy", permute_memcpy<float>},
                                                        {"opencv_split", permute_opencv_split<float>},
                                                        {"plain_loop", permute_plain_loop<float>}};

constexpr Variant<NormalizeCase> kNormalize[] = {{"zv_pt", normalize_zv_pt},
                                                 {"memcpy", normalize_memcpy},
                                                 {"opencv_subtract_divide", normalize_opencv},
                                                 {"plain_loop", normalize_plain_loop}};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    benchmark::AddCustomContext("zv_pt_isa", zv_pt::isa_name(zv_pt::best_isa()));
    // An odd size, so that every variant's remainder handling is compared too.
    const ImageSize sample{641, 479};
    set_threads(2);
    check_variants("permute_u8", sample, kPermuteU8);
    check_variants("permute_f32", sample, kPermuteF32);
    check_variants("normalize", sample, kNormalize);

    register_variants("permute_u8", kPermuteU8);
    register_variants("permute_f32", kPermuteF32);
    register_variants("normalize", kNormalize);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
