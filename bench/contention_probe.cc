// Why a resize's time moves from run to run on a shared machine, and what two
// cores give at most.
//
// Round after round it times three things in turn: a chain of dependent vector
// multiply-adds (bound by their latency: it slows only if the clock drops), as
// many independent chains as the vector units take (bound by their
// throughput: it slows when something outside this process, such as another
// virtual machine on the same physical core, takes those units), and the 8-bit
// bicubic resize of the photo shape, 4928x3279 to 852x567 on one thread.  If
// the resize's slow rounds are the throughput chains' slow rounds while the
// latency chain holds still, the resize's bimodal times are the machine's,
// not the planner's.
//
// Then the same resize on two independent processes at once against one
// alone (the most two threads could give on these cores), and the Resizer
// on two threads.
//
// usage: zv_pt_contention_probe [ROUNDS]
#include <zv_pt/resize.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Lanes = short __attribute__((vector_size(16)));
#if defined(__aarch64__)
#define ZV_PT_VECTOR_REGISTER "+w"
#else
#define ZV_PT_VECTOR_REGISTER "+x"
#endif

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// `chains` independent multiply-add chains of 8 lanes, `steps` steps each.
template <int chains>
double chain_ms(long steps) {
    const Clock::time_point t0 = Clock::now();
    Lanes a[chains];
    for (int j = 0; j < chains; ++j) a[j] = Lanes{} + static_cast<short>(j + 1);
    const Lanes w = Lanes{} + static_cast<short>(3);
    for (long k = 0; k < steps; ++k)
        for (int j = 0; j < chains; ++j) {
            a[j] = a[j] * w + a[j];
            asm volatile("" : ZV_PT_VECTOR_REGISTER(a[j]));  // one chain step per iteration, none folded
        }
    short sum = 0;
    for (int j = 0; j < chains; ++j) sum = static_cast<short>(sum + a[j][0]);
    volatile short sink = sum;
    (void)sink;
    return ms_since(t0);
}

struct Photo {
    static constexpr long in_w = 4928, in_h = 3279, out_w = 852, out_h = 567;
    std::vector<unsigned char> src = std::vector<unsigned char>(in_w * in_h * 3);
    std::vector<unsigned char> dst = std::vector<unsigned char>(out_w * out_h * 3);
    Photo() {
        std::mt19937 rng(1);
        for (unsigned char& v : src) v = static_cast<unsigned char>(rng());
    }
    double resize_ms(zvt::resize::Resizer<unsigned char>& r) {
        const Clock::time_point t0 = Clock::now();
        if (r.run(src.data(), dst.data()) != 0) std::abort();
        return ms_since(t0);
    }
};

zvt::resize::Resizer<unsigned char> photo_resizer(int threads) {
    zvt::resize::Plan plan;
    plan.threads = threads;
    return {Photo::in_w, Photo::in_h, Photo::out_w, Photo::out_h, zvt::resize::Layout::interleaved,
            zvt::resize::Filter::bicubic, plan};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double correlation(const std::vector<double>& x, const std::vector<double>& y) {
    const double n = static_cast<double>(x.size());
    double mx = 0, my = 0;
    for (size_t i = 0; i < x.size(); ++i) mx += x[i] / n, my += y[i] / n;
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxy / std::sqrt(sxx * syy);
}

void print_spread(const char* what, const std::vector<double>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    std::printf("%-34s median %7.2f ms, fastest %7.2f, slowest %7.2f (%.2fx)\n", what, median(v), *lo, *hi, *hi / *lo);
}

// Rounds of the resize alone in this process; their median.
double resize_median(Photo& photo, zvt::resize::Resizer<unsigned char>& r, int rounds) {
    std::vector<double> t;
    for (int i = 0; i < rounds; ++i) t.push_back(photo.resize_ms(r));
    return median(t);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 40;
    Photo photo;
    zvt::resize::Resizer<unsigned char> one = photo_resizer(1);
    photo.resize_ms(one);  // warm-up

    std::vector<double> latency, throughput, resize;
    for (int i = 0; i < rounds; ++i) {
        latency.push_back(chain_ms<1>(4000000));
        throughput.push_back(chain_ms<12>(2000000));
        resize.push_back(photo.resize_ms(one));
    }
    std::printf("%d rounds, in turns, one thread:\n", rounds);
    print_spread("dependent multiply-adds", latency);
    print_spread("independent multiply-adds", throughput);
    print_spread("photo 8-bit bicubic resize", resize);
    std::printf("correlation of the resize's time with the independent chains' %.2f, with the dependent chain's %.2f\n\n",
                correlation(resize, throughput), correlation(resize, latency));

    const double alone = resize_median(photo, one, rounds);
    const pid_t sibling = fork();
    if (sibling == 0) {
        resize_median(photo, one, rounds + 4);  // outlasts the parent's rounds
        std::_Exit(0);
    }
    const double beside = resize_median(photo, one, rounds);
    waitpid(sibling, nullptr, 0);
    zvt::resize::Resizer<unsigned char> two = photo_resizer(2);
    photo.resize_ms(two);
    const double threads = resize_median(photo, two, rounds);
    std::printf("photo resize alone %.2f ms; beside a second process doing the same %.2f ms: two processes give %.2fx "
                "one's throughput\n",
                alone, beside, 2.0 * alone / beside);
    std::printf("Resizer on two threads %.2f ms: %.2fx one thread\n", threads, alone / threads);
    return 0;
}
