// Resizes behind C functions, so that a Python script can time the library's
// whole resize through ctypes in the same process and with the same clock as
// its peers: a zvt::resize::Resizer planned once and run per call, as an
// application would use it; the same resize with tables a host builds the way
// a tensor framework's separable resize does; and a plain read of a buffer,
// the memory floor of a pass over it.
#include <emmintrin.h>

#include <cstdint>
#include <exception>
#include <vector>

#include "zv_pt/resize.hpp"

#define ZV_PT_SHIM_API extern "C" __attribute__((visibility("default")))

namespace {

using zvt::resize::AxisTaps;
using zvt::resize::Filter;
using zvt::resize::Layout;

struct Shim {
    virtual ~Shim() = default;
    virtual int run(const void* src, void* dst) = 0;
};

template <class T>
struct PlannedShim : Shim {
    PlannedShim(long in_w, long in_h, long out_w, long out_h, Layout layout, Filter filter, int threads)
        : resizer(in_w, in_h, out_w, out_h, layout, filter,
                  {zvt::resize::Order::automatic, zvt::resize::Mapping::automatic, threads}) {}

    int run(const void* src, void* dst) override {
        return resizer.run(static_cast<const T*>(src), static_cast<T*>(dst));
    }

    zvt::resize::Resizer<T> resizer;
};

template <class T>
char* bytes(const T* p) {
    return const_cast<char*>(reinterpret_cast<const char*>(p));
}

// A planar resize as a tensor framework lays its separable passes on a
// per-axis kernel: the horizontal pass one call per output line of a plane,
// every element with its own taps (strides[1] = 0, tap offsets from the line
// start, contiguous taps); the vertical pass one call per output line, the
// line's taps shared, one line apart.  The passes come in the order the
// planner takes for the same resize, so the two differ only in their calls.
template <class T>
class HostTablesShim : public Shim {
    using Weight = std::conditional_t<std::is_same_v<T, float>, float, int16_t>;

public:
    HostTablesShim(long in_w, long in_h, long out_w, long out_h, Filter filter)
        : x_(zvt::resize::make_axis_taps(in_w, out_w, filter)), y_(zvt::resize::make_axis_taps(in_h, out_h, filter)) {
        const zvt::resize::Resizer<T> planner(in_w, in_h, out_w, out_h, Layout::planar, filter);
        horizontal_first_ = planner.passes().empty() || planner.passes()[0].axis() == zvt::resize::Axis::horizontal;
        for (long x = 0; x < out_w; ++x) {
            x_min_.push_back(x_.first[x] * long{sizeof(T)});
            x_offset_.push_back(x_.offset[x] * long{sizeof(Weight)});
        }
        for (int64_t offset : y_.offset) y_offset_.push_back(offset * long{sizeof(Weight)});
        const long mid_w = horizontal_first_ ? out_w : in_w, mid_h = horizontal_first_ ? in_h : out_h;
        intermediate_.resize(static_cast<size_t>(3 * mid_w * mid_h));
    }

    int run(const void* src_bytes, void* dst_bytes) override {
        const T* src = static_cast<const T*>(src_bytes);
        T* dst = static_cast<T*>(dst_bytes);
        T* mid = intermediate_.data();
        if (horizontal_first_) {
            if (int rc = horizontal(src, mid, y_.in_size)) return rc;
            return vertical(mid, x_.out_size, dst);
        }
        if (int rc = vertical(src, x_.in_size, mid)) return rc;
        return horizontal(mid, dst, y_.out_size);
    }

private:
    int call(char** data, const long* strides, long n, bool per_element, unsigned frac_bits) const {
        return zvt::zvt_interpolate<T>(data, strides, n, frac_bits, per_element);
    }

    const Weight* weights(const AxisTaps& t) const {
        if constexpr (std::is_same_v<T, float>)
            return t.weights.data();
        else
            return t.fixed.data();
    }

    // lines of x_.in_size elements (all three planes) to lines of x_.out_size.
    int horizontal(const T* src, T* dst, long lines_per_plane) const {
        const int64_t tap_stride = sizeof(T);
        char* data[7] = {nullptr, nullptr, bytes(x_min_.data()), bytes(x_.count.data()), bytes(&tap_stride),
                         bytes(weights(x_)), bytes(x_offset_.data())};
        const long strides[7] = {sizeof(T), 0, 8, 8, 0, 0, 8};
        for (long line = 0; line < 3 * lines_per_plane; ++line) {
            data[0] = bytes(dst + line * x_.out_size);
            data[1] = bytes(src + line * x_.in_size);
            if (int rc = call(data, strides, x_.out_size, true, x_.frac_bits)) return rc;
        }
        return 0;
    }

    // Three planes of width x y_.in_size to width x y_.out_size.
    int vertical(const T* src, long width, T* dst) const {
        const int64_t tap_stride = width * long{sizeof(T)};
        const int64_t no_offset = 0;
        const long strides[7] = {sizeof(T), sizeof(T), 0, 0, 0, 0, 0};
        for (long plane = 0; plane < 3; ++plane)
            for (long y = 0; y < y_.out_size; ++y) {
                char* data[7] = {bytes(dst + (plane * y_.out_size + y) * width),
                                 bytes(src + (plane * y_.in_size + y_.first[y]) * width),
                                 bytes(&no_offset),
                                 bytes(&y_.count[y]),
                                 bytes(&tap_stride),
                                 bytes(weights(y_)),
                                 bytes(&y_offset_[y])};
                if (int rc = call(data, strides, width, false, y_.frac_bits)) return rc;
            }
        return 0;
    }

    AxisTaps x_, y_;
    bool horizontal_first_;
    std::vector<int64_t> x_min_, x_offset_, y_offset_;
    std::vector<T> intermediate_;
};

}  // namespace

// A resizer of contiguous 3-channel images (float, or bytes when eight_bit),
// interleaved or planar, bilinear or bicubic, running on `threads` threads;
// with host_tables (planar only) the framework-style tables instead of the
// planner.  Null if the sizes are refused.
ZV_PT_SHIM_API void* zv_pt_shim_create(int eight_bit, int planar, int bicubic, long in_w, long in_h, long out_w,
                                       long out_h, int threads, int host_tables) {
    const Layout layout = planar ? Layout::planar : Layout::interleaved;
    const Filter filter = bicubic ? Filter::bicubic : Filter::bilinear;
    try {
        if (host_tables) {
            if (!planar) return nullptr;
            if (eight_bit) return new HostTablesShim<unsigned char>(in_w, in_h, out_w, out_h, filter);
            return new HostTablesShim<float>(in_w, in_h, out_w, out_h, filter);
        }
        if (eight_bit) return new PlannedShim<unsigned char>(in_w, in_h, out_w, out_h, layout, filter, threads);
        return new PlannedShim<float>(in_w, in_h, out_w, out_h, layout, filter, threads);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Resizes src into dst; the library's result code.
ZV_PT_SHIM_API int zv_pt_shim_run(void* shim, const void* src, void* dst) {
    return static_cast<Shim*>(shim)->run(src, dst);
}

ZV_PT_SHIM_API void zv_pt_shim_destroy(void* shim) { delete static_cast<Shim*>(shim); }

// One plain vectorised read of `bytes` bytes: their sum as 64-bit words in
// eight independent lanes (four 128-bit accumulators), the rest byte by byte.
ZV_PT_SHIM_API uint64_t zv_pt_shim_read(const void* src, size_t bytes) {
    const char* p = static_cast<const char*>(src);
    __m128i acc[4] = {};
    size_t i = 0;
    for (; i + 64 <= bytes; i += 64)
        for (int k = 0; k < 4; ++k)
            acc[k] = _mm_add_epi64(acc[k], _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k)));
    uint64_t lanes[8];
    for (int k = 0; k < 4; ++k) _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2 * k), acc[k]);
    uint64_t sum = 0;
    for (uint64_t lane : lanes) sum += lane;
    for (; i < bytes; ++i) sum += static_cast<unsigned char>(p[i]);
    return sum;
}
