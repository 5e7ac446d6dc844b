// Row kernels of the image layout and normalisation kernels.  Each has a plain
// C reference (_c) and vector variants of identical meaning (_ssse3, _avx2,
// _neon); image_kernels() picks the set for the running processor.
#pragma once

#include <cstdint>

#include "frame/isa.h"

namespace zv_pt {

// De-interleaves n pixels of 3 channels: d_c[p] = src[3p + c], for any n >= 0.
using Split3U8Fn = void (*)(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
using Split3F32Fn = void (*)(const float* src, float* d0, float* d1, float* d2, int64_t n);

// p_c[i] = (p_c[i] - mean[c]) / stdv[c] for i < n, one rounded subtraction and
// one rounded division per element, for any n >= 0.
using Normalize3F32Fn = void (*)(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3],
                                 int64_t n);

struct ImageKernels {
    Split3U8Fn split3_u8;
    Split3F32Fn split3_f32;
    Normalize3F32Fn normalize3_f32;
    // The same conversions for outputs too large to stay in the cache: where
    // the level has them, stores that write whole lines without reading them.
    Split3U8Fn split3_u8_stream;
    Split3F32Fn split3_f32_stream;
};

// The variants of one level; isa must be supported (isa_supported).
const ImageKernels& image_kernels(Isa isa);

inline const ImageKernels& image_kernels() { return image_kernels(best_isa()); }

void split3_u8_c(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void split3_f32_c(const float* src, float* d0, float* d1, float* d2, int64_t n);
void normalize3_f32_c(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n);

void split3_u8_ssse3(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void split3_f32_ssse3(const float* src, float* d0, float* d1, float* d2, int64_t n);
void normalize3_f32_ssse3(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n);

void split3_u8_avx2(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void split3_f32_avx2(const float* src, float* d0, float* d1, float* d2, int64_t n);
void normalize3_f32_avx2(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n);

void split3_u8_avx2_stream(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void split3_f32_avx2_stream(const float* src, float* d0, float* d1, float* d2, int64_t n);

void normalize3_f32_avx512(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n);

void split3_u8_neon(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n);
void split3_f32_neon(const float* src, float* d0, float* d1, float* d2, int64_t n);
void normalize3_f32_neon(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3], int64_t n);

}  // namespace zv_pt
