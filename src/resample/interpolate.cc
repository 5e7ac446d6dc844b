// The exported resampling pass: argument checks, the operand block, and the
// kernel of the running processor.
#include <cstdint>
#include <type_traits>

#include "resample/resample_common.h"
#include "zv_pt.h"

namespace zv_pt {

// Slots: 0 dst, 1 src, 2 tap_min, 3 tap_count, 4 tap_stride, 5 weights,
// 6 weight_offset.  Slots 4 and 5 have no step; with shared taps neither do
// 2, 3 and 6.  Fraction bits outside 1..31 break the contract; clamping them
// keeps every shift defined.
ResamplePass read_pass(char* const* data, const long* strides, int64_t tap_stride, int64_t n, unsigned int frac_bits,
                       bool per_element_taps) {
    ResamplePass p{};
    p.dst = data[0];
    p.src = data[1];
    p.tap_min = data[2];
    p.tap_count = data[3];
    p.weights = data[5];
    p.weight_offset = data[6];
    p.dst_step = strides[0];
    p.src_step = strides[1];
    if (per_element_taps) {
        p.tap_min_step = strides[2];
        p.tap_count_step = strides[3];
        p.weight_offset_step = strides[6];
    }
    p.tap_stride = tap_stride;
    p.n = n;
    p.shared = !per_element_taps;
    p.shift = frac_bits > 31 ? 31 : static_cast<int>(frac_bits);
    p.half = p.shift > 0 ? int32_t{1} << (p.shift - 1) : 0;
    return p;
}

namespace {

template <class T>
int interpolate(char** data, const long* strides, long n, unsigned int frac_bits, bool per_element_taps) {
    if (data == nullptr || strides == nullptr) return result_null_argument;
    if (data[0] == nullptr || data[1] == nullptr || data[2] == nullptr) return result_null_argument;
    const int64_t tap_stride = load<int64_t>(data[4]);
    if (n <= 0) return result_ok;

    const ResamplePass p = read_pass(data, strides, tap_stride, n, frac_bits, per_element_taps);
    const ResampleKernels& kernels = resample_kernels();
    (std::is_same_v<T, float> ? kernels.f32 : kernels.u8)(p);
    return result_ok;
}

}  // namespace
}  // namespace zv_pt

namespace zvt {

template <typename T>
int zvt_interpolate(char** data, long const* strides, long n, unsigned int frac_bits, bool per_element_taps) {
    if constexpr (std::is_same_v<T, double>) {
        (void)data, (void)strides, (void)n, (void)frac_bits, (void)per_element_taps;
        return result_unsupported_type;  // touches nothing
    } else {
        return zv_pt::interpolate<T>(data, strides, n, frac_bits, per_element_taps);
    }
}

template int zvt_interpolate<float>(char**, long const*, long, unsigned int, bool);
template int zvt_interpolate<unsigned char>(char**, long const*, long, unsigned int, bool);
template int zvt_interpolate<double>(char**, long const*, long, unsigned int, bool);

}  // namespace zvt
