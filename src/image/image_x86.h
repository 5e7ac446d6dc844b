// Loops shared by the SSSE3 and AVX2 image kernels, written once over an "ops"
// struct that each level's file defines for its register width: 128-bit
// registers hold one block, 256-bit registers two blocks side by side (the
// byte and float shuffles work within 128-bit lanes).  Everything has internal
// linkage, so each level compiles its own copy with its own flags.  Each loop
// returns how many pixels or elements it did; the caller finishes the rest.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "image/image_kernels.h"

namespace zv_pt {
namespace {

// pshufb control that moves channel `channel` of 16 pixels out of the 16-byte
// part `part` (0..2) of their 48 interleaved bytes, repeated in every 128-bit
// lane; -128 zeroes a lane.
template <class Bytes>
Bytes gather_mask(int channel, int part) {
    alignas(sizeof(Bytes)) int8_t lane[sizeof(Bytes)];
    for (int k = 0; k < int{sizeof(Bytes)}; ++k) {
        const int byte = 3 * (k % 16) + channel - 16 * part;
        lane[k] = static_cast<int8_t>(byte >= 0 && byte < 16 ? byte : -128);
    }
    Bytes mask;
    __builtin_memcpy(&mask, lane, sizeof mask);
    return mask;
}

template <class Ops>
int64_t split3_u8_blocks(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    using Bytes = typename Ops::Bytes;
    constexpr int64_t step = sizeof(Bytes);  // pixels per step
    Bytes mask[3][3];
    for (int c = 0; c < 3; ++c)
        for (int part = 0; part < 3; ++part) mask[c][part] = gather_mask<Bytes>(c, part);
    uint8_t* const dst[3] = {d0, d1, d2};

    int64_t p = 0;
    for (; p + step <= n; p += step) {
        const uint8_t* in = src + 3 * p;
        const Bytes v[3] = {Ops::load_blocks(in), Ops::load_blocks(in + 16), Ops::load_blocks(in + 32)};
        for (int c = 0; c < 3; ++c)
            Ops::store(dst[c] + p, Ops::merge(Ops::shuffle(v[0], mask[c][0]), Ops::shuffle(v[1], mask[c][1]),
                                              Ops::shuffle(v[2], mask[c][2])));
    }
    return p;
}

template <class Ops>
int64_t split3_f32_blocks(const float* src, float* d0, float* d1, float* d2, int64_t n) {
    constexpr int64_t step = sizeof(typename Ops::Floats) / sizeof(float);
    int64_t p = 0;
    for (; p + step <= n; p += step) {
        // per block of 4 pixels: a = r0 g0 b0 r1, b = g1 b1 r2 g2, c = b2 r3 g3 b3
        const float* in = src + 3 * p;
        const auto a = Ops::load_blocks(in), b = Ops::load_blocks(in + 4), c = Ops::load_blocks(in + 8);
        using O = Ops;
        Ops::store(d0 + p, O::template shuffle<2, 0, 3, 0>(a, O::template shuffle<1, 1, 2, 2>(b, c)));
        Ops::store(d1 + p, O::template shuffle<2, 0, 2, 0>(O::template shuffle<0, 0, 1, 1>(a, b),
                                                           O::template shuffle<2, 2, 3, 3>(b, c)));
        Ops::store(d2 + p, O::template shuffle<3, 0, 2, 0>(O::template shuffle<1, 1, 2, 2>(a, b), c));
    }
    return p;
}

template <class Ops>
int64_t normalize3_f32_blocks(float* p0, float* p1, float* p2, const float mean[3], const float stdv[3],
                              int64_t n) {
    using Floats = typename Ops::Floats;
    constexpr int64_t step = sizeof(Floats) / sizeof(float);
    float* const plane[3] = {p0, p1, p2};
    const Floats m[3] = {Ops::broadcast(mean[0]), Ops::broadcast(mean[1]), Ops::broadcast(mean[2])};
    const Floats s[3] = {Ops::broadcast(stdv[0]), Ops::broadcast(stdv[1]), Ops::broadcast(stdv[2])};
    int64_t i = 0;
    for (; i + step <= n; i += step)
        for (int c = 0; c < 3; ++c)
            Ops::store(plane[c] + i, Ops::div(Ops::sub(Ops::load(plane[c] + i), m[c]), s[c]));
    return i;
}

}  // namespace
}  // namespace zv_pt
