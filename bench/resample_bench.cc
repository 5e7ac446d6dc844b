// Throughput of the resampling pass and of the whole two-pass resize of
// interleaved 3-channel images, one thread: the planner (zv_pt/resize.hpp)
// over the shared library's exported pass, the very same calls through each
// variant of the internal kernel table, a plain loop over the same tap tables,
// OpenCV's cv::resize, and memcpy of the source bytes as the physical limit.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bench_util.h"
#include "frame/isa.h"
#include "resample/resample_kernels.h"
#include "zv_pt.h"
#include "zv_pt/resize.hpp"

// resample_plain_loops.cc
void plain_horizontal(const float* src, float* dst, long lines, const zvt::resize::AxisTaps& taps, bool fused);
void plain_vertical(const float* src, float* dst, long width, const zvt::resize::AxisTaps& taps, bool fused);
void plain_horizontal(const uint8_t* src, uint8_t* dst, long lines, const zvt::resize::AxisTaps& taps);
void plain_vertical(const uint8_t* src, uint8_t* dst, long width, const zvt::resize::AxisTaps& taps);

namespace {

using namespace zv_pt_bench;
using zv_pt::Isa;
using zv_pt::ResamplePass;
using zvt::resize::Axis;
using zvt::resize::AxisPass;
using zvt::resize::AxisTaps;
using zvt::resize::Filter;
using zvt::resize::Layout;
using zvt::resize::Resizer;

// ---- the library's calls, recorded ---------------------------------------------
//
// The link wraps zvt_interpolate (see the end of this file and CMakeLists.txt):
// every call the planner makes goes on to libzv_pt.so's export and, while a
// recording is open, is also kept as the pass the internal kernels take.  Each
// kernel variant then replays exactly the library's calls.

using Calls = std::vector<ResamplePass>;
using InterpolateFn = int (*)(char**, const long*, long, unsigned int, bool);

Calls* recording = nullptr;

// The export of the shared library file itself: the internal archive that
// supplies read_pass brings its own copy of zvt_interpolate along, and the
// wrapped calls leave the program no reference that would link libzv_pt.so.
InterpolateFn exported_interpolate(const char* symbol) {
    void* library = dlopen(ZV_PT_LIBRARY, RTLD_NOW);
    void* function = library != nullptr ? dlsym(library, symbol) : nullptr;
    if (function == nullptr) {
        std::fprintf(stderr, "zv_pt_bench_resample: %s not found in %s\n", symbol, ZV_PT_LIBRARY);
        std::abort();
    }
    return reinterpret_cast<InterpolateFn>(function);
}

int record_and_forward(InterpolateFn exported, char** data, const long* strides, long n, unsigned int frac_bits,
                       bool per_element_taps) {
    if (recording != nullptr && n > 0) {
        int64_t tap_stride;
        std::memcpy(&tap_stride, data[4], sizeof tap_stride);
        recording->push_back(zv_pt::read_pass(data, strides, tap_stride, n, frac_bits, per_element_taps));
    }
    return exported(data, strides, n, frac_bits, per_element_taps);
}

template <class T>
Calls record(const AxisPass<T>& pass, const T* in, T* out) {
    Calls calls;
    recording = &calls;
    const int rc = pass.run(in, out);
    recording = nullptr;
    if (rc != result_ok || calls.empty()) {
        std::fprintf(stderr,
                     "zv_pt_bench_resample: a pass returned %d after %zu recorded calls (no calls: the --wrap "
                     "names in bench/CMakeLists.txt do not match zvt_interpolate's symbols)\n",
                     rc, calls.size());
        std::abort();
    }
    return calls;
}

template <class T>
zv_pt::ResampleFn kernel_of(Isa isa) {
    const zv_pt::ResampleKernels& kernels = zv_pt::resample_kernels(isa);
    return std::is_same_v<T, float> ? kernels.f32 : kernels.u8;
}

// The levels this processor runs whose kernel for T is a kernel of its own
// (the SSSE3 level's float kernel is the C one, so it is not timed twice).
template <class T>
std::vector<Isa> distinct_levels() {
    std::vector<Isa> levels;
    for (Isa isa : zv_pt::kAllIsas) {
        if (!zv_pt::isa_supported(isa)) continue;
        bool seen = false;
        for (Isa other : levels) seen = seen || kernel_of<T>(other) == kernel_of<T>(isa);
        if (!seen) levels.push_back(isa);
    }
    return levels;
}

// ---- cases ---------------------------------------------------------------------

struct Geometry {
    ImageSize in, out;
    std::string name() const { return in.name() + "_to_" + out.name(); }
};

constexpr Geometry kGeometries[] = {{{1920, 1080}, {224, 224}}, {{3840, 2160}, {1920, 1080}}};

// One resize: its planner, its tap tables, the images, and the library's calls
// per pass.  Pass k, run over the whole image, reads input(k) and writes
// output(k); between two passes the image is `intermediate`.
template <class T>
struct ResizeCase {
    ResizeCase(Geometry g, Filter filter)
        : geometry(g),
          x(zvt::resize::make_axis_taps(g.in.width, g.out.width, filter)),
          y(zvt::resize::make_axis_taps(g.in.height, g.out.height, filter)),
          resizer(g.in.width, g.in.height, g.out.width, g.out.height, Layout::interleaved, filter),
          src(3 * g.in.pixels()),
          dst(3 * g.out.pixels()),
          copy(3 * g.in.pixels()),
          intermediate(passes().size() == 2 ? passes()[0].out_elements() : 1) {
        fill_random(src);
        for (size_t k = 0; k < passes().size(); ++k) calls.push_back(record(pass(k), input(k), output(k)));
    }

    const std::vector<AxisPass<T>>& passes() { return resizer.passes(); }
    const AxisPass<T>& pass(size_t k) { return passes()[k]; }
    const T* input(size_t k) { return k == 0 ? src.data() : intermediate.data(); }
    T* output(size_t k) { return k + 1 == passes().size() ? dst.data() : intermediate.data(); }
    const AxisTaps& taps(size_t k) { return pass(k).axis() == Axis::horizontal ? x : y; }

    double input_bytes(size_t k) { return double{sizeof(T)} * pass(k).in_pitch() * pass(k).in_height(); }
    double output_bytes(size_t k) { return double{sizeof(T)} * pass(k).out_elements(); }

    Geometry geometry;
    AxisTaps x, y;
    Resizer<T> resizer;
    Buffer<T> src, dst;
    Buffer<T> copy;          // memcpy's destination
    Buffer<T> intermediate;  // between the passes when they run one at a time
    std::vector<Calls> calls;
};

template <class T>
void plain_pass(ResizeCase<T>& c, size_t k, bool fused) {
    const AxisPass<T>& pass = c.pass(k);
    const bool horizontal = pass.axis() == Axis::horizontal;
    if constexpr (std::is_same_v<T, float>) {
        if (horizontal)
            plain_horizontal(c.input(k), c.output(k), pass.in_height(), c.taps(k), fused);
        else
            plain_vertical(c.input(k), c.output(k), pass.in_width(), c.taps(k), fused);
    } else {
        (void)fused;  // 8-bit sums are exact
        if (horizontal)
            plain_horizontal(c.input(k), c.output(k), pass.in_height(), c.taps(k));
        else
            plain_vertical(c.input(k), c.output(k), pass.in_width(), c.taps(k));
    }
}

template <class T>
void opencv_resize(ResizeCase<T>& c, int interpolation) {
    const int type = CV_MAKETYPE(cv::DataType<T>::depth, 3);
    const cv::Mat in(c.geometry.in.height, c.geometry.in.width, type, c.src.data());
    cv::Mat out(c.geometry.out.height, c.geometry.out.width, type, c.dst.data());  // cv::resize keeps it
    cv::resize(in, out, out.size(), 0, 0, interpolation);
}

// ---- variants --------------------------------------------------------------------

// Runs pass k of a case one way.
template <class T>
struct PassVariant {
    std::string name;
    std::function<void(ResizeCase<T>&, size_t)> run;
};

// Every way of running one pass except memcpy; zv_pt first.
template <class T>
std::vector<PassVariant<T>> pass_variants() {
    std::vector<PassVariant<T>> variants{
        {"zv_pt", [](ResizeCase<T>& c, size_t k) { c.pass(k).run(c.input(k), c.output(k)); }}};
    for (Isa isa : distinct_levels<T>())
        variants.push_back({zv_pt::isa_name(isa), [kernel = kernel_of<T>(isa)](ResizeCase<T>& c, size_t k) {
                                for (const ResamplePass& p : c.calls[k]) kernel(p);
                            }});
    variants.push_back({"plain_loop", [](ResizeCase<T>& c, size_t k) { plain_pass(c, k, true); }});
    if constexpr (std::is_same_v<T, float>)
        variants.push_back({"plain_loop_unfused", [](ResizeCase<T>& c, size_t k) { plain_pass(c, k, false); }});
    return variants;
}

// A whole resize the same ways: the planner's Resizer for zv_pt, every pass in
// turn for the rest.
template <class T>
std::function<void(ResizeCase<T>&)> whole(const PassVariant<T>& v) {
    if (v.name == "zv_pt") return [](ResizeCase<T>& c) { c.resizer.run(c.src.data(), c.dst.data()); };
    return [run = v.run](ResizeCase<T>& c) {
        for (size_t k = 0; k < c.passes().size(); ++k) run(c, k);
    };
}

// bytes_per_call: read plus written, for the GB/s counter.
void add_benchmark(const std::string& name, double bytes_per_call, std::function<void()> call) {
    benchmark::RegisterBenchmark(name.c_str(),
                                 [bytes_per_call, call](benchmark::State& state) {
                                     set_threads(1);
                                     for (auto _ : state) {
                                         call();
                                         benchmark::ClobberMemory();
                                     }
                                     report_bytes(state, bytes_per_call);
                                 })
        ->UseRealTime()
        ->MinTime(kMinTime)
        ->Unit(benchmark::kMillisecond);
}

std::string benchmark_name(const std::string& kernel, Geometry g, const std::string& variant) {
    return kernel + "/" + g.name() + "/threads:1/" + variant;
}

// hpass_<type> and vpass_<type>: the pass of that axis alone, bilinear tables.
template <class T>
void register_passes(ResizeCase<T>& c, const char* type) {
    for (size_t k = 0; k < c.passes().size(); ++k) {
        const std::string kernel = (c.pass(k).axis() == Axis::horizontal ? "hpass_" : "vpass_") + std::string(type);
        ResizeCase<T>* cp = &c;
        add_benchmark(benchmark_name(kernel, c.geometry, "memcpy"), 2 * c.input_bytes(k),
                      [cp, k] { std::memcpy(cp->copy.data(), cp->input(k), static_cast<size_t>(cp->input_bytes(k))); });
        for (const PassVariant<T>& v : pass_variants<T>())
            add_benchmark(benchmark_name(kernel, c.geometry, v.name), c.input_bytes(k) + c.output_bytes(k),
                          [cp, k, run = v.run] { run(*cp, k); });
    }
}

// resize_<filter>_<type>: the whole resize; OpenCV too for bilinear.
template <class T>
void register_resize(ResizeCase<T>& c, const std::string& kernel, bool with_opencv) {
    ResizeCase<T>* cp = &c;
    const double bytes = c.src.bytes() + c.dst.bytes();
    add_benchmark(benchmark_name(kernel, c.geometry, "memcpy"), 2.0 * c.src.bytes(),
                  [cp] { std::memcpy(cp->copy.data(), cp->src.data(), cp->src.bytes()); });
    for (const PassVariant<T>& v : pass_variants<T>())
        add_benchmark(benchmark_name(kernel, c.geometry, v.name), bytes, [cp, run = whole(v)] { run(*cp); });
    if (!with_opencv) return;
    add_benchmark(benchmark_name(kernel, c.geometry, "opencv_area"), bytes,
                  [cp] { opencv_resize(*cp, cv::INTER_AREA); });
    add_benchmark(benchmark_name(kernel, c.geometry, "opencv_linear"), bytes,
                  [cp] { opencv_resize(*cp, cv::INTER_LINEAR); });
}

// Runs every variant of the whole resize once (OpenCV's filters are others)
// and records in the report's context whether its result is zv_pt's, bit for
// bit, as "check:kernel/geometry/variant".
template <class T>
void check_resize(ResizeCase<T>& c, const std::string& kernel) {
    const std::vector<PassVariant<T>> variants = pass_variants<T>();
    whole(variants[0])(c);
    const std::vector<T> want(c.dst.data(), c.dst.data() + c.dst.size());
    for (size_t v = 1; v < variants.size(); ++v) {
        std::memset(c.dst.data(), 0, c.dst.bytes());
        whole(variants[v])(c);
        int64_t differ = 0;
        for (int64_t i = 0; i < c.dst.size(); ++i)
            differ += std::memcmp(&want[static_cast<size_t>(i)], &c.dst.data()[i], sizeof(T)) != 0;
        const std::string verdict = differ == 0 ? "identical to zv_pt"
                                                : std::to_string(differ) + " of " + std::to_string(c.dst.size()) +
                                                      " elements differ from zv_pt";
        benchmark::AddCustomContext("check:" + kernel + "/" + c.geometry.name() + "/" + variants[v].name, verdict);
    }
}

// Checks and registers every benchmark of one element type.  The cases live
// for the whole run: the benchmarks keep pointers to them.
template <class T>
void register_type(const char* type) {
    static std::vector<std::unique_ptr<ResizeCase<T>>> cases;
    for (const Geometry g : kGeometries) {
        for (const Filter filter : {Filter::bilinear, Filter::bicubic}) {
            ResizeCase<T>* c = cases.emplace_back(std::make_unique<ResizeCase<T>>(g, filter)).get();
            const bool bilinear = filter == Filter::bilinear;
            const std::string kernel = std::string(bilinear ? "resize_bilinear_" : "resize_bicubic_") + type;
            check_resize(*c, kernel);
            if (bilinear) register_passes(*c, type);
            register_resize(*c, kernel, bilinear);
        }
    }
}

}  // namespace

// The planner's calls of zvt::zvt_interpolate<float> and <unsigned char>
// (these mangled names), renamed by the linker's --wrap.
extern "C" int __wrap__ZN3zvt15zvt_interpolateIfEEiPPcPKlljb(char** data, const long* strides, long n,
                                                             unsigned int frac_bits, bool per_element_taps) {
    static const InterpolateFn exported = exported_interpolate("_ZN3zvt15zvt_interpolateIfEEiPPcPKlljb");
    return record_and_forward(exported, data, strides, n, frac_bits, per_element_taps);
}

extern "C" int __wrap__ZN3zvt15zvt_interpolateIhEEiPPcPKlljb(char** data, const long* strides, long n,
                                                             unsigned int frac_bits, bool per_element_taps) {
    static const InterpolateFn exported = exported_interpolate("_ZN3zvt15zvt_interpolateIhEEiPPcPKlljb");
    return record_and_forward(exported, data, strides, n, frac_bits, per_element_taps);
}

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    benchmark::AddCustomContext("zv_pt_isa", zv_pt::isa_name(zv_pt::best_isa()));
    set_threads(1);
    register_type<float>("f32");
    register_type<uint8_t>("u8");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
