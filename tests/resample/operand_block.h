// Random operand blocks for the resampling pass, and a direct model of what the
// pass computes from them, written from the definition without the library's
// code.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <random>
#include <vector>

namespace resample_test {

template <class T>
T get(const char* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

template <class T>
void put(char* at, T v) {
    std::memcpy(at, &v, sizeof v);
}

// Owns every buffer a call reads or writes; data/strides are the call's
// arguments.  Buffers are sized from the extent of the accesses, so that a
// stray read or write lands outside them (and AddressSanitizer sees it).
struct OperandBlock {
    std::vector<char> src, weights, tables[3], dst;  // tables: tap_min, tap_count, weight_offset
    std::vector<char> tap_stride_slot;
    char* data[7];
    long strides[7];
    int64_t tap_stride;
    long n;
    unsigned frac_bits;
    bool per_element;
    int64_t dst_origin;  // byte of dst that data[0] points at
};

// Uniform draws from a generator: a value of [lo, hi], one of a few choices.
struct Dice {
    std::mt19937_64& rng;
    int64_t uniform(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); }
    int64_t pick(std::initializer_list<int64_t> choices) {
        return *(choices.begin() + std::uniform_int_distribution<size_t>(0, choices.size() - 1)(rng));
    }
};

// A block of n elements in one tap mode, its weights' fraction bits drawn
// from 1 .. most_frac_bits; the generators fill in the rest.
inline OperandBlock new_block(Dice& dice, long n, bool per_element, int64_t most_frac_bits) {
    OperandBlock b{};
    b.n = n;
    b.per_element = per_element;
    b.frac_bits = static_cast<unsigned>(dice.uniform(1, most_frac_bits));
    return b;
}

// Element i's first tap, count and weight offset.
struct Taps {
    int64_t min, count, weight_offset;
};

// Places values i = 0..n-1, `size` bytes each, `step` bytes apart (any sign)
// in a fresh buffer that starts `slack` bytes early; returns the offset of
// value 0.
inline int64_t place(std::vector<char>& buffer, long n, long step, int size, int slack) {
    const int64_t low = std::min<int64_t>(0, (n - 1) * step), high = std::max<int64_t>(0, (n - 1) * step);
    buffer.assign(static_cast<size_t>(high - low + size + slack), '\xa5');
    return slack - low;
}

// Fills the sources and weights of a block whose tables are set, and points
// data[1], data[5] and the tap stride at them: the source buffer spans
// exactly the bytes the taps read, so a read past them lands outside it.
inline void fill_block(std::mt19937_64& rng, OperandBlock& b, int size, const std::vector<Taps>& taps,
                       int64_t weight_bytes) {
    auto uniform = [&](int64_t lo, int64_t hi) { return Dice{rng}.uniform(lo, hi); };
    int64_t low = 0, high = 0;  // extent of the source reads
    bool any = false;
    for (long i = 0; i < b.n; ++i) {
        const Taps& t = taps[b.per_element ? i : 0];
        for (int64_t j : {int64_t{0}, t.count - 1}) {
            if (t.count <= 0) continue;
            const int64_t at = i * b.strides[1] + t.min + j * b.tap_stride;
            low = any ? std::min(low, at) : at, high = any ? std::max(high, at) : at;
            any = true;
        }
    }
    b.src.resize(static_cast<size_t>(high - low + size));
    b.weights.resize(static_cast<size_t>(weight_bytes + 1));
    if (size == 4) {
        // Any four of these bytes, at any offset, make a finite float of
        // magnitude 2^-15 .. 2^4, so unaligned runs read sensible values.
        auto byte = [&] { return static_cast<char>(uniform(0x38, 0x41) | (uniform(0, 1) << 7)); };
        for (char& c : b.src) c = byte();
        for (char& c : b.weights) c = byte();
    } else {
        // Weights at even offsets scale the sums around 0..255; odd offsets
        // read arbitrary int16 values, which stay within int32 sums all the same.
        const int64_t w = int64_t{1} << std::min(b.frac_bits + 1, 15u);
        for (char& c : b.src) c = static_cast<char>(uniform(0, 255));
        for (size_t k = 0; k + 2 <= b.weights.size(); k += 2)
            put<int16_t>(&b.weights[k], int16_t(uniform(-w / 2, w - 1)));
    }
    b.data[1] = b.src.data() - low;
    b.data[5] = b.weights.data();
    b.tap_stride_slot.assign(9, 0);
    b.data[4] = b.tap_stride_slot.data() + 1;
    put<int64_t>(b.data[4], b.tap_stride);
    b.dst_origin = place(b.dst, b.n, b.strides[0], size, 0);
    b.data[0] = b.dst.data() + b.dst_origin;
}

// Writes the entries of `taps` into tables with the given steps (read only
// per element) and points data[2], data[3] and data[6] at them.
inline void place_tables(std::mt19937_64& rng, OperandBlock& b, const std::vector<Taps>& taps, const long (&steps)[3]) {
    const long entries = static_cast<long>(taps.size());
    for (int k = 0; k < 3; ++k) {
        const int slot = k < 2 ? 2 + k : 6;
        const int slack = static_cast<int>(std::uniform_int_distribution<int>(0, 7)(rng));
        const int64_t origin = place(b.tables[k], entries, b.per_element ? steps[k] : 0, 8, slack);
        for (long i = 0; i < entries; ++i) {
            const Taps& t = taps[i];
            put<int64_t>(b.tables[k].data() + origin + i * (b.per_element ? steps[k] : 0),
                         k == 0 ? t.min : k == 1 ? t.count : t.weight_offset);
        }
        b.data[slot] = b.tables[k].data() + origin;
        b.strides[slot] = steps[k];
    }
}

// A random pass over elements of `size` bytes (4: float, 1: 8-bit), runs of up
// to max_taps taps.
inline OperandBlock random_block(std::mt19937_64& rng, int size, long n, bool per_element, int64_t max_taps = 40) {
    Dice dice{rng};
    auto pick = [&](std::initializer_list<int64_t> c) { return dice.pick(c); };
    auto uniform = [&](int64_t lo, int64_t hi) { return dice.uniform(lo, hi); };
    OperandBlock b = new_block(dice, n, per_element, 30);
    const int64_t pitch = uniform(40, 200) * size + uniform(0, 1);
    b.tap_stride = pick({size, size, 3 * size, -size, 0, pitch, -pitch, size + 1});
    b.strides[1] = pick({size, size, size, 0, 3 * size, 6 * size, -size, pitch, 2 * size + 1});
    b.strides[0] = pick({size, size, size, -size, 0, 2 * size + 1, 3 * size, 2 * size, 4 * size, 6 * size, 8 * size, 9 * size});

    const long entries = per_element ? n : 1;
    std::vector<Taps> taps(entries);
    int64_t weight_bytes = 0;
    for (Taps& t : taps) {
        t = {uniform(-64, 64), uniform(0, 9) == 0 ? uniform(-2, 0) : uniform(1, max_taps), uniform(0, 40)};
        weight_bytes = std::max(weight_bytes, t.weight_offset + std::max<int64_t>(t.count, 0) * (size == 4 ? 4 : 2));
    }
    long steps[3];
    for (long& step : steps) step = per_element ? pick({8, 9, 24, -8, -13}) : pick({0, 1, 0x7ffffff3});
    place_tables(rng, b, taps, steps);
    fill_block(rng, b, size, taps, weight_bytes);
    return b;
}

// A pass shaped as resize tables are: per element (or shared) runs of about
// `taps` taps a few elements apart, first taps that rise (or repeat) from
// element to element, the channels of interleaved pixels sharing their
// weights, weight runs back to back, and packed tables more often than not.
// Counts vary by one in some passes; a few passes give a lane an empty run,
// a count of its own, an odd weight offset or a step back.  A tap distance
// >= 0 (bytes) replaces the channels' one.  Pixel rows: a planner's
// horizontal pass of an interleaved line (three channels, taps a pixel
// apart, the source from the tables alone, outputs side by side, packed
// tables).
inline OperandBlock structured_block(std::mt19937_64& rng, int size, long n, bool per_element, int64_t taps_about,
                                     int64_t tap_distance = -1, bool pixel_rows = false) {
    Dice dice{rng};
    auto pick = [&](std::initializer_list<int64_t> c) { return dice.pick(c); };
    auto uniform = [&](int64_t lo, int64_t hi) { return dice.uniform(lo, hi); };
    OperandBlock b = new_block(dice, n, per_element, 22);
    const int64_t channels = pixel_rows ? 3 : pick({1, 3, 3});
    b.tap_stride = tap_distance >= 0 ? tap_distance : channels * size * (pixel_rows ? 1 : pick({1, 1, 1, 2}));
    // Source position: from strides[1] (shared taps, or per element too) or from the tables.
    const int64_t advance = pick({0, 1, 1, 2, 3, 6}) * size;  // per pixel, in the tables
    b.strides[1] = per_element ? pick({0, 0, 0, size}) : pick({size, channels * size, 2 * channels * size, 3 * channels * size, 0});
    b.strides[0] = pick({size, size, size, 2 * size + 1, 3 * size, 3 * size, 2 * size, 6 * size, 8 * size});
    if (pixel_rows) b.strides[1] = 0, b.strides[0] = size;
    const bool vary = uniform(0, 2) == 0;
    const long entries = per_element ? n : 1;
    std::vector<Taps> taps(entries);
    int64_t first = uniform(0, 3) * size, weight = 2 * uniform(0, 3), weight_bytes = 0;
    const int64_t wsize = size == 4 ? 4 : 2;
    for (long i = 0; i < entries; ++i) {
        Taps& t = taps[i];
        const long pixel = i / channels, channel = i % channels;
        if (channel == 0 && i > 0) {
            first += advance + (uniform(0, 3) == 0 ? pick({-size, size}) : 0);
            weight += taps[i - channels].count * wsize;
        }
        t.count = std::max<int64_t>(1, taps_about - (vary ? uniform(0, 1) : 0));
        if (channel > 0) t.count = taps[i - channel].count;
        t.min = first + channel * size;
        t.weight_offset = weight;
        (void)pixel;
    }
    // Rare irregular entries.
    if (per_element && uniform(0, 3) == 0) {
        Taps& odd = taps[size_t(uniform(0, entries - 1))];
        switch (uniform(0, 3)) {
            case 0: odd.count = 0; break;
            case 1: odd.weight_offset += 1; break;
            case 2: odd.count = std::max<int64_t>(1, odd.count + pick({-1, 1})); break;  // a channel off its pixel's count
            default: odd.min -= 3 * size;
        }
    }
    for (Taps& t : taps) {
        t.min = std::max<int64_t>(t.min, 0);
        weight_bytes = std::max(weight_bytes, t.weight_offset + std::max<int64_t>(t.count, 0) * wsize);
    }
    const long packed = pixel_rows ? 8 : pick({8, 8, 8, 16});
    const long steps[3] = {packed, packed, packed};
    place_tables(rng, b, taps, steps);
    fill_block(rng, b, size, taps, weight_bytes);
    return b;
}

// Per-element packed tables as a host builds them for a resize whose
// sampling grid repeats every `period` elements (1: a shrink by a whole
// factor, 2: an enlargement by two): elements [border, n - border) read the
// run of the element `period` before them moved on by `advance` bytes, with
// the same count and weights (runs back to back, or one run for each phase),
// the phases' counts a tap apart, the border elements shorter runs of their
// own.  `flaw` breaks one element of the span (1: a weight, 2: its count, 3:
// its first tap, 4: its weight offset); 0 leaves it whole.
inline OperandBlock span_block(std::mt19937_64& rng, int size, long n, int64_t count, int64_t advance, int flaw,
                               long period = 1) {
    Dice dice{rng};
    auto pick = [&](std::initializer_list<int64_t> c) { return dice.pick(c); };
    auto uniform = [&](int64_t lo, int64_t hi) { return dice.uniform(lo, hi); };
    OperandBlock b = new_block(dice, n, true, 22);
    b.tap_stride = pick({size, size, 3 * size});
    b.strides[1] = pick({0, 0, size});
    b.strides[0] = pick({size, size, 3 * size});
    const int64_t wsize = size == 4 ? 4 : 2;
    const bool one_run = uniform(0, 3) == 0;
    const long border = static_cast<long>(uniform(0, 3));
    // The phases' counts and first taps within a period.
    const auto phase_count = [&](long i) { return std::max<int64_t>(1, count - (i % period) % 2); };
    const auto phase_min = [&](long i) { return (i % period) * advance / period; };
    std::vector<Taps> taps(static_cast<size_t>(n));
    int64_t weight = 0, weight_bytes = 0;
    for (long i = 0; i < n; ++i) {
        Taps& t = taps[static_cast<size_t>(i)];
        const bool inner = i >= border && i < n - border;
        t.count = inner ? phase_count(i) : std::max<int64_t>(1, count - 1 - i % 2);
        t.min = std::max<int64_t>(0, (i / period - 1) * advance + phase_min(i));
        t.weight_offset = inner && one_run ? -1 : weight;
        if (!(inner && one_run)) weight += t.count * wsize;
    }
    if (one_run) {
        // Each phase's shared run after the border's own.
        std::vector<int64_t> runs(static_cast<size_t>(period), -1);
        for (long i = 0; i < n; ++i) {
            Taps& t = taps[static_cast<size_t>(i)];
            if (t.weight_offset != -1) continue;
            int64_t& run = runs[static_cast<size_t>(i % period)];
            if (run < 0) run = weight, weight += t.count * wsize;
            t.weight_offset = run;
        }
    }
    // The broken element: at either end of the span (where its checks begin
    // and end) or anywhere.
    Taps& odd = taps[static_cast<size_t>(pick({border, border + 1, n - border - 1, uniform(border, n - border - 1)}))];
    if (flaw == 2) odd.count -= 1;
    if (flaw == 3) odd.min += pick({-size, size});
    if (flaw == 4) odd.weight_offset += wsize;
    for (Taps& t : taps) {
        t.count = std::max<int64_t>(t.count, 1);
        t.min = std::max<int64_t>(t.min, 0);
        weight_bytes = std::max(weight_bytes, t.weight_offset + t.count * wsize);
    }
    const long steps[3] = {8, 8, 8};
    place_tables(rng, b, taps, steps);
    fill_block(rng, b, size, taps, weight_bytes);
    b.weights.resize(static_cast<size_t>(weight_bytes));
    b.data[5] = b.weights.data();
    // The span's runs repeat their phase's first one's weights.
    for (long i = border; i < n - border; ++i) {
        const Taps& t = taps[static_cast<size_t>(i)];
        const Taps& model_run = taps[static_cast<size_t>(border + (i - border) % period)];
        if (&t != &model_run && (&t != &odd || flaw != 4))
            std::memmove(&b.weights[static_cast<size_t>(t.weight_offset)],
                         &b.weights[static_cast<size_t>(model_run.weight_offset)],
                         static_cast<size_t>(std::min(t.count, model_run.count) * wsize));
    }
    if (flaw == 1) b.weights[static_cast<size_t>(odd.weight_offset + uniform(0, odd.count * wsize - 1))] ^= 0x10;
    return b;
}

// The pass by its definition, into `dst` (a copy of b.dst).
template <class T>
void model(const OperandBlock& b, std::vector<char>& dst) {
    for (long i = 0; i < b.n; ++i) {
        auto entry = [&](int slot) { return get<int64_t>(b.data[slot] + (b.per_element ? i * b.strides[slot] : 0)); };
        const char* x = b.data[1] + i * b.strides[1] + entry(2);
        const char* w = b.data[5] + entry(6);
        char* out = dst.data() + b.dst_origin + i * b.strides[0];
        if constexpr (sizeof(T) == 4) {
            float acc = 0.0f;
            for (int64_t j = 0; j < entry(3); ++j)
                acc = std::fma(get<float>(x + j * b.tap_stride), get<float>(w + 4 * j), acc);
            put<float>(out, acc);
        } else {
            int64_t acc = int64_t{1} << (b.frac_bits - 1);
            for (int64_t j = 0; j < entry(3); ++j)
                acc += get<int16_t>(w + 2 * j) * int64_t{get<uint8_t>(x + j * b.tap_stride)};
            put<uint8_t>(out,
                         static_cast<uint8_t>(entry(3) <= 0 ? 0 : std::clamp<int64_t>(acc >> b.frac_bits, 0, 255)));
        }
    }
}

}  // namespace resample_test
