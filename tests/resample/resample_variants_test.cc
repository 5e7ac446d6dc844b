// Every variant of the resampling kernels against the definition, bit for bit,
// on random operand blocks: unaligned offsets, negative and zero steps and tap
// distances, runs of 1..40 taps, both tap-table modes, and element counts
// around every block size.
#include <gtest/gtest.h>

#include "operand_block.h"
#include "resample/resample_kernels.h"

namespace {

using namespace resample_test;
using zv_pt::Isa;

class ResampleVariant : public ::testing::TestWithParam<Isa> {
  protected:
    void SetUp() override {
        if (!zv_pt::isa_supported(GetParam())) GTEST_SKIP() << zv_pt::isa_name(GetParam()) << " not available";
    }

    // Runs one random block of n elements through the variant and the model.
    template <class T>
    void check(std::mt19937_64& rng, long n, bool per_element, int64_t max_taps = 40) {
        OperandBlock b = random_block(rng, sizeof(T), n, per_element, max_taps);
        std::vector<char> expected = b.dst;
        model<T>(b, expected);
        const zv_pt::ResamplePass pass = zv_pt::read_pass(b.data, b.strides, b.tap_stride, n, b.frac_bits, per_element);
        const zv_pt::ResampleKernels& kernels = zv_pt::resample_kernels(GetParam());
        (sizeof(T) == 4 ? kernels.f32 : kernels.u8)(pass);
        ASSERT_EQ(b.dst, expected) << (sizeof(T) == 4 ? "float" : "8-bit") << ", n " << n << ", per element "
                                   << per_element << ", tap stride " << b.tap_stride << ", steps " << b.strides[0]
                                   << " " << b.strides[1];
    }

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

INSTANTIATE_TEST_SUITE_P(AllLevels, ResampleVariant, ::testing::ValuesIn(zv_pt::kAllIsas),
                         [](const auto& info) { return std::string(zv_pt::isa_name(info.param)); });

}  // namespace
