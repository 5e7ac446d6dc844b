/*
 * libzv_pt: preparation of 3-channel images for a tensor pipeline.
 *
 * Interleaved-to-planar conversion, per-channel normalisation, one weighted-tap
 * resampling pass, and an embedded-Python bridge that sets PyTorch's thread
 * count.  Every buffer belongs to the caller; the library allocates nothing,
 * keeps no state and never prints.  Every kernel answers with a result code.
 */
#ifndef ZV_PT_H
#define ZV_PT_H

#if defined(_WIN32)
#define ZV_PT_API
#else
#define ZV_PT_API __attribute__((visibility("default")))
#endif

/* Result codes of the kernels.  The values are the interface. */
enum zv_pt_result {
    result_ok = 0,                  /* the call did its work */
    result_null_argument = 1,       /* a tested pointer was null; nothing was written */
    result_zero_count = 2,          /* the element count is not positive; nothing was written */
    result_zero_std = 3,            /* a standard deviation equals zero; nothing was written */
    result_unsupported_order = 100, /* order is not {2, 0, 1}; the planar image was written all the same */
    result_unsupported_type = 101   /* no resampling kernel for this element type; nothing was touched */
};

#ifdef __cplusplus
extern "C" {
#endif

/* Embedded interpreter bridge (callable from C). */
ZV_PT_API void initialize_python(void); /* starts the interpreter; harmless if one runs */
ZV_PT_API void finalize_python(void);   /* ends the interpreter; harmless if none runs */
ZV_PT_API void setT(void);              /* sets PyTorch's thread count to 48 */

#ifdef __cplusplus
} /* extern "C" */

/*
 * Interleaved (HWC) to planar (CHW) conversion of a 3-channel image.
 * shape[0] * shape[1] pixels are read from src (3 elements each) and written to
 * dst as three consecutive planes.  order must be {2, 0, 1}; any other order
 * still produces the planar image and returns result_unsupported_order.  The
 * fifth argument is ignored.  Returns result_null_argument if src, dst, shape
 * or order is null.
 */
ZV_PT_API int zv_permute_hwc_chw(unsigned char* src, unsigned char* dst, int* shape, int* order, int);
ZV_PT_API int zv_permute_hwc_chw_float32(float* src, float* dst, int* shape, int* order, int);

/*
 * In-place normalisation of a planar 3-channel float image of count elements per
 * plane: data[c*count + i] = (data[c*count + i] - mean[c]) / std[c].
 * scratch (3 * count floats, laid out like data) receives the differences of the
 * few trailing elements that do not fill a 4-element block; the rest of it is
 * left alone.  Returns result_null_argument, result_zero_std, result_zero_count
 * (count <= 0) or result_ok.
 */
ZV_PT_API int zv_normalize_float32(float* data, float* mean, float* std, float* scratch, int count);

namespace zvt {

/*
 * One weighted-tap resampling pass along one axis.
 *
 * data holds seven byte pointers: dst, src, tap_min, tap_count, tap_stride,
 * weights, weight_offset; strides[k] is the byte step of slot k from one output
 * element to the next (slots 4 and 5 have none).  With per_element_taps false,
 * one tap-table entry serves all n elements.  Output element i is
 *     sum_j weight[j] * src[i*strides[1] + tap_min + j*tap_stride]
 * over its tap_count taps: in float, a fused multiply-add per tap from +0.0; in
 * 8-bit, 16-bit weights with frac_bits fraction bits, rounded to nearest and
 * clamped to 0..255.  The double instantiation returns result_unsupported_type.
 */
template <typename T>
ZV_PT_API int zvt_interpolate(char** data, long const* strides, long n, unsigned int frac_bits, bool per_element_taps);

extern template ZV_PT_API int zvt_interpolate<float>(char**, long const*, long, unsigned int, bool);
extern template ZV_PT_API int zvt_interpolate<unsigned char>(char**, long const*, long, unsigned int, bool);
extern template ZV_PT_API int zvt_interpolate<double>(char**, long const*, long, unsigned int, bool);

/* Sets PyTorch's thread count through the embedded interpreter (calls setT). */
ZV_PT_API void init();

} /* namespace zvt */

#endif /* __cplusplus */

#endif /* ZV_PT_H */
