// The exported pass: argument checks, the arithmetic on hand-made cases, and
// agreement with the definition on random operand blocks.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "operand_block.h"
#include "zv_pt.h"

namespace {

using namespace resample_test;

template <class T>
void poison([[maybe_unused]] const std::vector<T>& v) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(v.data(), v.size() * sizeof(T));
#endif
}

template <class T>
void unpoison([[maybe_unused]] const std::vector<T>& v) {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(v.data(), v.size() * sizeof(T));
#endif
}

template <class T>
int interpolate(OperandBlock& b, long n) {
    return zvt::zvt_interpolate<T>(b.data, b.strides, n, b.frac_bits, b.per_element);
}

TEST(InterpolateArguments, NullInATestedSlotIsRejectedBeforeTheCount) {
    std::mt19937_64 rng(1);
    OperandBlock b = random_block(rng, 1, 3, true);
    const std::vector<char> untouched = b.dst;
    EXPECT_EQ(zvt::zvt_interpolate<float>(nullptr, b.strides, 3, 8, true), result_null_argument);
    EXPECT_EQ(zvt::zvt_interpolate<uint8_t>(b.data, nullptr, 3, 8, false), result_null_argument);
    for (int slot : {0, 1, 2}) {
        char* const kept = b.data[slot];
        b.data[slot] = nullptr;
        for (long n : {3L, 0L, -1L}) {
            EXPECT_EQ(interpolate<uint8_t>(b, n), result_null_argument) << "slot " << slot << " n " << n;
            EXPECT_EQ(interpolate<float>(b, n), result_null_argument) << "slot " << slot << " n " << n;
        }
        b.data[slot] = kept;
    }
    EXPECT_EQ(b.dst, untouched);
}

TEST(InterpolateArguments, UntestedSlotsMayBeNullWhenNothingIsComputed) {
    std::mt19937_64 rng(2);
    OperandBlock b = random_block(rng, 4, 3, true);
    const std::vector<char> untouched = b.dst;
    b.data[3] = b.data[5] = b.data[6] = nullptr;
    for (long n : {0L, -1L, LONG_MIN}) {
        EXPECT_EQ(interpolate<float>(b, n), result_ok);
        EXPECT_EQ(interpolate<uint8_t>(b, n), result_ok);
    }
    EXPECT_EQ(b.dst, untouched);
}

TEST(InterpolateArguments, DoubleIsUnsupportedAndReadsNothing) {
    auto* bad_data = reinterpret_cast<char**>(uintptr_t{8});
    auto* bad_strides = reinterpret_cast<const long*>(uintptr_t{8});
    EXPECT_EQ(zvt::zvt_interpolate<double>(bad_data, bad_strides, 5, 8, true), result_unsupported_type);
    EXPECT_EQ(zvt::zvt_interpolate<double>(nullptr, nullptr, 0, 0, false), result_unsupported_type);
}

char* bytes(const void* at) { return static_cast<char*>(const_cast<void*>(at)); }

// n outputs with shared taps: output i reads src[i + j] with weights[j], j <
// count (by default all the weights).
template <class T, class W>
std::vector<T> shared_pass(const std::vector<T>& src, const std::vector<W>& weights, long n, unsigned frac_bits,
                           std::optional<int64_t> count = {}) {
    std::vector<T> dst(n, T{7});
    int64_t tap_min = 0, taps = count.value_or(weights.size()), tap_stride = sizeof(T), weight_offset = 0;
    char* data[7] = {bytes(dst.data()),  bytes(src.data()),     bytes(&tap_min),      bytes(&taps),
                     bytes(&tap_stride), bytes(weights.data()), bytes(&weight_offset)};
    const long strides[7] = {sizeof(T), sizeof(T), 0, 0, 0, 0, 0};
    EXPECT_EQ(zvt::zvt_interpolate<T>(data, strides, n, frac_bits, false), result_ok);
    return dst;
}

TEST(Interpolate8Bit, RoundsToNearestAndClamps) {
    using Bytes = std::vector<uint8_t>;
    using Weights = std::vector<int16_t>;
    EXPECT_EQ(shared_pass(Bytes{10, 11}, Weights{2, 2}, 1, 2), Bytes{11});   // 10.5
    EXPECT_EQ(shared_pass(Bytes{10, 11}, Weights{3, 1}, 1, 2), Bytes{10});   // 10.25
    EXPECT_EQ(shared_pass(Bytes{200}, Weights{-3}, 1, 2), Bytes{0});         // -150
    EXPECT_EQ(shared_pass(Bytes{255, 1}, Weights{2, 1}, 1, 1), Bytes{255});  // 255.5 rounds to 256
    EXPECT_EQ(shared_pass(Bytes{255, 0}, Weights{2, 1}, 1, 1), Bytes{255});

    Bytes every(256);
    for (int v = 0; v < 256; ++v) every[v] = static_cast<uint8_t>(v);
    EXPECT_EQ(shared_pass(every, Weights{4}, 256, 2), every);
}

TEST(InterpolateFloat, UnitWeightCopiesTheSourceButMinusZero) {
    std::vector<float> src(37);
    for (size_t i = 0; i < src.size(); ++i) src[i] = i % 5 == 0 ? -0.0f : 1.0f / (1.0f + float(i)) - 0.3f;
    const std::vector<float> dst = shared_pass(src, std::vector<float>{1.0f}, 37, 0);
    for (size_t i = 0; i < src.size(); ++i) {
        EXPECT_EQ(dst[i], src[i]) << i;
        EXPECT_FALSE(std::signbit(dst[i]) && dst[i] == 0.0f) << i;
    }
}

// Sources and weights are poisoned for AddressSanitizer: reading any of them
// fails the test there.
TEST(Interpolate, NoTapsGiveZeroAndReadNothing) {
    std::vector<uint8_t> sources(64);
    std::vector<int16_t> fixed(64);
    std::vector<float> floats(64);
    for (int64_t count : {0, -1}) {
        poison(sources), poison(fixed), poison(floats);
        const std::vector<uint8_t> u = shared_pass(sources, fixed, 40, 4, count);
        const std::vector<float> f = shared_pass(floats, floats, 40, 0, count);
        unpoison(sources), unpoison(fixed), unpoison(floats);
        EXPECT_EQ(u, std::vector<uint8_t>(40, 0));
        for (float v : f) EXPECT_TRUE(v == 0.0f && !std::signbit(v));
    }
}

// Per element, the source position still moves by strides[1].
TEST(InterpolateFloat, OwnTapsFollowTheSourceStep) {
    const std::vector<float> src{1.5f, -2.0f, 3.25f, 8.0f, 0.5f};
    std::vector<float> dst(5, -1.0f);
    const std::vector<int64_t> tap_min(5, 0), count(5, 1), weight_offset(5, 0);
    const float one = 1.0f;
    int64_t tap_stride = 4;
    char* data[7] = {bytes(dst.data()),  bytes(src.data()), bytes(tap_min.data()),      bytes(count.data()),
                     bytes(&tap_stride), bytes(&one),       bytes(weight_offset.data())};
    const long strides[7] = {4, 4, 8, 8, 0, 0, 8};
    EXPECT_EQ(zvt::zvt_interpolate<float>(data, strides, 5, 0, true), result_ok);
    EXPECT_EQ(dst, src);
}

// Offsets beyond 32 bits, with the base pointers moved back by as much.
TEST(Interpolate, TakesOffsetsBeyondThirtyTwoBits) {
    constexpr int64_t kFar = int64_t{1} << 33;
    std::mt19937_64 rng(3);
    for (bool per_element : {false, true}) {
        OperandBlock b = random_block(rng, 1, 20, per_element);
        std::vector<char> expected = b.dst;
        model<uint8_t>(b, expected);
        for (int slot : {2, 6}) {  // the tap_min and weight_offset tables
            const long step = per_element ? b.strides[slot] : 0;
            for (long i = 0; i < (per_element ? b.n : 1); ++i)
                put(b.data[slot] + i * step, get<int64_t>(b.data[slot] + i * step) + kFar);
        }
        b.data[1] -= kFar;
        b.data[5] -= kFar;
        EXPECT_EQ(interpolate<uint8_t>(b, b.n), result_ok);
        EXPECT_EQ(b.dst, expected);
    }
}

TEST(Interpolate, MatchesTheDefinitionOnRandomBlocks) {
    std::mt19937_64 rng(4);
    for (long n = 1; n <= 70; ++n) {
        for (bool per_element : {false, true}) {
            OperandBlock f = random_block(rng, 4, n, per_element), u = random_block(rng, 1, n, per_element);
            std::vector<char> want_f = f.dst, want_u = u.dst;
            model<float>(f, want_f);
            model<uint8_t>(u, want_u);
            ASSERT_EQ(interpolate<float>(f, n), result_ok);
            ASSERT_EQ(interpolate<uint8_t>(u, n), result_ok);
            ASSERT_EQ(f.dst, want_f) << "float, n " << n << ", per element " << per_element;
            ASSERT_EQ(u.dst, want_u) << "8-bit, n " << n << ", per element " << per_element;
        }
    }
}

}  // namespace
