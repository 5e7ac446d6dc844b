// A zvt::resize::Resizer behind C functions, so that a Python script can time
// the library's whole resize through ctypes in the same process and with the
// same clock as its peers.  A resizer is planned once and run per call, as an
// application would use it.
#include <exception>

#include "zv_pt/resize.hpp"

#define ZV_PT_SHIM_API extern "C" __attribute__((visibility("default")))

namespace {

using zvt::resize::Filter;
using zvt::resize::Layout;

struct Shim {
    virtual ~Shim() = default;
    virtual int run(const void* src, void* dst) = 0;
};

template <class T>
struct TypedShim : Shim {
    TypedShim(long in_w, long in_h, long out_w, long out_h, Layout layout, Filter filter)
        : resizer(in_w, in_h, out_w, out_h, layout, filter) {}

    int run(const void* src, void* dst) override {
        return resizer.run(static_cast<const T*>(src), static_cast<T*>(dst));
    }

    zvt::resize::Resizer<T> resizer;
};

}  // namespace

// A resizer of contiguous 3-channel images (float, or bytes when eight_bit),
// interleaved or planar, bilinear or bicubic; null if the sizes are refused.
ZV_PT_SHIM_API void* zv_pt_shim_create(int eight_bit, int planar, int bicubic, long in_w, long in_h, long out_w,
                                       long out_h) {
    const Layout layout = planar ? Layout::planar : Layout::interleaved;
    const Filter filter = bicubic ? Filter::bicubic : Filter::bilinear;
    try {
        if (eight_bit) return new TypedShim<unsigned char>(in_w, in_h, out_w, out_h, layout, filter);
        return new TypedShim<float>(in_w, in_h, out_w, out_h, layout, filter);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Resizes src into dst; the library's result code.
ZV_PT_SHIM_API int zv_pt_shim_run(void* shim, const void* src, void* dst) {
    return static_cast<Shim*>(shim)->run(src, dst);
}

ZV_PT_SHIM_API void zv_pt_shim_destroy(void* shim) { delete static_cast<Shim*>(shim); }
