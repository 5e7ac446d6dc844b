// Helpers shared by the benchmark programs: image sizes, aligned pre-touched
// buffers, thread setting, the throughput counter, memcpy as the physical
// limit, and the registration of one kernel's variants across sizes and thread
// counts under names that group as kernel/size/threads:N/variant.
#pragma once

#include <benchmark/benchmark.h>
#include <omp.h>

#include <opencv2/core/utility.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace zv_pt_bench {

struct ImageSize {
    int width;
    int height;
    int64_t pixels() const { return int64_t{width} * height; }
    std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

constexpr ImageSize kImageSizes[] = {{224, 224}, {640, 480}, {1920, 1080}, {3840, 2160}};
constexpr int kThreadCounts[] = {1, 2};

// Seconds each benchmark runs at least; the whole image program then takes
// about a minute and a half.
constexpr double kMinTime = 0.25;

// Cache-line aligned array of n elements, every page written once so that no
// timed call pays for first-touch page faults.
template <class T>
class Buffer {
public:
    explicit Buffer(size_t n) : n_(n), data_(allocate(n)) { std::memset(data_.get(), 0, bytes()); }
    T* data() const { return data_.get(); }
    int64_t size() const { return static_cast<int64_t>(n_); }
    size_t bytes() const { return n_ * sizeof(T); }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    static T* allocate(size_t n) {
        if (n > PTRDIFF_MAX / sizeof(T)) std::abort();  // a negative size came in
        const size_t bytes = (n * sizeof(T) + 63) / 64 * 64;
        return static_cast<T*>(std::aligned_alloc(64, bytes > 0 ? bytes : 64));
    }
    size_t n_;
    std::unique_ptr<T, Free> data_;
};

// Fills with reproducible pseudo-random values: bytes over 0..255, floats
// over [0, 1) like a scaled 8-bit image.
inline uint32_t next_random(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

inline void fill_random(const Buffer<uint8_t>& b, uint32_t seed = 1) {
    for (int64_t i = 0; i < b.size(); ++i) b.data()[i] = static_cast<uint8_t>(next_random(seed) >> 24);
}

inline void fill_random(const Buffer<float>& b, uint32_t seed = 1) {
    for (int64_t i = 0; i < b.size(); ++i) b.data()[i] = static_cast<float>(next_random(seed) >> 8) * 0x1p-24f;
}

// Thread count for the library's OpenMP regions and for OpenCV's own pool.
inline void set_threads(int threads) {
    omp_set_num_threads(threads);
    cv::setNumThreads(threads);
}

// memcpy split over the OpenMP team in contiguous cache-line multiples, so
// that at N threads the limit is N threads copying.
inline void parallel_copy(void* dst, const void* src, size_t bytes) {
    if (omp_get_max_threads() == 1) {
        std::memcpy(dst, src, bytes);
        return;
    }
#pragma omp parallel
    {
        const size_t lines = (bytes + 63) / 64;
        const size_t team = omp_get_num_threads(), t = omp_get_thread_num();
        const size_t first = lines * t / team * 64, last = lines * (t + 1) / team * 64;
        const size_t end = last < bytes ? last : bytes;
        if (first < end) std::memcpy(static_cast<char*>(dst) + first, static_cast<const char*>(src) + first, end - first);
    }
}

// Throughput counts every byte read plus every byte written, in GB/s (10^9).
inline void report_bytes(benchmark::State& state, double bytes_per_call) {
    state.counters["bytes_rw"] = benchmark::Counter(bytes_per_call * state.iterations(),
                                                    benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

// Representative data for the result checks; for timing, data that stays
// finite and normal however many times an in-place kernel runs over it.
enum class Use { check, timing };

// One way of doing a kernel's job on a Case.  A Case is built from
// (ImageSize, Use) and has bytes() (read plus written per call) and output()
// (the buffer a call produces, for comparisons).
template <class Case>
struct Variant {
    const char* name;
    void (*call)(Case&);
};

// Times `call` on one Case of `size` with a team of `threads`.
template <class Case>
void time_variant(benchmark::State& state, ImageSize size, int threads, void (*call)(Case&)) {
    set_threads(threads);
    Case c(size, Use::timing);
    for (auto _ : state) {
        call(c);
        benchmark::ClobberMemory();
    }
    report_bytes(state, c.bytes());
}

template <class Case, size_t N>
void register_variants(const char* kernel, const Variant<Case> (&variants)[N]) {
    for (const ImageSize size : kImageSizes)
        for (const int threads : kThreadCounts)
            for (const Variant<Case>& v : variants) {
                const std::string name =
                    std::string(kernel) + "/" + size.name() + "/threads:" + std::to_string(threads) + "/" + v.name;
                benchmark::RegisterBenchmark(name.c_str(), time_variant<Case>, size, threads, v.call)
                    ->UseRealTime()
                    ->MinTime(kMinTime)
                    ->Unit(benchmark::kMicrosecond);
            }
}

// Runs every variant except memcpy once on the same input as variants[0] (the
// library) and records in the report's context whether the results are
// identical bit for bit, as "check:kernel/variant".
template <class Case, size_t N>
void check_variants(const char* kernel, ImageSize size, const Variant<Case> (&variants)[N]) {
    Case reference(size, Use::check);
    variants[0].call(reference);
    for (size_t k = 1; k < N; ++k) {
        if (std::strcmp(variants[k].name, "memcpy") == 0) continue;
        Case c(size, Use::check);
        variants[k].call(c);
        const auto& want = reference.output();
        const auto& got = c.output();
        int64_t differ = 0;
        for (int64_t i = 0; i < want.size(); ++i)
            differ += std::memcmp(&want.data()[i], &got.data()[i], sizeof(want.data()[i])) != 0;
        const std::string verdict = differ == 0 ? "identical to zv_pt"
                                                : std::to_string(differ) + " of " + std::to_string(want.size()) +
                                                      " elements differ from zv_pt";
        benchmark::AddCustomContext(std::string("check:") + kernel + "/" + variants[k].name, verdict);
    }
}

}  // namespace zv_pt_bench
