// Kernels of the weighted-tap resampling pass.  Each element type has a plain C
// reference (_c) and vector variants of identical results (_ssse3, _avx2,
// _avx512, _avx512icl, _neon); resample_kernels() picks the set for the
// running processor.
#pragma once

#include <cstdint>

#include "frame/isa.h"

namespace zv_pt {

// One pass as read from the caller's operand block.  Every step is the byte
// distance from one output element's entry to the next one's.  With shared
// taps the three tap-table steps are zero: element i then reads the same
// entries as element 0.
struct ResamplePass {
    char* dst;
    const char* src;
    const char* tap_min;        // int64: byte offset of the first tap from the element's source position
    const char* tap_count;      // int64: number of taps
    const char* weights;        // float or int16 weight runs
    const char* weight_offset;  // int64: byte offset of the element's run from weights
    int64_t dst_step;
    int64_t src_step;
    int64_t tap_min_step;
    int64_t tap_count_step;
    int64_t weight_offset_step;
    int64_t tap_stride;  // byte distance between consecutive taps of an element
    int64_t n;           // output elements, > 0
    bool shared;         // one tap-table entry serves all elements
    int shift;           // 8-bit: fraction bits of the weights, within 0..31
    int32_t half;        // 8-bit: rounding term 2^(shift-1), 0 when shift is 0
};

// The pass that the caller's operand block describes: data holds the seven
// slot pointers, strides their steps; tap_stride is the value in slot 4.
ResamplePass read_pass(char* const* data, const long* strides, int64_t tap_stride, int64_t n, unsigned int frac_bits,
                       bool per_element_taps);

// Computes all p.n output elements of one pass.
using ResampleFn = void (*)(const ResamplePass& p);

struct ResampleKernels {
    ResampleFn f32;  // float sources, float weights
    ResampleFn u8;   // byte sources, int16 weights
};

// The variants of one level; isa must be supported (isa_supported).  Without
// FMA3 an exact fused multiply-add has no vector form, so the SSSE3 set uses
// the C float kernel.
const ResampleKernels& resample_kernels(Isa isa);

inline const ResampleKernels& resample_kernels() { return resample_kernels(best_isa()); }

void resample_f32_c(const ResamplePass& p);
void resample_u8_c(const ResamplePass& p);

void resample_u8_ssse3(const ResamplePass& p);

void resample_f32_avx2(const ResamplePass& p);
void resample_u8_avx2(const ResamplePass& p);

void resample_f32_avx512(const ResamplePass& p);
void resample_u8_avx512(const ResamplePass& p);
void resample_u8_avx512icl(const ResamplePass& p);

void resample_f32_neon(const ResamplePass& p);
void resample_u8_neon(const ResamplePass& p);

}  // namespace zv_pt
