// Prepares raw RGB files through zv_pt/prepare.hpp and the shared library, one
// job per line of standard input:
//   IN OUT IN_W IN_H bilinear|bicubic bytes|floats GEOMETRY MEAN0 MEAN1 MEAN2 STD0 STD1 STD2
// GEOMETRY is WxH (Resize((H, W))), N (Resize(N)) or N/WxH (Resize(N), then
// CenterCrop((H, W))).  IN holds the bare interleaved bytes; OUT gets the
// tensor as native floats, then a line "W H" of its size on standard output.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zv_pt/prepare.hpp"

namespace {

using zvt::prepare::Options;

long number(const std::string& text) {
    size_t used = 0;
    const long v = std::stol(text, &used);
    if (used != text.size() || v <= 0) throw std::invalid_argument("not a positive number: " + text);
    return v;
}

Options geometry(const std::string& text) {
    const size_t slash = text.find('/'), x = text.find('x');
    if (x == std::string::npos) return Options::resize_shorter(number(text));
    if (slash == std::string::npos) return Options::resize_to(number(text.substr(0, x)), number(text.substr(x + 1)));
    return Options::resize_shorter(number(text.substr(0, slash)))
        .center_crop(number(text.substr(slash + 1, x - slash - 1)), number(text.substr(x + 1)));
}

void run_job(const std::vector<std::string>& w) {
    if (w.size() != 13) throw std::invalid_argument("a job has 13 words");
    Options o = geometry(w[6]);
    o.filter = w[4] == "bicubic" ? zvt::resize::Filter::bicubic : zvt::resize::Filter::bilinear;
    o.float_resize = w[5] == "floats";
    for (int c = 0; c < 3; ++c) {
        o.mean[c] = std::stof(w[7 + c]);
        o.std[c] = std::stof(w[10 + c]);
    }
    const long in_w = number(w[2]), in_h = number(w[3]);
    std::ifstream in(w[0], std::ios::binary);
    const std::vector<unsigned char> rgb((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (rgb.size() != static_cast<size_t>(in_w * in_h * 3)) throw std::runtime_error(w[0] + ": wrong size");

    zvt::prepare::Preparer prep(o);
    const zvt::prepare::Geometry g = prep.geometry(in_w, in_h);
    std::vector<float> tensor(g.tensor_size());
    if (int rc = prep.run({rgb.data(), in_w, in_h}, tensor.data())) throw std::runtime_error("result " + std::to_string(rc));
    std::ofstream out(w[1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(tensor.data()), static_cast<std::streamsize>(tensor.size() * sizeof(float)));
    if (!out) throw std::runtime_error(w[1] + ": cannot write");
    std::cout << g.out_w << ' ' << g.out_h << '\n';
}

}  // namespace

int main() {
    try {
        for (std::string line; std::getline(std::cin, line);) {
            std::istringstream words(line);
            run_job({std::istream_iterator<std::string>(words), {}});
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "prepare_cli: %s\n", e.what());
        return 2;
    }
}
