// From an interleaved 8-bit RGB image to the normalised planar float tensor a
// model takes, as torchvision's usual chain computes it:
//
//   Compose([Resize((h, w)),                  ToTensor(), Normalize(mean, std)])
//   Compose([Resize(n), CenterCrop((h, w)),   ToTensor(), Normalize(mean, std)])
//
// on top of libzv_pt: the antialiased resize of zv_pt/resize.hpp, the
// interleaved-to-planar conversion and the per-channel normalisation.
// Header-only like the planner: plans and intermediate images live here, so
// the library itself still allocates nothing.
//
//   zvt::prepare::Preparer prep(zvt::prepare::Options::resize_to(224, 224));
//   std::vector<float> tensor(prep.tensor_size(1920, 1080));
//   int rc = prep.run({frame, 1920, 1080}, tensor.data());  // 0 on success
//
// Sizes in C++ are width first, as in the planner; torchvision's are (h, w).
// The tensor equals torchvision's within one 8-bit grey level (1/255/std after
// Normalize): the 8-bit resize matches Pillow's to one level.  With
// float_resize the floats are resized instead (ToTensor before Resize, as on a
// tensor), equal to torch's antialiased interpolation within 1e-4.
//
// The library's conversion and normalisation open an OpenMP team per call.  On
// a model-sized tensor waking a team costs more than it saves, so the Preparer
// runs them on a team of `kernel_threads` (1 by default) and spreads whole
// images over threads instead (run_batch).  Link OpenMP's runtime (the
// library's own dependency): pkg-config's and CMake's zv_pt carry it.
#ifndef ZV_PT_PREPARE_HPP
#define ZV_PT_PREPARE_HPP

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#include "zv_pt.h"
#include "zv_pt/resize.hpp"

namespace zvt {
namespace prepare {

using resize::Filter;

struct Options {
    // Resize((height, width)) when shorter is 0.  Otherwise Resize(shorter):
    // the shorter side becomes `shorter` and the longer one keeps the aspect
    // ratio (truncated, as int() does); then, with crop, CenterCrop((height,
    // width)).
    long width = 224;
    long height = 224;
    long shorter = 0;
    bool crop = false;
    Filter filter = Filter::bilinear;
    float mean[3] = {0.485f, 0.456f, 0.406f};  // ImageNet's
    float std[3] = {0.229f, 0.224f, 0.225f};
    bool float_resize = false;  // ToTensor first, then resize the floats
    int kernel_threads = 1;     // OpenMP team of the library's kernels; 0: the runtime's default

    static Options resize_to(long width, long height) {
        Options o;
        o.width = width;
        o.height = height;
        return o;
    }

    static Options resize_shorter(long shorter) {
        Options o;
        o.shorter = shorter;
        return o;
    }

    Options& center_crop(long crop_width, long crop_height) {
        width = crop_width;
        height = crop_height;
        crop = true;
        return *this;
    }
};

// Where an image's tensor comes from: the image is resized to resize_w x
// resize_h, and the tensor is the out_w x out_h window of that at (left,
// top).  A window reaching outside (a crop larger than the image) is padded
// with zeros, which Normalize then turns into -mean / std, as torchvision's.
struct Geometry {
    long resize_w, resize_h;
    long left, top;
    long out_w, out_h;

    bool whole() const { return left == 0 && top == 0 && out_w == resize_w && out_h == resize_h; }
    size_t tensor_size() const { return 3 * static_cast<size_t>(out_w) * static_cast<size_t>(out_h); }
};

// An interleaved 8-bit RGB image; pitch counts bytes from one line to the
// next (0: the lines lie back to back).
struct ImageView {
    const unsigned char* rgb = nullptr;
    long width = 0;
    long height = 0;
    long pitch = 0;

    ImageView() = default;
    ImageView(const unsigned char* pixels, long w, long h, long line_pitch = 0)
        : rgb(pixels), width(w), height(h), pitch(line_pitch > 0 ? line_pitch : 3 * w) {}
};

// Seconds spent per stage, added up over the runs that were given it.
enum Stage { stage_resize, stage_planar, stage_scale, stage_normalise, stage_count };
inline const char* stage_name(Stage s) {
    static const char* const names[stage_count] = {"resize", "to planar", "scale to [0,1]", "normalise"};
    return names[s];
}

struct StageTimes {
    double seconds[stage_count] = {};
    void add(const StageTimes& other) {
        for (int s = 0; s < stage_count; ++s) seconds[s] += other.seconds[s];
    }
};

namespace detail {

// Offset of a centred crop along one axis, as torchvision's CenterCrop: a crop
// larger than the image pads it by (crop - size) / 2 before; otherwise the
// offset (size - crop) / 2 is rounded half to even (Python's round()).
inline long centre_offset(long size, long crop) {
    if (crop > size) return -((crop - size) / 2);
    const long half = (size - crop) / 2;
    const bool tie = (size - crop) % 2 != 0;
    return tie && half % 2 != 0 ? half + 1 : half;
}

inline void check_options(const Options& o) {
    if (o.width <= 0 || o.height <= 0) throw std::invalid_argument("zvt::prepare: the size must be positive");
    if (o.shorter < 0) throw std::invalid_argument("zvt::prepare: the shorter side must be positive");
    if (o.crop && o.shorter == 0) throw std::invalid_argument("zvt::prepare: a centre crop needs Resize(shorter)");
    if (o.kernel_threads < 0) throw std::invalid_argument("zvt::prepare: kernel_threads must be 0 or more");
    for (int c = 0; c < 3; ++c) {
        if (!std::isfinite(o.mean[c])) throw std::invalid_argument("zvt::prepare: the means must be finite");
        if (!std::isfinite(o.std[c]) || o.std[c] == 0.0f)
            throw std::invalid_argument("zvt::prepare: the standard deviations must be finite and non-zero");
    }
}

// For every byte v, rounding the double v * (1 / 255.0) to float gives the
// correctly rounded float quotient v / 255 that ToTensor computes; the
// multiplication vectorises where a division or a table lookup would not.
inline void scale_to_unit(const unsigned char* in, size_t count, float* out) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i] * (1.0 / 255.0));
}

// Writes the interleaved w x h image `src` at (x, y) into the out_w x out_h
// image `dst`, zeros around it.
template <class T>
void place(const T* src, long w, long h, long x, long y, long out_w, long out_h, T* dst) {
    const long row = out_w * 3;
    for (long line = 0; line < out_h; ++line) {
        T* out = dst + line * row;
        if (line < y || line >= y + h) {
            std::fill(out, out + row, T(0));
            continue;
        }
        std::fill(out, out + 3 * x, T(0));
        std::memcpy(out + 3 * x, src + (line - y) * w * 3, sizeof(T) * 3 * w);
        std::fill(out + 3 * (x + w), out + row, T(0));
    }
}

// The OpenMP team size of the calling thread, for a scope.
class KernelTeam {
public:
    explicit KernelTeam(int threads) : saved_(threads > 0 ? omp_get_max_threads() : 0) {
        if (threads > 0) omp_set_num_threads(threads);
    }
    ~KernelTeam() {
        if (saved_ > 0) omp_set_num_threads(saved_);
    }
    KernelTeam(const KernelTeam&) = delete;
    KernelTeam& operator=(const KernelTeam&) = delete;

private:
    int saved_;
};

class StageClock {
public:
    explicit StageClock(StageTimes* times) : times_(times), last_(times ? now() : Clock::time_point{}) {}
    void lap(Stage stage) {
        if (times_ == nullptr) return;
        const auto t = now();
        times_->seconds[stage] += std::chrono::duration<double>(t - last_).count();
        last_ = t;
    }

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point now() { return Clock::now(); }
    StageTimes* times_;
    Clock::time_point last_;
};

// The library's interleaved-to-planar conversion of an out_w x out_h image.
template <class T>
int to_planar(const T* hwc, T* chw, const Geometry& g) {
    int shape[2] = {static_cast<int>(g.out_h), static_cast<int>(g.out_w)}, order[3] = {2, 0, 1};
    T* src = const_cast<T*>(hwc);  // only read
    if constexpr (std::is_same_v<T, float>)
        return zv_permute_hwc_chw_float32(src, chw, shape, order, 0);
    else
        return zv_permute_hwc_chw(src, chw, shape, order, 0);
}

// The part of the resized image that lies in the tensor's window (all of the
// window unless a crop larger than the image pads it).
inline resize::Window inside(const Geometry& g) {
    const long x0 = std::max(0L, g.left), x1 = std::min(g.resize_w, g.left + g.out_w);
    const long y0 = std::max(0L, g.top), y1 = std::min(g.resize_h, g.top + g.out_h);
    return {x0, y0, x1 - x0, y1 - y0};
}

// A resizer of one element type for the sizes and window seen last, and its
// output, placed in the tensor's window when that is padded.
template <class T>
struct ResizeStep {
    long in_w = 0, in_h = 0, out_w = 0, out_h = 0;
    resize::Window window;
    std::unique_ptr<resize::Resizer<T>> resizer;
    std::vector<T> resized, padded;

    // The resize of an in_width x in_height image to the geometry's size,
    // only the part of it in the tensor's window; kept while they stay.
    resize::Resizer<T>& plan(long in_width, long in_height, const Geometry& g, Filter filter) {
        const resize::Window w = inside(g);
        if (!resizer || in_w != in_width || in_h != in_height || out_w != g.resize_w || out_h != g.resize_h ||
            !(window == w)) {
            resizer.reset();
            resizer = std::make_unique<resize::Resizer<T>>(in_width, in_height, g.resize_w, g.resize_h, w,
                                                           resize::Layout::interleaved, filter);
            in_w = in_width, in_h = in_height, out_w = g.resize_w, out_h = g.resize_h, window = w;
        }
        return *resizer;
    }

    // Resizes the planned source window at src (pitched) and returns the
    // tensor's window of the result (interleaved, out_w x out_h, contiguous).
    const T* run(const T* src, long pitch, const Geometry& g, int& rc) {
        resized.resize(3 * static_cast<size_t>(window.width) * static_cast<size_t>(window.height));
        rc = resizer->run(src, pitch, resized.data(), 3 * window.width);
        if (rc != result_ok || (window.width == g.out_w && window.height == g.out_h)) return resized.data();
        padded.resize(g.tensor_size());
        place(resized.data(), window.width, window.height, window.x - g.left, window.y - g.top, g.out_w, g.out_h,
              padded.data());
        return padded.data();
    }
};

}  // namespace detail

// The geometry of torchvision's Resize and CenterCrop for a width x height image.
inline Geometry plan_geometry(const Options& o, long width, long height) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("zvt::prepare: the image is empty");
    Geometry g{o.width, o.height, 0, 0, o.width, o.height};
    if (o.shorter > 0) {
        const long shorter = std::min(width, height), longer = std::max(width, height);
        const auto other = static_cast<long>(static_cast<double>(o.shorter) * static_cast<double>(longer) /
                                             static_cast<double>(shorter));
        g.resize_w = width <= height ? o.shorter : other;
        g.resize_h = width <= height ? other : o.shorter;
        if (!o.crop) {
            g.out_w = g.resize_w;
            g.out_h = g.resize_h;
        }
        g.left = detail::centre_offset(g.resize_w, g.out_w);
        g.top = detail::centre_offset(g.resize_h, g.out_h);
    }
    // The library's kernels count elements in int.
    constexpr long most = INT_MAX / 3;
    if (g.resize_w > most / g.resize_h || g.out_w > most / g.out_h)
        throw std::length_error("zvt::prepare: the resized image is too large");
    return g;
}

// What the tensor of an image needs of it, for a decoder that can decode a
// part of an image or a smaller copy (see Preparer::footprint): the image as
// torchvision sees it gives `geometry`; the tensor is resized from the image
// as decoded, decoded_w x decoded_h, and depends on its rectangle `source`
// only.
struct Footprint {
    Geometry geometry;
    long decoded_w, decoded_h;
    resize::Window source;
};

// Prepares images one at a time on the calling thread, or many at once over
// threads.  The resize is planned once per input size and reused while the
// size stays.  One Preparer serves one thread at a time.
class Preparer {
public:
    explicit Preparer(const Options& options) : options_(options) { detail::check_options(options_); }

    const Options& options() const { return options_; }
    Geometry geometry(long width, long height) const { return plan_geometry(options_, width, height); }
    // Floats in the tensor of a width x height image: 3 x out_h x out_w.
    size_t tensor_size(long width, long height) const { return geometry(width, height).tensor_size(); }

    // Writes the tensor of `image` (3 x out_h x out_w floats, channel planes)
    // to `tensor`; adds each stage's seconds to `times` when given.  Returns
    // result_ok, result_null_argument, or the code of a library call that
    // failed; throws std::invalid_argument for an empty image or a pitch
    // shorter than a line.
    int run(const ImageView& image, float* tensor, StageTimes* times = nullptr) {
        if (image.rgb == nullptr || tensor == nullptr) return result_null_argument;
        return run_part(footprint(image.width, image.height), image, 0, 0, tensor, times);
    }

    // The footprint of a width x height image's tensor when the image is
    // decoded at decoded_w x decoded_h (0: at its own size; smaller, such as
    // a JPEG decoded at a reduced DCT scale, gives a tensor of the same shape
    // resized from that).  With a crop only the window's part of the resize
    // is computed, and `source` is all it reads, in pixels of the decoded
    // image.  Plans the resize; throws as geometry() does.
    Footprint footprint(long width, long height, long decoded_w = 0, long decoded_h = 0) {
        const Geometry g = geometry(width, height);
        const long w = decoded_w > 0 ? decoded_w : width, h = decoded_h > 0 ? decoded_h : height;
        const resize::Window source = options_.float_resize ? floats_.plan(w, h, g, options_.filter).source_window()
                                                            : bytes_.plan(w, h, g, options_.filter).source_window();
        return {g, w, h, source};
    }

    // As run(), from `part`: the pixels of the rectangle at (part_x, part_y)
    // of the decoded image that `f` was planned for, covering f.source (the
    // rest of the image is not read and need not exist).  Throws
    // std::invalid_argument when the part does not cover f.source or its
    // pitch is shorter than a line.
    int run_part(const Footprint& f, const ImageView& part, long part_x, long part_y, float* tensor,
                 StageTimes* times = nullptr) {
        if (part.rgb == nullptr || tensor == nullptr) return result_null_argument;
        if (part.pitch < 3 * part.width) throw std::invalid_argument("zvt::prepare: the pitch is shorter than a line");
        const resize::Window& s = f.source;
        if (part_x > s.x || part_y > s.y || part_x + part.width < s.x + s.width || part_y + part.height < s.y + s.height)
            throw std::invalid_argument("zvt::prepare: the part does not cover the source window");
        const unsigned char* src = part.rgb + (s.y - part_y) * part.pitch + (s.x - part_x) * 3;
        detail::KernelTeam team(options_.kernel_threads);
        const int rc = options_.float_resize ? run_floats(f, src, part.pitch, tensor, times)
                                             : run_bytes(f, src, part.pitch, tensor, times);
        return rc != result_ok ? rc : normalise(tensor, f.geometry, times);
    }

    // Prepares images[0 .. count) into `out`, count tensors back to back, on
    // `threads` threads (the calling thread among them), each image whole on
    // one thread: the result is the same bit for bit for every thread count.
    // All images must give tensors of one size.  Returns as run(); an
    // exception on a thread is rethrown here once all have stopped.
    int run_batch(const ImageView* images, size_t count, float* out, int threads) {
        if (count == 0) return result_ok;
        if (images == nullptr || out == nullptr) return result_null_argument;
        if (threads < 1) throw std::invalid_argument("zvt::prepare: threads must be 1 or more");
        const Geometry first = geometry(images[0].width, images[0].height);
        for (size_t i = 1; i < count; ++i) {
            const Geometry g = geometry(images[i].width, images[i].height);
            if (g.out_w != first.out_w || g.out_h != first.out_h)
                throw std::invalid_argument("zvt::prepare: the images give tensors of different sizes");
        }
        const size_t size = first.tensor_size();
        const size_t workers = std::min(static_cast<size_t>(threads), count);
        while (helpers_.size() + 1 < workers) helpers_.push_back(std::make_unique<Preparer>(options_));

        std::atomic<size_t> next{0};
        std::atomic<int> failed{result_ok};
        std::vector<std::exception_ptr> errors(workers);
        auto work = [&](size_t w) {
            Preparer& prep = w == 0 ? *this : *helpers_[w - 1];
            try {
                for (size_t i; failed.load() == result_ok && (i = next.fetch_add(1)) < count;) {
                    const int rc = prep.run(images[i], out + i * size);
                    if (rc != result_ok) failed.store(rc);
                }
            } catch (...) {
                errors[w] = std::current_exception();
                failed.store(-1);
            }
        };
        std::vector<std::thread> pool;
        for (size_t w = 1; w < workers; ++w) pool.emplace_back(work, w);
        work(0);
        for (std::thread& t : pool) t.join();
        for (const std::exception_ptr& e : errors)
            if (e) std::rethrow_exception(e);
        return failed.load();
    }

private:
    // Resize the bytes, then to planar bytes, then scale to floats.
    int run_bytes(const Footprint& f, const unsigned char* src, long pitch, float* tensor, StageTimes* times) {
        detail::StageClock clock(times);
        const Geometry& g = f.geometry;
        bytes_.plan(f.decoded_w, f.decoded_h, g, options_.filter);
        int rc = result_ok;
        const unsigned char* hwc = bytes_.run(src, pitch, g, rc);
        if (rc != result_ok) return rc;
        clock.lap(stage_resize);
        planar_.resize(g.tensor_size());
        if ((rc = detail::to_planar(hwc, planar_.data(), g)) != result_ok) return rc;
        clock.lap(stage_planar);
        detail::scale_to_unit(planar_.data(), planar_.size(), tensor);
        clock.lap(stage_scale);
        return result_ok;
    }

    // Scale the source window to floats, resize the floats, then to planar.
    int run_floats(const Footprint& f, const unsigned char* src, long pitch, float* tensor, StageTimes* times) {
        detail::StageClock clock(times);
        const Geometry& g = f.geometry;
        floats_.plan(f.decoded_w, f.decoded_h, g, options_.filter);
        const size_t line = 3 * static_cast<size_t>(f.source.width);
        unit_.resize(line * static_cast<size_t>(f.source.height));
        for (long y = 0; y < f.source.height; ++y)
            detail::scale_to_unit(src + y * pitch, line, unit_.data() + y * line);
        clock.lap(stage_scale);
        int rc = result_ok;
        const float* hwc = floats_.run(unit_.data(), static_cast<long>(line), g, rc);
        if (rc != result_ok) return rc;
        clock.lap(stage_resize);
        if ((rc = detail::to_planar(hwc, tensor, g)) != result_ok) return rc;
        clock.lap(stage_planar);
        return result_ok;
    }

    int normalise(float* tensor, const Geometry& g, StageTimes* times) {
        detail::StageClock clock(times);
        const long count = g.out_w * g.out_h;
        scratch_.resize(g.tensor_size());
        const int rc = zv_normalize_float32(tensor, options_.mean, options_.std, scratch_.data(), static_cast<int>(count));
        clock.lap(stage_normalise);
        return rc;
    }

    Options options_;
    detail::ResizeStep<unsigned char> bytes_;
    detail::ResizeStep<float> floats_;
    std::vector<unsigned char> planar_;
    std::vector<float> unit_, scratch_;
    std::vector<std::unique_ptr<Preparer>> helpers_;  // run_batch's other threads
};

}  // namespace prepare
}  // namespace zvt

#endif  // ZV_PT_PREPARE_HPP
