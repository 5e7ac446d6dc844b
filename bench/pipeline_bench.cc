// The whole preparation of one image, single thread: zv_pt/prepare.hpp's
// Preparer (the library's resize, conversion and normalisation, as zv-prep runs them) beside the same pipeline
// written with OpenCV (cv::resize, cv::split, convertTo) and beside memcpy of
// the source image's bytes, at several source sizes, always to 3x224x224.
//
// usage: zv_pt_bench_pipeline [benchmark options] [FRAME.jpg]
//
// The source is FRAME.jpg (1920x1080) decoded once, untimed; without it,
// data/rocket.jpg stretched to 1920x1080.  The other source sizes are that
// frame resized once.  Names follow the other programs:
// pipeline_<filter>/<W>x<H>_to_224x224/threads:1/<variant>, with zv_pt for
// zv-prep; items_per_second counts images.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "frame/isa.h"
#include "image_io.h"
#include "zv_pt/prepare.hpp"

namespace {

using namespace zv_pt_bench;
using zvt::resize::Filter;

constexpr int kOut = 224;
constexpr ImageSize kSources[] = {{640, 480}, {1280, 720}, {1920, 1080}, {3840, 2160}};
constexpr ImageSize kFrame{1920, 1080};
// Median of a few short runs: a whole pipeline call takes milliseconds, and
// the median rides out the load of a shared machine better than one long run.
constexpr double kPipelineMinTime = 0.1;
constexpr int kRepetitions = 5;
// Largest mean difference, in 8-bit levels, allowed between an OpenCV
// pipeline's tensor and zv-prep's.  Their filters differ (box or 2-tap
// triangle against a widened triangle), so this only catches a pipeline that
// computes something else: swapped channels, a missing scale or offset.
constexpr double kMaxMeanLevels = 4.0;

const float kMean[3] = {0.485f, 0.456f, 0.406f};
const float kStd[3] = {0.229f, 0.224f, 0.225f};

cv::Mat as_mat(zvprep::Image& image) {
    return cv::Mat(static_cast<int>(image.height), static_cast<int>(image.width), CV_8UC3, image.rgb.data());
}

bool load_image(const std::string& path, zvprep::Image& image) {
    std::vector<unsigned char> bytes;
    std::string error;
    const long limit = zvprep::kDefaultMaxPixels;
    if (zvprep::read_file(path, zvprep::max_file_bytes(limit), bytes, error) &&
        zvprep::decode_image(bytes.data(), bytes.size(), limit, image, error))
        return true;
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return false;
}

zvprep::Image resized(zvprep::Image& image, ImageSize size) {
    zvprep::Image out;
    out.width = size.width;
    out.height = size.height;
    out.rgb.resize(static_cast<size_t>(size.pixels()) * 3);
    const bool shrink = size.pixels() < image.width * image.height;
    cv::resize(as_mat(image), as_mat(out), cv::Size(size.width, size.height), 0, 0,
               shrink ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

// One source image, the tensor a pipeline writes from it, and room for a copy.
struct Case {
    explicit Case(zvprep::Image source) : image(std::move(source)), copy(image.rgb.size()) {}
    ImageSize size() const { return {static_cast<int>(image.width), static_cast<int>(image.height)}; }

    zvprep::Image image;
    Buffer<float> tensor{3 * kOut * kOut};
    Buffer<unsigned char> copy;
};

class ZvPrep {
public:
    explicit ZvPrep(Filter filter) : preparer_(options(filter)) {}
    void operator()(Case& c) {
        const zvt::prepare::ImageView view(c.image.rgb.data(), c.image.width, c.image.height);
        if (preparer_.run(view, c.tensor.data(), &times_) != 0) std::abort();
    }
    // Milliseconds per image of each stage since the last reset.
    void reset_stages() { times_ = {}; }
    void report_stages(benchmark::State& state) const {
        static const char* const kCounters[zvt::prepare::stage_count] = {"resize_ms", "planar_ms", "scale_ms",
                                                                         "normalise_ms"};
        for (int s = 0; s < zvt::prepare::stage_count; ++s)
            state.counters[kCounters[s]] = times_.seconds[s] * 1e3 / static_cast<double>(state.iterations());
    }

private:
    static zvt::prepare::Options options(Filter filter) {
        zvt::prepare::Options o = zvt::prepare::Options::resize_to(kOut, kOut);
        o.filter = filter;
        return o;
    }
    zvt::prepare::Preparer preparer_;
    zvt::prepare::StageTimes times_;
};

// The pipeline as OpenCV code commonly reads: resize the 8-bit image, split it
// into planes, scale each to [0, 1] in float, then normalise it.  The float
// planes are headers on the tensor and the intermediates keep their size, so
// after the first call nothing allocates.
class OpenCvPipeline {
public:
    explicit OpenCvPipeline(int interpolation) : interpolation_(interpolation) {}
    void operator()(Case& c) {
        cv::resize(as_mat(c.image), resized_, cv::Size(kOut, kOut), 0, 0, interpolation_);
        cv::split(resized_, bytes_);
        for (int k = 0; k < 3; ++k) {
            cv::Mat plane(kOut, kOut, CV_32F, c.tensor.data() + k * kOut * kOut);
            bytes_[k].convertTo(plane, CV_32F, 1.0 / 255.0);
            plane.convertTo(plane, CV_32F, 1.0 / kStd[k], -kMean[k] / kStd[k]);
        }
    }

private:
    int interpolation_;
    cv::Mat resized_;
    cv::Mat bytes_[3];
};

void copy_source(Case& c) { std::memcpy(c.copy.data(), c.image.rgb.data(), c.image.rgb.size()); }

// Times `call` on `c`; bytes_rw counts the source read and the tensor written
// (memcpy: the source read and written).
template <class Call>
void time_calls(benchmark::State& state, Case& c, Call& call, double bytes_per_call) {
    set_threads(1);
    for (auto _ : state) {
        call(c);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    report_bytes(state, bytes_per_call);
}

void add_benchmark(const std::string& kernel, const Case& c, const char* variant,
                   std::function<void(benchmark::State&)> run) {
    const std::string name = kernel + "/" + c.size().name() + "_to_224x224/threads:1/" + variant;
    benchmark::RegisterBenchmark(name.c_str(), [run](benchmark::State& state) { run(state); })
        ->UseRealTime()
        ->MinTime(kPipelineMinTime)
        ->Repetitions(kRepetitions)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
}

// zv-prep with `filter`, memcpy, and for bilinear the two OpenCV pipelines.
// Each pipeline runs once here, so that planning and sizing its intermediates
// stay out of the timed calls.
void register_pipelines(Case& c, Filter filter) {
    const bool bilinear = filter == Filter::bilinear;
    const std::string kernel = bilinear ? "pipeline_bilinear" : "pipeline_bicubic";
    const double bytes = static_cast<double>(c.image.rgb.size() + c.tensor.bytes());
    auto zv = std::make_shared<ZvPrep>(filter);
    (*zv)(c);
    add_benchmark(kernel, c, "zv_pt", [&c, zv, bytes](benchmark::State& state) {
        zv->reset_stages();
        time_calls(state, c, *zv, bytes);
        zv->report_stages(state);
    });
    add_benchmark(kernel, c, "memcpy", [&c](benchmark::State& state) {
        time_calls(state, c, copy_source, 2.0 * static_cast<double>(c.image.rgb.size()));
    });
    if (!bilinear) return;
    for (const auto& [variant, interpolation] : {std::pair{"opencv_area", cv::INTER_AREA},
                                                 std::pair{"opencv_linear", cv::INTER_LINEAR}}) {
        auto cv_pipeline = std::make_shared<OpenCvPipeline>(interpolation);
        (*cv_pipeline)(c);
        add_benchmark(kernel, c, variant, [&c, cv_pipeline, bytes](benchmark::State& state) {
            time_calls(state, c, *cv_pipeline, bytes);
        });
    }
}

// Mean absolute difference of two tensors in 8-bit levels (tensor units
// times std times 255, per plane).
double mean_levels(const Buffer<float>& a, const Buffer<float>& b) {
    double sum = 0;
    const int64_t plane = int64_t{kOut} * kOut;
    for (int64_t i = 0; i < a.size(); ++i) sum += std::fabs(a.data()[i] - b.data()[i]) * kStd[i / plane] * 255.0;
    return sum / static_cast<double>(a.size());
}

// Runs both OpenCV pipelines on the frame beside zv-prep (bilinear), records
// their mean difference in the context, and says whether both are close.
bool check_pipelines(Case& frame) {
    ZvPrep zv(Filter::bilinear);
    zv(frame);
    const Buffer<float> want(frame.tensor.size());
    std::memcpy(want.data(), frame.tensor.data(), want.bytes());
    bool close = true;
    for (const auto& [variant, interpolation] : {std::pair{"opencv_area", cv::INTER_AREA},
                                                 std::pair{"opencv_linear", cv::INTER_LINEAR}}) {
        OpenCvPipeline pipeline(interpolation);
        pipeline(frame);
        const double levels = mean_levels(want, frame.tensor);
        char verdict[96];
        std::snprintf(verdict, sizeof verdict, "mean difference from zv_pt %.2f of 255 levels (limit %.0f)", levels,
                      kMaxMeanLevels);
        benchmark::AddCustomContext(std::string("check:pipeline_bilinear/") + frame.size().name() +
                                        "_to_224x224/" + variant,
                                    verdict);
        if (!(levels <= kMaxMeanLevels)) {
            std::fprintf(stderr, "%s pipeline: %s\n", variant, verdict);
            close = false;
        }
    }
    return close;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 2) {
        benchmark::ReportUnrecognizedArguments(argc, argv);
        return 1;
    }

    zvprep::Image frame;
    const std::string path = argc == 2 ? argv[1] : ZV_PT_SOURCE_DIR "/data/rocket.jpg";
    if (!load_image(path, frame)) return 1;
    if (frame.width != kFrame.width || frame.height != kFrame.height) frame = resized(frame, kFrame);
    benchmark::AddCustomContext("zv_pt_isa", zv_pt::isa_name(zv_pt::best_isa()));
    benchmark::AddCustomContext("pipeline_source", path + (argc == 2 ? "" : ", stretched to 1920x1080"));

    set_threads(1);
    static std::vector<std::unique_ptr<Case>> cases;  // the benchmarks keep references
    for (const ImageSize size : kSources)
        cases.push_back(std::make_unique<Case>(size.name() == kFrame.name() ? frame : resized(frame, size)));
    for (auto& c : cases)
        if (c->size().name() == kFrame.name() && !check_pipelines(*c)) return 1;
    for (const Filter filter : {Filter::bilinear, Filter::bicubic})
        for (auto& c : cases) register_pipelines(*c, filter);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
