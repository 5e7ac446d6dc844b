// Every variant of the resampling kernels against the definition, bit for bit,
// on random operand blocks: unaligned offsets, negative and zero steps and tap
// distances, runs of 1..40 taps, both tap-table modes, and element counts
// around every block size; on tables shaped as a resize makes them; and on a
// host's tables for a whole-factor shrink, whose middle elements share a run.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "operand_block.h"
#include "resample/resample_kernels.h"

namespace {

using namespace resample_test;
using zv_pt::Isa;

// A copy of a buffer whose last byte lies just before an inaccessible page:
// a read past the buffer faults, on every level and under qemu too, where no
// sanitizer watches.
class GuardedCopy {
  public:
    explicit GuardedCopy(const std::vector<char>& bytes) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        span_ = (bytes.size() + page - 1) / page * page + page;
        void* at = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char*>(at);
        mprotect(base_ + span_ - page, page, PROT_NONE);
        data_ = base_ + span_ - page - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, span_); }

    // Where `at`, a pointer relative to `bytes`, lies in the copy.
    char* at(const std::vector<char>& bytes, const char* at) const { return data_ + (at - bytes.data()); }

  private:
    char* base_;
    char* data_;
    size_t span_;
};

class ResampleVariant : public ::testing::TestWithParam<Isa> {
  protected:
    void SetUp() override {
        if (!zv_pt::isa_supported(GetParam())) GTEST_SKIP() << zv_pt::isa_name(GetParam()) << " not available";
    }

    // Runs one random block of n elements through the variant and the model.
    template <class T>
    void check(std::mt19937_64& rng, long n, bool per_element, int64_t max_taps = 40) {
        check_block<T>(random_block(rng, sizeof(T), n, per_element, max_taps));
    }

    template <class T>
    void check_block(OperandBlock b) {
        const long n = b.n;
        const bool per_element = b.per_element;
        std::vector<char> expected = b.dst;
        model<T>(b, expected);
        // The sources and weights end at a guard page.
        const GuardedCopy src(b.src), weights(b.weights);
        char* data[7];
        std::copy(b.data, b.data + 7, data);
        data[1] = src.at(b.src, b.data[1]);
        data[5] = weights.at(b.weights, b.data[5]);
        const zv_pt::ResamplePass pass = zv_pt::read_pass(data, b.strides, b.tap_stride, n, b.frac_bits, per_element);
        const zv_pt::ResampleKernels& kernels = zv_pt::resample_kernels(GetParam());
        (sizeof(T) == 4 ? kernels.f32 : kernels.u8)(pass);
        ASSERT_EQ(b.dst, expected) << (sizeof(T) == 4 ? "float" : "8-bit") << ", n " << n << ", per element "
                                   << per_element << ", tap stride " << b.tap_stride << ", steps " << b.strides[0]
                                   << " " << b.strides[1];
    }

  public:
    template <class T>
    void check_shaped(std::mt19937_64& rng, long n, bool per_element, int64_t taps, int64_t tap_distance = -1,
                      bool pixel_rows = false) {
        check_block<T>(structured_block(rng, sizeof(T), n, per_element, taps, tap_distance, pixel_rows));
    }

    template <class T>
    void check_span(std::mt19937_64& rng, long n, int64_t count, int64_t advance, int flaw, long period) {
        check_block<T>(span_block(rng, sizeof(T), n, count, advance, flaw, period));
    }

  protected:
    template <class T>
    void check_counts() {
        std::mt19937_64 rng(sizeof(T));
        for (int round = 0; round < 6; ++round)
            for (long n = 1; n <= 70; ++n)
                for (bool per_element : {false, true}) check<T>(rng, n, per_element);
        for (long n : {127L, 128L, 129L, 300L}) check<T>(rng, n, false), check<T>(rng, n, true);
    }
};

TEST_P(ResampleVariant, FloatMatchesTheDefinition) { check_counts<float>(); }

TEST_P(ResampleVariant, EightBitMatchesTheDefinition) { check_counts<uint8_t>(); }

// Shared runs long enough for many vector windows per element, and beyond
// what a kernel plans for (it must then take another way).
TEST_P(ResampleVariant, EightBitLongSharedRunsMatchTheDefinition) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 60; ++round) check<uint8_t>(rng, 1 + round % 11, false, 200);
}

// Shared runs of a few taps close together, where a kernel may take two
// elements per window: counts around every group of eight and the end of the
// source, where the windows must stop.
TEST_P(ResampleVariant, EightBitShortSharedRunsMatchTheDefinition) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 3; ++round)
        for (long n = 1; n <= 40; ++n) check<uint8_t>(rng, n, false, 4);
}

// Tables shaped as a resize makes them, where the lanes and runs paths take
// over: every run length from 1 to 64 taps, element counts around every
// group size (4, 8, 16) and both ends of a window, both tap modes.
template <class T>
void check_resize_shaped(ResampleVariant& test, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int64_t taps = 1; taps <= 64; ++taps)
        for (long n : {1L, 3L, 7L, 8L, 9L, 15L, 16L, 17L, 23L, 24L, 31L, 32L, 33L, 47L, 48L, 49L, 64L, 65L, 100L, 257L})
            for (bool per_element : {true, false}) {
                test.check_shaped<T>(rng, n, per_element, taps);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

// Whole lines of interleaved pixels with short runs of their own, as the
// planner's horizontal passes lay them out (near-identity widths and small
// shrinks), long enough for many groups of pixels before the line's end, and
// some with a channel whose entries are not its pixel's.
TEST_P(ResampleVariant, EightBitPixelRowsMatchTheDefinition) {
    std::mt19937_64 rng(41);
    for (int round = 0; round < 4; ++round)
        for (int64_t taps = 1; taps <= 12; ++taps)
            for (long pixels : {16L, 17L, 33L, 64L, 100L, 251L}) {
                check_shaped<uint8_t>(rng, 3 * pixels, true, taps, -1, true);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

TEST_P(ResampleVariant, FloatResizeShapedTablesMatchTheDefinition) { check_resize_shaped<float>(*this, 3); }

TEST_P(ResampleVariant, EightBitResizeShapedTablesMatchTheDefinition) { check_resize_shaped<uint8_t>(*this, 5); }

// Per-element tables whose middle elements repeat their runs every period
// elements (a whole-factor shrink: every element; an enlargement by two or
// four: every second or fourth), which the kernels may take as shared taps
// phase by phase: spans around the shortest length they look for, runs of 1
// to 40 taps, periods of 1 to 5 (3 and 5 are not looked for), and one element
// of the span broken in each way they must notice (a weight, its count, its
// first tap, its weight offset).
template <class T>
void check_shared_spans(ResampleVariant& test, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (long period : {1L, 2L, 3L, 4L, 5L})
        for (long n : {63L, 64L, 65L, 66L, 67L, 70L, 100L, 129L, 130L, 256L, 257L, 300L})
            for (int64_t count : {1, 2, 4, 5, 7, 8, 9, 11, 16, 23, 40})
                for (int flaw = 0; flaw <= 4; ++flaw) {
                    const int64_t advance = sizeof(T) * (1 + static_cast<int64_t>(rng() % 4)) * period;
                    test.check_span<T>(rng, n * (period > 2 ? 2 : 1), count, advance, flaw, period);
                    if (::testing::Test::HasFatalFailure()) return;
                }
}

TEST_P(ResampleVariant, FloatSharedSpansMatchTheDefinition) { check_shared_spans<float>(*this, 19); }

TEST_P(ResampleVariant, EightBitSharedSpansMatchTheDefinition) { check_shared_spans<uint8_t>(*this, 23); }

// Runs whose first taps lie close together but whose taps a lane's windows
// cannot all hold: every tap on one source element (distance 0) with more
// taps than a weight window holds, and taps 63 to 128 bytes apart, past a
// 64-byte window and around the end of a 128-byte one.
template <class T>
void check_past_the_windows(ResampleVariant& test, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int64_t taps : {2, 3, 4, 17, 20, 33, 65, 70, 100})
        for (int64_t distance : {0, 63, 64, 100, 124, 127, 128}) {
            if (distance % sizeof(T) != 0) continue;
            for (long n : {16L, 33L, 100L}) {
                test.check_shaped<T>(rng, n, true, taps, distance);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
}

TEST_P(ResampleVariant, FloatRunsPastTheLaneWindowsMatchTheDefinition) { check_past_the_windows<float>(*this, 13); }

TEST_P(ResampleVariant, EightBitRunsPastTheLaneWindowsMatchTheDefinition) { check_past_the_windows<uint8_t>(*this, 17); }

// A shared-taps pass over consecutive bytes that writes its output over its
// own sources, each element's taps at or after it: every element reads its
// taps before a store reaches them, as the definition taken in order does
// (a last block that starts early must not compute elements again from
// bytes already written).
TEST_P(ResampleVariant, EightBitPassOverItsOwnSourcesReadsThemFirst) {
    std::mt19937_64 rng(29);
    constexpr unsigned kFracBits = 13;
    for (long n : {15L, 16L, 17L, 31L, 33L, 64L, 65L, 79L, 100L, 129L})
        for (int64_t count : {1, 2, 3, 5}) {
            int64_t first = static_cast<int64_t>(rng() % 2), tap_stride = 1 + static_cast<int64_t>(rng() % 3);
            std::vector<char> bytes(static_cast<size_t>(n + first + (count - 1) * tap_stride));
            for (char& c : bytes) c = static_cast<char>(rng());
            std::vector<int16_t> weights(static_cast<size_t>(count));
            for (int16_t& w : weights) w = static_cast<int16_t>(static_cast<int>(rng() % 9000) - 1000);
            std::vector<char> expected = bytes;
            for (long i = 0; i < n; ++i) {
                int64_t acc = int64_t{1} << (kFracBits - 1);
                for (int64_t t = 0; t < count; ++t)
                    acc += weights[static_cast<size_t>(t)] *
                           int64_t{static_cast<uint8_t>(expected[static_cast<size_t>(i + first + t * tap_stride)])};
                expected[static_cast<size_t>(i)] = static_cast<char>(std::clamp<int64_t>(acc >> kFracBits, 0, 255));
            }
            std::vector<char> actual = bytes;
            int64_t weight_offset = 0;
            char* data[7] = {actual.data(), actual.data(), reinterpret_cast<char*>(&first),
                             reinterpret_cast<char*>(&count), nullptr, reinterpret_cast<char*>(weights.data()),
                             reinterpret_cast<char*>(&weight_offset)};
            const long strides[7] = {1, 1, 0, 0, 0, 0, 0};
            zv_pt::resample_kernels(GetParam()).u8(zv_pt::read_pass(data, strides, tap_stride, n, kFracBits, false));
            ASSERT_EQ(actual, expected) << "n " << n << ", taps " << count << ", first " << first << ", tap stride "
                                        << tap_stride;
        }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, ResampleVariant, ::testing::ValuesIn(zv_pt::kAllIsas),
                         [](const auto& info) { return std::string(zv_pt::isa_name(info.param)); });

}  // namespace
