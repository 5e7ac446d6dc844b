#include "prepare.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "zv_pt.h"

namespace zvprep {

using zvt::resize::Layout;
using zvt::resize::Resizer;

const char* const kStageNames[stage_count] = {"resize", "to planar", "scale to [0,1]", "normalise"};

namespace {

// Offset of a centred crop along one axis, as torchvision's CenterCrop: a crop
// larger than the image pads it by (crop - size) / 2 before; otherwise the
// offset (size - crop) / 2 is rounded half to even (Python's round()).
long centre_offset(long size, long crop) {
    if (crop > size) return -((crop - size) / 2);
    const long half = (size - crop) / 2;
    const bool tie = (size - crop) % 2 != 0;
    return tie && half % 2 != 0 ? half + 1 : half;
}

// Copies the out_w x out_h window at (left, top) of an interleaved image,
// with zeros where the window reaches past the image.
template <class T>
void copy_window(const T* src, long w, long h, const Geometry& g, T* dst) {
    const long row = g.out_w * 3;
    for (long y = 0; y < g.out_h; ++y) {
        T* out = dst + y * row;
        const long sy = g.top + y;
        if (sy < 0 || sy >= h) {
            std::fill(out, out + row, T(0));
            continue;
        }
        const long x0 = std::max(0L, -g.left), x1 = std::min(g.out_w, w - g.left);
        std::fill(out, out + 3 * x0, T(0));
        std::memcpy(out + 3 * x0, src + (sy * w + g.left + x0) * 3, sizeof(T) * 3 * (x1 - x0));
        std::fill(out + 3 * x1, out + row, T(0));
    }
}

class StageClock {
public:
    explicit StageClock(double* seconds) : seconds_(seconds), last_(now()) {}
    void lap(Stage stage) {
        const auto t = now();
        seconds_[stage] += std::chrono::duration<double>(t - last_).count();
        last_ = t;
    }

private:
    static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
    double* seconds_;
    std::chrono::steady_clock::time_point last_;
};

bool whole(const Geometry& g) { return g.left == 0 && g.top == 0 && g.out_w == g.resize_w && g.out_h == g.resize_h; }

// Resizes src and points `hwc` at the tensor's window of the result: the
// resized image itself, or its copy when cropping.
template <class T>
int resize_window(Resizer<T>& resizer, const T* src, const Geometry& g, Interleaved<T>& buffers, const T*& hwc) {
    buffers.resized.resize(static_cast<size_t>(g.resize_w) * g.resize_h * 3);
    if (int rc = resizer.run(src, buffers.resized.data())) return rc;
    hwc = buffers.resized.data();
    if (whole(g)) return result_ok;
    buffers.window.resize(static_cast<size_t>(g.out_w) * g.out_h * 3);
    copy_window(hwc, g.resize_w, g.resize_h, g, buffers.window.data());
    hwc = buffers.window.data();
    return result_ok;
}

// The library's interleaved-to-planar conversion of the out_w x out_h window.
template <class T>
int to_planar(const T* hwc, T* chw, const Geometry& g) {
    int shape[2] = {static_cast<int>(g.out_h), static_cast<int>(g.out_w)}, order[3] = {2, 0, 1};
    T* src = const_cast<T*>(hwc);  // only read
    if constexpr (std::is_same_v<T, float>) return zv_permute_hwc_chw_float32(src, chw, shape, order, 0);
    else return zv_permute_hwc_chw(src, chw, shape, order, 0);
}

}  // namespace

// For every byte v, rounding the double v * (1 / 255.0) to float gives the
// correctly rounded float quotient v / 255; the multiplication vectorises
// where a float division or a table lookup would not.
void scale_to_unit(const unsigned char* in, size_t count, float* out) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i] * (1.0 / 255.0));
}

Geometry plan_geometry(const Options& o, long in_w, long in_h) {
    Geometry g{o.width, o.height, 0, 0, o.width, o.height};
    if (o.resize_short > 0) {
        const long shorter = std::min(in_w, in_h), longer = std::max(in_w, in_h);
        const long other = static_cast<long>(static_cast<double>(o.resize_short * longer) / static_cast<double>(shorter));
        g.resize_w = in_w <= in_h ? o.resize_short : other;
        g.resize_h = in_w <= in_h ? other : o.resize_short;
        if (!o.crop) {
            g.out_w = g.resize_w;
            g.out_h = g.resize_h;
        }
        g.left = centre_offset(g.resize_w, g.out_w);
        g.top = centre_offset(g.resize_h, g.out_h);
    }
    return g;
}

struct Preparer::Plans {
    long in_w = 0, in_h = 0, out_w = 0, out_h = 0;
    std::unique_ptr<Resizer<unsigned char>> bytes;
    std::unique_ptr<Resizer<float>> floats;
};

Preparer::Preparer(const Options& options) : options_(options), plans_(std::make_unique<Plans>()) {}
Preparer::~Preparer() = default;

// Tap tables depend only on the sizes: images of the size seen last reuse them.
void Preparer::replan(const Image& image, const Geometry& g) {
    Plans& p = *plans_;
    if (p.in_w == image.width && p.in_h == image.height && p.out_w == g.resize_w && p.out_h == g.resize_h) return;
    // Built aside first: running out of memory here leaves the last plan whole.
    Plans next{image.width, image.height, g.resize_w, g.resize_h, nullptr, nullptr};
    if (options_.float_resize)
        next.floats = std::make_unique<Resizer<float>>(image.width, image.height, g.resize_w, g.resize_h,
                                                       Layout::interleaved, options_.filter);
    else
        next.bytes = std::make_unique<Resizer<unsigned char>>(image.width, image.height, g.resize_w, g.resize_h,
                                                              Layout::interleaved, options_.filter);
    p = std::move(next);
}

int Preparer::prepare(const Image& image, float* tensor, double seconds[stage_count]) {
    const Geometry g = geometry(image);
    replan(image, g);
    const int rc = options_.float_resize ? prepare_floats(image, g, tensor, seconds)
                                         : prepare_bytes(image, g, tensor, seconds);
    return rc != result_ok ? rc : normalise(tensor, g, seconds);
}

// Resize the bytes, then to planar bytes, then scale to floats.
int Preparer::prepare_bytes(const Image& image, const Geometry& g, float* tensor, double seconds[]) {
    const size_t out = static_cast<size_t>(g.out_w) * g.out_h * 3;
    planar_u8_.resize(out);
    StageClock clock(seconds);
    const unsigned char* hwc = nullptr;
    if (int rc = resize_window(*plans_->bytes, image.rgb.data(), g, bytes_, hwc)) return rc;
    clock.lap(stage_resize);
    if (int rc = to_planar(hwc, planar_u8_.data(), g)) return rc;
    clock.lap(stage_planar);
    scale_to_unit(planar_u8_.data(), out, tensor);
    clock.lap(stage_scale);
    return result_ok;
}

// Scale the whole image to floats, resize the floats, then to planar.
int Preparer::prepare_floats(const Image& image, const Geometry& g, float* tensor, double seconds[]) {
    full_f32_.resize(image.rgb.size());
    StageClock clock(seconds);
    scale_to_unit(image.rgb.data(), image.rgb.size(), full_f32_.data());
    clock.lap(stage_scale);
    const float* hwc = nullptr;
    if (int rc = resize_window(*plans_->floats, full_f32_.data(), g, floats_, hwc)) return rc;
    clock.lap(stage_resize);
    if (int rc = to_planar(hwc, tensor, g)) return rc;
    clock.lap(stage_planar);
    return result_ok;
}

int Preparer::normalise(float* tensor, const Geometry& g, double seconds[]) {
    const long count = g.out_w * g.out_h;
    scratch_.resize(static_cast<size_t>(count) * 3);
    StageClock clock(seconds);
    const int rc = zv_normalize_float32(tensor, options_.mean, options_.std, scratch_.data(), static_cast<int>(count));
    clock.lap(stage_normalise);
    return rc;
}

}  // namespace zvprep
