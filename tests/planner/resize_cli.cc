// Resizes raw 3-channel image files through the shared library.  A job is
//   IN OUT u8|f32 interleaved|planar bilinear|bicubic IN_W IN_H OUT_W OUT_H
//   [automatic|horizontal_first|vertical_first [automatic|per_row|per_column]]
// given as the arguments, or without arguments one job per line of standard
// input (one process for many images).  The files hold the bare elements
// (bytes or native floats) with no header.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zv_pt/resize.hpp"

namespace {

using zvt::resize::Filter;
using zvt::resize::Layout;
using zvt::resize::Mapping;
using zvt::resize::Order;
using zvt::resize::Plan;

template <class E>
E pick(const std::string& word, std::initializer_list<std::pair<const char*, E>> choices) {
    for (const auto& [name, value] : choices)
        if (word == name) return value;
    throw std::invalid_argument("unknown word: " + word);
}

long positive(const std::string& text) {
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v <= 0) throw std::invalid_argument("not a positive size: " + text);
    return v;
}

struct Job {
    std::string in_path, out_path;
    Layout layout;
    Filter filter;
    long in_w, in_h, out_w, out_h;
    Plan plan;
};

template <class T>
int resize_file(const Job& job) {
    std::ifstream in(job.in_path, std::ios::binary);
    const std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t in_elements = static_cast<size_t>(job.in_w * job.in_h * 3);
    if (raw.size() != in_elements * sizeof(T)) throw std::runtime_error("input file has the wrong size");
    std::vector<T> src(in_elements), dst(static_cast<size_t>(job.out_w * job.out_h * 3));
    std::memcpy(src.data(), raw.data(), raw.size());

    zvt::resize::Resizer<T> resizer(job.in_w, job.in_h, job.out_w, job.out_h, job.layout, job.filter, job.plan);
    if (int rc = resizer.run(src.data(), dst.data())) return rc;
    std::ofstream out(job.out_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(dst.data()), static_cast<std::streamsize>(dst.size() * sizeof(T)));
    return out ? 0 : 1;
}

// Runs one job given as its words; 0 on success.
int run_job(const std::vector<std::string>& w) {
    if (w.size() < 9 || w.size() > 11) throw std::invalid_argument("a job has 9 to 11 words");
    Job job{w[0], w[1],
            pick<Layout>(w[3], {{"interleaved", Layout::interleaved}, {"planar", Layout::planar}}),
            pick<Filter>(w[4], {{"bilinear", Filter::bilinear}, {"bicubic", Filter::bicubic}}),
            positive(w[5]), positive(w[6]), positive(w[7]), positive(w[8]), Plan{}};
    if (w.size() > 9)
        job.plan.order = pick<Order>(w[9], {{"automatic", Order::automatic},
                                            {"horizontal_first", Order::horizontal_first},
                                            {"vertical_first", Order::vertical_first}});
    if (w.size() > 10)
        job.plan.horizontal = pick<Mapping>(w[10], {{"automatic", Mapping::automatic},
                                                    {"per_row", Mapping::per_row},
                                                    {"per_column", Mapping::per_column}});
    const bool eight_bit = pick<bool>(w[2], {{"u8", true}, {"f32", false}});
    const int rc = eight_bit ? resize_file<unsigned char>(job) : resize_file<float>(job);
    if (rc != 0) std::fprintf(stderr, "%s: resize failed with result %d\n", job.in_path.c_str(), rc);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 1) return run_job(std::vector<std::string>(argv + 1, argv + argc));
        for (std::string line; std::getline(std::cin, line);) {
            std::istringstream words(line);
            const std::vector<std::string> job{std::istream_iterator<std::string>(words), {}};
            if (int rc = run_job(job)) return rc;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
