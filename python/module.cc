// The zv_pt Python module: libzv_pt's resize and whole preparation for numpy
// arrays and Pillow images.
//
//   zv_pt.resize(image, (width, height), filter="bilinear")
//   prep = zv_pt.Prepare(resize=256, crop=(224, 224))   # or size=(h, w)
//   tensor = prep(image)                                  # 3 x h x w float32
//   batch = prep.batch(images, threads=2)                 # N x 3 x h x w
//
// The kernels run with the interpreter lock released.  Sizes follow the
// peers: resize() takes (width, height) as Pillow's Image.resize does,
// Prepare takes (height, width) as torchvision's transforms do.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zv_pt/prepare.hpp"
#include "zv_pt/resize.hpp"

namespace py = pybind11;

namespace {

using zvt::prepare::ImageView;
using zvt::prepare::Options;
using zvt::prepare::Preparer;
using zvt::resize::Filter;
using zvt::resize::Layout;

[[noreturn]] void value_error(const std::string& message) { throw py::value_error(message); }
[[noreturn]] void type_error(const std::string& message) { throw py::type_error(message); }

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) text += (d ? ", " : "") + std::to_string(a.shape(d));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

std::string dtype_text(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

bool is_dtype(const py::array& a, char kind, py::ssize_t size) {
    const py::dtype d = a.dtype();
    return d.kind() == kind && d.itemsize() == size && d.attr("isnative").cast<bool>();
}

Filter parse_filter(const std::string& name) {
    if (name == "bilinear") return Filter::bilinear;
    if (name == "bicubic") return Filter::bicubic;
    value_error("filter must be 'bilinear' or 'bicubic', not '" + name + "'");
}

// A positive int, or a ValueError/TypeError naming `what`.
long positive(const py::handle& value, const char* what) {
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
        type_error(std::string(what) + " must be an int, not " + py::str(py::type::of(value)).cast<std::string>());
    const long v = value.cast<long>();
    if (v <= 0) value_error(std::string(what) + " must be positive, got " + std::to_string(v));
    return v;
}

// Two positive ints from a sequence of two.
std::pair<long, long> pair_of(const py::handle& value, const char* what) {
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value))
        type_error(std::string(what) + " must be a pair of ints");
    const py::sequence s = py::reinterpret_borrow<py::sequence>(value);
    if (s.size() != 2) value_error(std::string(what) + " must be a pair of ints, got " + std::to_string(s.size()) + " values");
    return {positive(s[0], what), positive(s[1], what)};
}

void triple_of(const py::handle& value, const char* what, bool nonzero, float out[3]) {
    const std::string must = std::string(what) + " must be three finite" + (nonzero ? " non-zero" : "") + " numbers";
    if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value)) type_error(must);
    const py::sequence s = py::reinterpret_borrow<py::sequence>(value);
    if (s.size() != 3) value_error(must);
    for (int c = 0; c < 3; ++c) {
        out[c] = py::float_(s[c]).cast<float>();
        if (!std::isfinite(out[c]) || (nonzero && out[c] == 0.0f)) value_error(must);
    }
}

py::array as_array(const py::handle& image) {
    if (py::isinstance<py::array>(image)) return py::reinterpret_borrow<py::array>(image);
    py::object array = py::module_::import("numpy").attr("asarray")(image);
    if (!py::isinstance<py::array>(array)) type_error("the image is not an array");
    return py::reinterpret_steal<py::array>(array.release());
}

// ---- images as the kernels read them --------------------------------------------

// Pillow keeps an RGB image at 4 bytes a pixel (R, G, B, padding), each line
// at an address of its own; the lines are packed here to 3 bytes a pixel, back
// to back; on x86-64 16 pixels a step by byte shuffles (the compiler's own
// loop takes seven times as long).
void pack_rgbx_pixels(const unsigned char* in, long width, unsigned char* out) {
    for (long x = 0; x < width; ++x, in += 4, out += 3) out[0] = in[0], out[1] = in[1], out[2] = in[2];
}

#if defined(__x86_64__)
// Four pixels' 16 bytes less every fourth byte, in the low 12 bytes.
__attribute__((target("ssse3"))) inline __m128i rgb_of_four(const unsigned char* in) {
    const __m128i drop = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), drop);
}

// Sixteen pixels a step: four 12-byte results joined into three stores.
__attribute__((target("ssse3"))) void pack_rgbx_line_ssse3(const unsigned char* in, long width, unsigned char* out) {
    long x = 0;
    for (; x + 16 <= width; x += 16, in += 64, out += 48) {
        const __m128i a = rgb_of_four(in), b = rgb_of_four(in + 16), c = rgb_of_four(in + 32), d = rgb_of_four(in + 48);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    pack_rgbx_pixels(in, width - x, out);
}

void pack_rgbx_line(const unsigned char* in, long width, unsigned char* out) {
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return pack_rgbx_line_ssse3(in, width, out);
    pack_rgbx_pixels(in, width, out);
}
#else
void pack_rgbx_line(const unsigned char* in, long width, unsigned char* out) { pack_rgbx_pixels(in, width, out); }
#endif

// An interleaved 8-bit RGB image of a Python object, kept readable while the
// interpreter lock is released: a numpy array's own pixels when its lines are
// laid out as the kernels read them, else a copy.
class Source {
public:
    explicit Source(const py::handle& image) {
        if (!from_pillow(image)) from_array(as_array(image));
    }
    Source(Source&&) = default;

    const ImageView& view() const { return view_; }

    // Packs a Pillow image's lines (after the lock was released) into `into`,
    // which must outlive the view; by default the Source's own buffer.
    void pack(std::vector<unsigned char>* into = nullptr) {
        if (lines_ == nullptr) return;
        std::vector<unsigned char>& packed = into != nullptr ? *into : packed_;
        packed.resize(static_cast<size_t>(3 * view_.width * view_.height));
        for (long y = 0; y < view_.height; ++y) pack_rgbx_line(lines_[y], view_.width, packed.data() + 3 * view_.width * y);
        view_ = ImageView(packed.data(), view_.width, view_.height);
        lines_ = nullptr;
    }

private:
    // An RGB Pillow image, through its line pointers: the array interface
    // would copy it through a bytes object first, which takes longer than
    // preparing it.  Pillows without the pointers take the array route.
    bool from_pillow(const py::handle& image) {
        const py::handle type = py::type::of(image);
        if (!py::hasattr(type, "__module__") || type.attr("__module__").cast<std::string>().rfind("PIL.", 0) != 0 ||
            !py::hasattr(image, "load") || !py::hasattr(image, "mode") || image.attr("mode").cast<std::string>() != "RGB")
            return false;
        image.attr("load")();
        const py::object core = image.attr("im");
        if (!py::hasattr(core, "unsafe_ptrs")) return false;
        for (const py::handle entry : core.attr("unsafe_ptrs")) {
            const py::tuple named = py::reinterpret_borrow<py::tuple>(entry);
            if (named[0].cast<std::string>() == "image") lines_ = reinterpret_cast<const unsigned char* const*>(named[1].cast<uintptr_t>());
        }
        if (lines_ == nullptr) return false;
        const auto size = image.attr("size").cast<std::pair<long, long>>();
        if (size.first <= 0 || size.second <= 0) value_error("the image is empty (" + std::to_string(size.first) + "x" + std::to_string(size.second) + ")");
        view_.width = size.first;
        view_.height = size.second;
        owner_ = py::reinterpret_borrow<py::object>(image);
        return true;
    }

    void from_array(py::array a) {
        if (!is_dtype(a, 'u', 1))
            type_error("the image must be uint8, not " + dtype_text(a));
        if (a.ndim() != 3)
            value_error("the image must be H x W x 3 (RGB), got a " + std::to_string(a.ndim()) + "-D array of shape " + shape_text(a));
        if (a.shape(2) != 3)
            value_error("the image must have 3 channels (RGB), got " + std::to_string(a.shape(2)) + " in shape " + shape_text(a));
        if (a.shape(0) == 0 || a.shape(1) == 0) value_error("the image is empty, shape " + shape_text(a));
        const long width = static_cast<long>(a.shape(1)), height = static_cast<long>(a.shape(0));
        // Lines apart are fine (a crop of a larger array); anything else is copied.
        if (a.strides(2) != 1 || a.strides(1) != 3 || a.strides(0) < 3 * width)
            a = py::array::ensure(a, py::array::c_style);
        view_ = ImageView(static_cast<const unsigned char*>(a.data()), width, height, static_cast<long>(a.strides(0)));
        owner_ = std::move(a);
    }

    ImageView view_;
    py::object owner_;
    const unsigned char* const* lines_ = nullptr;
    std::vector<unsigned char> packed_;
};

// A float32 array of `shape`, or the given `out` when it is one.
py::array_t<float> output(const py::object& out, const std::vector<py::ssize_t>& shape) {
    if (out.is_none()) return py::array_t<float>(shape);
    if (!py::isinstance<py::array>(out)) type_error("out must be a numpy array, not " + py::str(py::type::of(out)).cast<std::string>());
    const py::array a = py::reinterpret_borrow<py::array>(out);
    if (!is_dtype(a, 'f', 4)) type_error("out must be float32, not " + dtype_text(a));
    std::string want = "(";
    for (size_t d = 0; d < shape.size(); ++d) want += (d ? ", " : "") + std::to_string(shape[d]);
    want += ")";
    if (a.ndim() != static_cast<py::ssize_t>(shape.size()) || !std::equal(shape.begin(), shape.end(), a.shape()))
        value_error("out must have shape " + want + ", not " + shape_text(a));
    if (!(a.flags() & py::array::c_style)) value_error("out must be C-contiguous");
    if (!a.writeable()) value_error("out is read-only");
    return py::reinterpret_borrow<py::array_t<float>>(out);
}

// ---- zv_pt.resize ------------------------------------------------------------------

py::array resize_bytes(py::array a, long out_w, long out_h, Filter filter) {
    const long w = static_cast<long>(a.shape(1)), h = static_cast<long>(a.shape(0));
    if (a.strides(2) != 1 || a.strides(1) != 3 || a.strides(0) < 3 * w) a = py::array::ensure(a, py::array::c_style);
    py::array_t<unsigned char> result({out_h, out_w, 3L});
    const auto* src = static_cast<const unsigned char*>(a.data());
    const long pitch = static_cast<long>(a.strides(0));
    unsigned char* dst = result.mutable_data();
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = zvt::resize::Resizer<unsigned char>(w, h, out_w, out_h, Layout::interleaved, filter).run(src, pitch, dst, 3 * out_w);
    }
    if (rc != result_ok) throw std::runtime_error("zv_pt.resize: the library returned result " + std::to_string(rc));
    return std::move(result);
}

py::array resize_floats(py::array a, long out_w, long out_h, Filter filter) {
    const long w = static_cast<long>(a.shape(2)), h = static_cast<long>(a.shape(1));
    // Planes must lie height lines apart; lines may be further apart than a line.
    const py::ssize_t line = a.strides(1);
    if (a.strides(2) != 4 || line % 4 != 0 || line < 4 * w || a.strides(0) != line * h)
        a = py::array::ensure(a, py::array::c_style);
    py::array_t<float> result({3L, out_h, out_w});
    const auto* src = static_cast<const float*>(a.data());
    const long pitch = static_cast<long>(a.strides(1) / 4);
    float* dst = result.mutable_data();
    int rc;
    {
        py::gil_scoped_release unlocked;
        rc = zvt::resize::Resizer<float>(w, h, out_w, out_h, Layout::planar, filter).run(src, pitch, dst, out_w);
    }
    if (rc != result_ok) throw std::runtime_error("zv_pt.resize: the library returned result " + std::to_string(rc));
    return std::move(result);
}

py::array resize(const py::object& image, const py::object& size, const std::string& filter_name) {
    const Filter filter = parse_filter(filter_name);
    const auto [out_w, out_h] = pair_of(size, "size");
    const py::array a = as_array(image);
    const bool bytes = is_dtype(a, 'u', 1), floats = is_dtype(a, 'f', 4);
    if (!bytes && !floats) type_error("the image must be uint8 (H x W x 3) or float32 (3 x H x W), not " + dtype_text(a));
    if (a.ndim() != 3)
        value_error("the image must be " + std::string(bytes ? "H x W x 3" : "3 x H x W") + ", got a " +
                    std::to_string(a.ndim()) + "-D array of shape " + shape_text(a));
    if (a.shape(bytes ? 2 : 0) != 3)
        value_error(std::string(bytes ? "a uint8 image must be H x W x 3" : "a float32 image must be 3 x H x W") +
                    " (3 channels), got shape " + shape_text(a));
    if (a.size() == 0) value_error("the image is empty, shape " + shape_text(a));
    return bytes ? resize_bytes(a, out_w, out_h, filter) : resize_floats(a, out_w, out_h, filter);
}

// ---- zv_pt.Prepare -----------------------------------------------------------------

// A Preparer serves one thread at a time: each call takes one from the pool
// (or makes one) and gives it back, so that Python threads calling the same
// Prepare run in parallel, each with its plans kept from call to call.
class Pool {
public:
    explicit Pool(const Options& options) : options_(options) {}

    class Lease {
    public:
        Lease(Pool& pool, std::unique_ptr<Preparer> p) : pool_(pool), prep_(std::move(p)) {}
        ~Lease() { pool_.give_back(std::move(prep_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Preparer& operator*() { return *prep_; }

    private:
        Pool& pool_;
        std::unique_ptr<Preparer> prep_;
    };

    Lease take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                auto p = std::move(idle_.back());
                idle_.pop_back();
                return Lease(*this, std::move(p));
            }
        }
        return Lease(*this, std::make_unique<Preparer>(options_));
    }

private:
    void give_back(std::unique_ptr<Preparer> p) {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(p));
    }

    Options options_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Preparer>> idle_;
};

class Prepare {
public:
    Prepare(const py::object& size, const py::object& resize, const py::object& crop, const py::object& mean,
            const py::object& stdev, const std::string& filter)
        : Prepare(make_options(size, resize, crop, mean, stdev, filter)) {}
    explicit Prepare(const Options& options) : options_(options), pool_(options_) {}

    py::array call(const py::handle& image, const py::object& out) {
        Source source(image);
        const zvt::prepare::Geometry g = geometry(source.view());
        py::array_t<float> tensor = output(out, {3, g.out_h, g.out_w});
        float* data = tensor.mutable_data();
        int rc;
        {
            py::gil_scoped_release unlocked;
            // A thread's calls reuse one buffer: a new one of a frame's size
            // would be paged in afresh every call.
            thread_local std::vector<unsigned char> packed;
            source.pack(&packed);
            auto prep = pool_.take();
            rc = (*prep).run(source.view(), data);
        }
        check(rc);
        return std::move(tensor);
    }

    py::array batch(const py::iterable& images, int threads, const py::object& out) {
        if (threads < 1) value_error("threads must be 1 or more, got " + std::to_string(threads));
        std::vector<Source> sources;
        for (const py::handle image : images) sources.emplace_back(image);
        if (sources.empty()) value_error("batch() needs at least one image");
        const zvt::prepare::Geometry first = geometry(sources[0].view());
        for (size_t i = 1; i < sources.size(); ++i) {
            const zvt::prepare::Geometry g = geometry(sources[i].view());
            if (g.out_w != first.out_w || g.out_h != first.out_h)
                value_error("image " + std::to_string(i) + " gives a tensor of " + std::to_string(g.out_h) + " x " +
                            std::to_string(g.out_w) + ", image 0 one of " + std::to_string(first.out_h) + " x " +
                            std::to_string(first.out_w) + " (give a crop or a size)");
        }
        const auto n = static_cast<py::ssize_t>(sources.size());
        py::array_t<float> result = output(out, {n, 3, first.out_h, first.out_w});
        float* data = result.mutable_data();
        int rc;
        {
            py::gil_scoped_release unlocked;
            std::vector<ImageView> views;
            for (Source& s : sources) {
                s.pack();
                views.push_back(s.view());
            }
            auto prep = pool_.take();
            rc = (*prep).run_batch(views.data(), views.size(), data, threads);
        }
        check(rc);
        return std::move(result);
    }

    py::object size() const {
        if (options_.shorter > 0 && !options_.crop) return py::none();
        return py::make_tuple(options_.height, options_.width);
    }

    // Pickling (a DataLoader's spawned workers get their transform so).
    py::tuple state() const {
        const Options& o = options_;
        return py::make_tuple(o.width, o.height, o.shorter, o.crop, py::make_tuple(o.mean[0], o.mean[1], o.mean[2]),
                              py::make_tuple(o.std[0], o.std[1], o.std[2]), o.filter == Filter::bicubic ? "bicubic" : "bilinear");
    }

    static std::unique_ptr<Prepare> from_state(const py::tuple& t) {
        if (t.size() != 7) value_error("not a pickled zv_pt.Prepare");
        Options o;
        o.width = t[0].cast<long>();
        o.height = t[1].cast<long>();
        o.shorter = t[2].cast<long>();
        o.crop = t[3].cast<bool>();
        triple_of(t[4], "mean", false, o.mean);
        triple_of(t[5], "std", true, o.std);
        o.filter = parse_filter(t[6].cast<std::string>());
        zvt::prepare::Preparer check(o);  // throws for options no constructor would give
        return std::make_unique<Prepare>(o);
    }

    std::string repr() const {
        std::string text = "zv_pt.Prepare(";
        if (options_.shorter > 0) {
            text += "resize=" + std::to_string(options_.shorter);
            if (options_.crop) text += ", crop=(" + std::to_string(options_.height) + ", " + std::to_string(options_.width) + ")";
        } else {
            text += "size=(" + std::to_string(options_.height) + ", " + std::to_string(options_.width) + ")";
        }
        const auto triple = [](const float v[3]) {
            char text[96];
            std::snprintf(text, sizeof text, "(%.7g, %.7g, %.7g)", v[0], v[1], v[2]);
            return std::string(text);
        };
        text += ", mean=" + triple(options_.mean) + ", std=" + triple(options_.std);
        return text + ", filter='" + (options_.filter == Filter::bicubic ? "bicubic" : "bilinear") + "')";
    }

private:
    static Options make_options(const py::object& size, const py::object& resize, const py::object& crop,
                                const py::object& mean, const py::object& stdev, const std::string& filter) {
        Options o;
        if (size.is_none() == resize.is_none()) value_error("give either size=(height, width) or resize=n");
        if (!crop.is_none() && resize.is_none()) value_error("crop= needs resize=n (Resize(n), then CenterCrop)");
        if (!size.is_none()) {
            if (py::isinstance<py::int_>(size))
                type_error("size is (height, width); for torchvision's Resize(n) give resize=n");
            std::tie(o.height, o.width) = pair_of(size, "size");
        } else {
            o.shorter = positive(resize, "resize");
            if (!crop.is_none()) {
                if (py::isinstance<py::int_>(crop)) o.width = o.height = positive(crop, "crop");
                else std::tie(o.height, o.width) = pair_of(crop, "crop");
                o.crop = true;
            }
        }
        if (!mean.is_none()) triple_of(mean, "mean", false, o.mean);
        if (!stdev.is_none()) triple_of(stdev, "std", true, o.std);
        o.filter = parse_filter(filter);
        return o;
    }

    zvt::prepare::Geometry geometry(const ImageView& v) const {
        try {
            return zvt::prepare::plan_geometry(options_, v.width, v.height);
        } catch (const std::length_error&) {
            value_error("the resized image of a " + std::to_string(v.width) + "x" + std::to_string(v.height) +
                        " image would be too large");
        }
    }

    static void check(int rc) {
        if (rc != result_ok) throw std::runtime_error("zv_pt.Prepare: the library returned result " + std::to_string(rc));
    }

    Options options_;
    Pool pool_;
};

}  // namespace

PYBIND11_MODULE(zv_pt, m) {
    m.doc() = "libzv_pt for Python: antialiased resizing and torchvision's preprocessing, fast.";
    m.attr("__version__") = ZV_PT_VERSION;

    m.def("resize", &resize, py::arg("image"), py::arg("size"), py::arg("filter") = "bilinear",
          R"(Resizes an image with antialiasing, as the peers do.

image: an H x W x 3 uint8 array (the result equals Pillow's Image.resize
within one grey level) or a 3 x H x W float32 array (equal to
torch.nn.functional.interpolate(..., antialias=True) within 1e-4).
size: (width, height) of the result, as Pillow's.  filter: 'bilinear' or
'bicubic'.  Returns a new array of the input's layout and dtype.)");

    py::class_<Prepare>(m, "Prepare", R"(torchvision's preprocessing of an RGB image in one call:

  Prepare(size=(h, w))               Compose([Resize((h, w)), ToTensor(), Normalize(mean, std)])
  Prepare(resize=n, crop=(h, w))     Compose([Resize(n), CenterCrop((h, w)), ToTensor(), Normalize(mean, std)])
  Prepare(resize=n)                  Compose([Resize(n), ToTensor(), Normalize(mean, std)])

mean and std default to ImageNet's; filter is 'bilinear' or 'bicubic'
(antialiased).  Calling it on an H x W x 3 uint8 image (a numpy array, a
Pillow RGB image, anything with the array interface) gives the 3 x h x w
float32 tensor, equal to torchvision's within 0.02.  The resize is planned
once per input size and reused.  Safe to call from several threads at once.)")
        .def(py::init<py::object, py::object, py::object, py::object, py::object, std::string>(),
             py::arg("size") = py::none(), py::kw_only(), py::arg("resize") = py::none(), py::arg("crop") = py::none(),
             py::arg("mean") = py::none(), py::arg("std") = py::none(), py::arg("filter") = "bilinear")
        .def("__call__", &Prepare::call, py::arg("image"), py::kw_only(), py::arg("out") = py::none(),
             "The 3 x h x w float32 tensor of an image; out= a C-contiguous float32 array of that shape to write it into.")
        .def("batch", &Prepare::batch, py::arg("images"), py::kw_only(), py::arg("threads") = 1,
             py::arg("out") = py::none(),
             "The N x 3 x h x w tensors of N images that give tensors of one size, each image whole on one of\n"
             "`threads` threads: the same bits for every thread count.")
        .def_property_readonly("size", &Prepare::size, "(height, width) of the tensors; None when it follows the image's aspect")
        .def("__repr__", &Prepare::repr)
        .def(py::pickle([](const Prepare& p) { return p.state(); },
                        [](const py::tuple& t) { return Prepare::from_state(t); }));
}
