// 8-bit channel lanes (AVX-512 VBMI) for interleaved RGB with short runs of
// their own (near-identity widths, small shrinks and enlargements): 16
// pixels a group, each a lane of three sums, one a channel.  Against the
// lanes' one element a lane, a round's weights are picked once for the
// three channels, and the group's table entries, once found to be 16
// pixels', are narrowed and checked a pixel at a time (Zen 4: 1920 to 1919
// 3.64 to 3.40 ms, 4096 to 4095 bicubic 31.6 to 28.8 ms).  The check that
// the 48 elements are pixels costs about a third of a group.
#pragma once

#include "resample/resample_avx512.h"

namespace zv_pt {
namespace {

template <bool kVnni>
struct Avx512ChannelLanes {
    using Lanes = Avx512Lanes<kVnni, true>;
    using Group = typename Lanes::Group;
    using Acc = __m512i;
    static constexpr int kPixels = 16;
    static constexpr int64_t kWindow = Lanes::kWindow;
    static constexpr int64_t kWeightWindow = Lanes::kWeightWindow;

    // True when one of the 16 pixels from element i on has more than
    // `count` taps.  The largest of the group's counts, from the loaded
    // tables: the rounds are known long before the group's checks are done.
    static bool longer_taps(const ResamplePass& p, int64_t i, int64_t count) {
        const TableEntries<6> counts(p.tap_count, i);
        __m512i most = counts.v[0];
        for (int k = 1; k < 6; ++k) most = _mm512_max_epu64(most, counts.v[k]);
        return _mm512_cmpgt_epu64_mask(most, _mm512_set1_epi64(count)) != 0;
    }

    // The leading pixels of the 16 from element i on (packed tables, taps a
    // pixel apart) whose runs have 1 to max_taps taps and fit the windows,
    // as lanes of g (channel 0's picks; the others' are a byte and two
    // bytes on); 0 where the 48 elements are not 16 pixels.
    static int group(const ResamplePass& p, int64_t i, int64_t max_taps, Group& g) {
        const TableEntries<6> mins(p.tap_min, i), counts(p.tap_count, i), offsets(p.weight_offset, i);
        __m512i off = _mm512_setzero_si512();
        or_pixel_differences(off, mins.v, _mm512_set1_epi64(1));
        or_pixel_differences(off, counts.v, _mm512_setzero_si512());
        or_pixel_differences(off, offsets.v, _mm512_setzero_si512());
        if (_mm512_test_epi64_mask(off, off) != 0) return 0;
        // Pixel q's entries (entry 3q), relative to pixel 0's, in 32 bits
        // with unsigned saturation (which every check refuses).
        const __m512i min0 = _mm512_broadcastq_epi64(_mm512_castsi512_si128(mins.v[0]));
        const __m512i offset0 = _mm512_broadcastq_epi64(_mm512_castsi512_si128(offsets.v[0]));
        const auto lanes = [](const TableEntries<6>& e, __m512i base) {
            return Avx512Entries::saturated(_mm512_sub_epi64(pixels(e, 0), base), _mm512_sub_epi64(pixels(e, 1), base));
        };
        const Avx512Entries e(lanes(mins, min0), lanes(offsets, offset0), lanes(counts, _mm512_setzero_si512()));
        return Lanes::group_of(e, 3, 3 + 2, max_taps, g);
    }

    // Entry 3q of pixels q = 8h .. 8h + 7: of entries 24h to 24h + 23, in
    // vectors 3h to 3h + 2.
    static __m512i pixels(const TableEntries<6>& e, int h) {
        const __m512i first = _mm512_setr_epi64(0, 3, 6, 9, 12, 15, 0, 0), last = _mm512_setr_epi64(0, 0, 0, 0, 0, 0, 2, 5);
        const __m512i six = _mm512_permutex2var_epi64(e.v[3 * h], first, e.v[3 * h + 1]);
        return _mm512_mask_permutexvar_epi64(six, 0xc0, last, e.v[3 * h + 2]);
    }

    static void start(Acc (&acc)[3], int32_t half) {
        for (Acc& a : acc) a = _mm512_set1_epi32(half);
    }

    // Round r: taps 2r and 2r + 1 of every pixel, its weights picked once.
    static void round(Acc (&acc)[3], const Group& g, const char* x, const char* w, int64_t r) {
        const __m512i weights = Lanes::round_weights(g, w, r, Lanes::load_window);
        for (int c = 0; c < 3; ++c) {
            const __m512i index = _mm512_add_epi32(g.x, _mm512_set1_epi32(c | c << 16));
            acc[c] = dot_add<kVnni>(acc[c], Lanes::taps(g, index, x, Lanes::load_window), weights);
        }
    }

    // The first `pixels` pixels' channels, shifted and clamped, in output
    // order: byte 3q + c from the low byte of channel c's lane q, picked by
    // two permutes.
    static void store(char* dst, const Acc (&acc)[3], int shift, int pixels) {
        __m512i v[3];
        for (int c = 0; c < 3; ++c)
            v[c] = _mm512_min_epi32(_mm512_max_epi32(_mm512_sra_epi32(acc[c], _mm_cvtsi32_si128(shift)), _mm512_setzero_si512()),
                                    _mm512_set1_epi32(255));
        const __m512i red_green = _mm512_permutex2var_epi8(v[0], _mm512_loadu_si512(kRedGreen.data()), v[1]);
        const __m512i out = _mm512_mask_permutexvar_epi8(red_green, kBlue, _mm512_loadu_si512(kRedGreen.data()), v[2]);
        if (pixels == kPixels) {
            // Unmasked stores: faster on Zen 4.
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm512_castsi512_si256(out));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), _mm512_extracti32x4_epi32(out, 2));
        } else {
            _mm512_mask_storeu_epi8(dst, low_bits(3 * pixels), out);
        }
    }

    // Output byte 3q + c: byte 4q of the red (c = 0) or green (64 + 4q)
    // lanes; blue's bytes (kBlue) take byte 4q of its own, the index's low
    // six bits.
    static constexpr std::array<uint8_t, 64> kRedGreen = [] {
        std::array<uint8_t, 64> index{};
        for (size_t j = 0; j < 48; ++j) index[j] = static_cast<uint8_t>(64 * (j % 3 == 1) + 4 * (j / 3));
        return index;
    }();
    static constexpr __mmask64 kBlue = [] {
        uint64_t mask = 0;
        for (int j = 2; j < 48; j += 3) mask |= uint64_t{1} << j;
        return mask;
    }();
};

}  // namespace
}  // namespace zv_pt
