// In-place normalisation through the exported entry point: argument checks and
// their order, exact values, and which scratch elements the trailing elements
// of each plane pass through, for several team sizes.
#include <climits>
#include <limits>

#include "image_test_support.h"
#include "zv_pt.h"

namespace zv_pt_test {
namespace {

// Scratch before the call: a NaN of its own per element, so that any write shows.
std::vector<float> scratch_canary(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float_of(0x7fc00000u | static_cast<uint32_t>(i));
    return v;
}

TEST(Normalize, FailedChecksReturnTheFirstFailureAndWriteNothing) {
    const int count = 7;
    std::mt19937 rng(3);
    std::vector<float> data = random_elements<float>(rng, 3 * count), scratch = scratch_canary(3 * count);
    const std::vector<float> data_before = data, scratch_before = scratch;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float mean[] = {1, 2, 3}, good[] = {1, 2, 3}, zero0[] = {0.0f, 1, 1}, negative_zero1[] = {1, -0.0f, 1},
          zero2[] = {1, 1, 0.0f}, nan_std[] = {nan, nan, nan};
    struct Case {
        const char* what;
        float *data, *mean, *std, *scratch;
        int count, result;
    };
    const Case cases[] = {
        {"data null before zero std and count", nullptr, mean, zero0, scratch.data(), 0, result_null_argument},
        {"mean null", data.data(), nullptr, good, scratch.data(), count, result_null_argument},
        {"std null before count", data.data(), mean, nullptr, scratch.data(), -1, result_null_argument},
        {"scratch null before zero std", data.data(), mean, zero0, nullptr, count, result_null_argument},
        {"std[0] zero before count", data.data(), mean, zero0, scratch.data(), 0, result_zero_std},
        {"std[1] negative zero", data.data(), mean, negative_zero1, scratch.data(), count, result_zero_std},
        {"std[2] zero before negative count", data.data(), mean, zero2, scratch.data(), -5, result_zero_std},
        {"count zero", data.data(), mean, good, scratch.data(), 0, result_zero_count},
        {"count negative", data.data(), mean, good, scratch.data(), -1, result_zero_count},
        {"count INT_MIN", data.data(), mean, good, scratch.data(), INT_MIN, result_zero_count},
        {"NaN std is not zero", data.data(), mean, nan_std, scratch.data(), 0, result_zero_count},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.result, zv_normalize_float32(c.data, c.mean, c.std, c.scratch, c.count));
        EXPECT_EQ(0, std::memcmp(data_before.data(), data.data(), data.size() * sizeof(float)));
        EXPECT_EQ(0, std::memcmp(scratch_before.data(), scratch.data(), scratch.size() * sizeof(float)));
    }
}

// Each plane's elements count & ~3 .. count - 1 are the only ones that go
// through scratch, which then holds their difference from the mean.
TEST(Normalize, ValuesAndScratchForAllCountsAndTeams) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Parameters {
        float mean[3], std[3];
    };
    const Parameters parameter_sets[] = {
        {{123.675f, 116.28f, 103.53f}, {58.395f, 57.12f, 57.375f}},
        {{-0.0f, inf, 1e-40f}, {nan, -inf, 1e-42f}},
        {{0.485f, 0.456f, 0.406f}, {-0.229f, 3e38f, 1e-30f}},
    };
    std::vector<int> counts;
    for (int count = 1; count <= 13; ++count) counts.push_back(count);
    for (int count : {16, 17, 63, 64, 65, 1027, 4096, 4099}) counts.push_back(count);

    std::mt19937 rng(4);
    for (int team : kTeamSizes) {
        TeamSize team_size(team);
        for (const Parameters& set : parameter_sets) {
            for (int count : counts) {
                SCOPED_TRACE(::testing::Message() << "team " << team << ", count " << count << ", mean[0] "
                                                  << set.mean[0]);
                float mean[3], stdv[3];
                std::copy(set.mean, set.mean + 3, mean);
                std::copy(set.std, set.std + 3, stdv);
                std::vector<float> data = random_elements<float>(rng, 3 * count), scratch = scratch_canary(3 * count);
                std::vector<float> expected = data, expected_scratch = scratch;
                const int whole = count & ~3;
                for (int c = 0; c < 3; ++c) {
                    for (int i = 0; i < count; ++i) {
                        const int at = c * count + i;
                        if (i >= whole) expected_scratch[at] = data[at] - mean[c];
                        expected[at] = (data[at] - mean[c]) / stdv[c];
                    }
                }
                ASSERT_EQ(result_ok, zv_normalize_float32(data.data(), mean, stdv, scratch.data(), count));
                ASSERT_TRUE(same_bits(expected, data));
                ASSERT_TRUE(same_bits(expected_scratch, scratch));
            }
        }
    }
}

TEST(Normalize, ZeroMeanUnitStdKeepsEveryValueButQuietsSignallingNaNs) {
    const uint32_t signalling = 0x7f800123u, quiet_bit = 0x00400000u;
    const std::vector<uint32_t> bits = {0x00000000u, 0x80000000u, 0x7f800000u, 0xff800000u, 0x00000001u,
                                        0x807fffffu, 0x7fc12345u, 0xffc00001u, signalling, 0xff800456u,
                                        0x3f800000u, 0xc2f6e979u, 0x7f7fffffu, 0x00800000u};
    const int count = 5;  // per plane, one block of 4 and one trailing element
    std::vector<float> data(3 * count), scratch(3 * count);
    for (size_t i = 0; i < data.size(); ++i) data[i] = float_of(bits[i % bits.size()]);
    float mean[] = {0, 0, 0}, stdv[] = {1, 1, 1};
    ASSERT_EQ(result_ok, zv_normalize_float32(data.data(), mean, stdv, scratch.data(), count));
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t in = bits[i % bits.size()];
        const bool is_signalling = (in & 0x7f800000u) == 0x7f800000u && (in & 0x7fffffu) && !(in & quiet_bit);
        EXPECT_EQ(is_signalling ? in | quiet_bit : in, bits_of(data[i])) << "element " << i;
    }
}

}  // namespace
}  // namespace zv_pt_test
