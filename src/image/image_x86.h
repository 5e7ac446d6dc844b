// Loops shared by the SSSE3 and AVX2 image kernels, written once over an "ops"
// struct that each level's file defines for its register width: 128-bit
// registers hold one block, 256-bit registers two blocks side by side (the
// byte and float shuffles work within 128-bit lanes).  Everything has internal
// linkage, so each level compiles its own copy with its own flags.  Each loop
// returns how many pixels or elements it did; the caller finishes the rest.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <type_traits>

#include "image/image_kernels.h"

namespace zv_pt {
namespace {

// pshufb controls that move channel c of 16 pixels out of the 16-byte part
// `part` (0..2) of their 48 interleaved bytes, for two 128-bit lanes; -128
// zeroes a lane.  A constant table, so that no call spends time building it.
struct GatherMasks {
    alignas(32) int8_t lane[3][3][32];
};

constexpr GatherMasks make_gather_masks() {
    GatherMasks m{};
    for (int c = 0; c < 3; ++c)
        for (int part = 0; part < 3; ++part)
            for (int k = 0; k < 32; ++k) {
                const int byte = 3 * (k % 16) + c - 16 * part;
                m.lane[c][part][k] = static_cast<int8_t>(byte >= 0 && byte < 16 ? byte : -128);
            }
    return m;
}

constexpr GatherMasks kGatherMasks = make_gather_masks();

template <class Bytes>
Bytes gather_mask(int channel, int part) {
    Bytes mask;
    __builtin_memcpy(&mask, kGatherMasks.lane[channel][part], sizeof mask);
    return mask;
}

// One step: the three planes of sizeof(register) bytes' worth of pixels.
template <class Ops>
struct Bytes3 {
    using Bytes = typename Ops::Bytes;
    Bytes mask[3][3];
    Bytes3() {
        for (int c = 0; c < 3; ++c)
            for (int part = 0; part < 3; ++part) mask[c][part] = gather_mask<Bytes>(c, part);
    }
    void operator()(const uint8_t* in, Bytes plane[3]) const {
        const Bytes v[3] = {Ops::load_blocks(in), Ops::load_blocks(in + 16), Ops::load_blocks(in + 32)};
        for (int c = 0; c < 3; ++c)
            plane[c] = Ops::merge(Ops::shuffle(v[0], mask[c][0]), Ops::shuffle(v[1], mask[c][1]),
                                  Ops::shuffle(v[2], mask[c][2]));
    }
};

template <class Ops>
struct Floats3 {
    using Floats = typename Ops::Floats;
    void operator()(const float* in, Floats plane[3]) const {
        // per block of 4 pixels: a = r0 g0 b0 r1, b = g1 b1 r2 g2, c = b2 r3 g3 b3
        using O = Ops;
        const Floats a = O::load_blocks(in), b = O::load_blocks(in + 4), c = O::load_blocks(in + 8);
        plane[0] = O::template shuffle<2, 0, 3, 0>(a, O::template shuffle<1, 1, 2, 2>(b, c));
        plane[1] = O::template shuffle<2, 0, 2, 0>(O::template shuffle<0, 0, 1, 1>(a, b),
                                                   O::template shuffle<2, 2, 3, 3>(b, c));
        plane[2] = O::template shuffle<3, 0, 2, 0>(O::template shuffle<1, 1, 2, 2>(a, b), c);
    }
};

template <class T, class Ops>
using Deinterleave = std::conditional_t<std::is_same_v<T, uint8_t>, Bytes3<Ops>, Floats3<Ops>>;

// De-interleaves whole register steps and returns the pixels done.  With
// `stream` the stores are non-temporal (they write a line without reading it
// first; destinations must be aligned to the register size), and each plane
// gets two registers back to back so that every 64-byte line is written whole.
template <class Ops, bool stream = false, class T>
int64_t split3_blocks(const T* src, T* d0, T* d1, T* d2, int64_t n) {
    using Register = decltype(Ops::load_blocks(src));
    constexpr int64_t step = sizeof(Register) / sizeof(T);  // pixels per register
    constexpr int64_t registers = stream ? 2 : 1;
    const Deinterleave<T, Ops> deinterleave;
    T* const dst[3] = {d0, d1, d2};

    int64_t p = 0;
    for (; p + registers * step <= n; p += registers * step) {
        Register plane[registers][3];
        for (int64_t r = 0; r < registers; ++r) deinterleave(src + 3 * (p + r * step), plane[r]);
        for (int c = 0; c < 3; ++c)
            for (int64_t r = 0; r < registers; ++r) {
                if constexpr (stream)
                    Ops::stream(dst[c] + p + r * step, plane[r][c]);
                else
                    Ops::store(dst[c] + p + r * step, plane[r][c]);
            }
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
