// The tap tables of one axis: their invariants over many geometries, and
// weights worked out by hand from the filter definitions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <tuple>

#include "zv_pt/resize.hpp"

namespace {

using zvt::resize::AxisTaps;
using zvt::resize::Filter;
using zvt::resize::make_axis_taps;

void expect_weights(const AxisTaps& t, long i, int64_t first, std::initializer_list<double> weights) {
    ASSERT_EQ(t.count[i], static_cast<int64_t>(weights.size())) << "output " << i;
    EXPECT_EQ(t.first[i], first) << "output " << i;
    int64_t k = t.offset[i];
    for (double w : weights) EXPECT_NEAR(t.weights[k++], w, 1e-6) << "output " << i;
}

class AxisTapsInvariants : public testing::TestWithParam<std::tuple<long, long, Filter>> {};

TEST_P(AxisTapsInvariants, RunsAreInsideNormalisedAndQuantisedAtTheMostFractionBits) {
    const auto [in, out, filter] = GetParam();
    const AxisTaps t = make_axis_taps(in, out, filter);
    ASSERT_EQ(t.first.size(), size_t(out));
    ASSERT_EQ(t.weights.size(), t.fixed.size());
    ASSERT_LE(t.frac_bits, 22u);
    const double one = std::ldexp(1.0, static_cast<int>(t.frac_bits));
    double largest = 0.0;
    int64_t next = 0;
    for (long i = 0; i < out; ++i) {
        EXPECT_GE(t.first[i], 0);
        EXPECT_GE(t.count[i], 1);
        EXPECT_LE(t.first[i] + t.count[i], in);
        ASSERT_EQ(t.offset[i], next) << "runs lie back to back";
        next += t.count[i];
        double sum = 0.0;
        int64_t fixed_sum = 0;
        for (int64_t k = t.offset[i]; k < next; ++k) {
            sum += t.weights[k];
            fixed_sum += t.fixed[k];
            EXPECT_LE(std::fabs(t.fixed[k] - t.weights[k] * one), 1.0) << "output " << i;
            largest = std::max(largest, double{std::fabs(t.weights[k])});
        }
        EXPECT_NEAR(sum, 1.0, 1e-6) << "output " << i;
        EXPECT_EQ(fixed_sum, int64_t{1} << t.frac_bits) << "output " << i;
    }
    EXPECT_EQ(size_t(next), t.weights.size());
    // One more fraction bit would push the largest weight out of int16.
    if (t.frac_bits < 22) {
        EXPECT_GT(largest * 2.0 * one, 32766.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, AxisTapsInvariants,
                         testing::Combine(testing::Values(1L, 2L, 7L, 224L, 1080L),
                                          testing::Values(1L, 3L, 224L, 1920L),
                                          testing::Values(Filter::bilinear, Filter::bicubic)));

TEST(AxisTaps, EqualSizesGiveTheIdentity) {
    for (Filter filter : {Filter::bilinear, Filter::bicubic}) {
        const AxisTaps t = make_axis_taps(9, 9, filter);
        EXPECT_EQ(t.frac_bits, 14u) << "1.0 needs 2^14; 2^15 overflows int16";
        for (long i = 0; i < 9; ++i) {
            expect_weights(t, i, i, {1.0});
            EXPECT_EQ(t.fixed[t.offset[i]], 1 << 14);
        }
    }
}

TEST(AxisTaps, ShrinkingStretchesTheFilterByTheScale) {
    // 4 -> 2: centre 1.0, triangle of half-width 2 at pixel centres 0.5, 1.5, 2.5.
    expect_weights(make_axis_taps(4, 2, Filter::bilinear), 0, 0, {3 / 7.0, 3 / 7.0, 1 / 7.0});
    // 5 -> 1: every pixel, weights 1 - |x - 2| / 5.
    expect_weights(make_axis_taps(5, 1, Filter::bilinear), 0, 0, {0.6 / 3.8, 0.8 / 3.8, 1 / 3.8, 0.8 / 3.8, 0.6 / 3.8});
    // 1000 -> 1: weights about 1/500 leave room for all 22 fraction bits.
    EXPECT_EQ(make_axis_taps(1000, 1, Filter::bilinear).frac_bits, 22u);
}

TEST(AxisTaps, BicubicEnlargingUsesTheCubicAndRenormalisesAtTheBorder) {
    // 4 -> 8: output 4 is centred at 2.25, pixels at distances 1.75, 0.75, 0.25, 1.25.
    const AxisTaps t = make_axis_taps(4, 8, Filter::bicubic);
    expect_weights(t, 4, 0, {-0.0234375, 0.2265625, 0.8671875, -0.0703125});
    // Output 1 (centre 0.75) loses the pixel at -0.5 and is scaled back to sum 1.
    const double sum = -0.0234375 + 0.2265625 + 0.8671875;
    expect_weights(t, 1, 0, {0.8671875 / sum, 0.2265625 / sum, -0.0234375 / sum});
}

TEST(AxisTaps, RejectsEmptySizes) {
    EXPECT_THROW(make_axis_taps(0, 4, Filter::bilinear), std::invalid_argument);
    EXPECT_THROW(make_axis_taps(4, -1, Filter::bicubic), std::invalid_argument);
}

}  // namespace
