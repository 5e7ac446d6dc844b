// Interleaved-to-planar conversion through the exported entry points: argument
// checks, the order result, sizes around every block boundary for several team
// sizes, and an image of more than 2^31 bytes.
#include <algorithm>
#include <climits>

#include "frame/worksharing.h"
#include "image_test_support.h"
#include "zv_pt.h"

namespace zv_pt_test {
namespace {

template <class T>
int permute(T* src, T* dst, int* shape, int* order, int ignored = 0) {
    if constexpr (std::is_same_v<T, uint8_t>)
        return zv_permute_hwc_chw(src, dst, shape, order, ignored);
    else
        return zv_permute_hwc_chw_float32(src, dst, shape, order, ignored);
}

// dst[c*n + p] = src[3p + c], followed by the untouched tail of the buffer.
template <class T>
std::vector<T> planar(const std::vector<T>& src, int64_t n, std::vector<T> dst) {
    for (int64_t p = 0; p < n; ++p)
        for (int64_t c = 0; c < 3; ++c) dst[c * n + p] = src[3 * p + c];
    return dst;
}

constexpr int kTail = 16;  // canary elements behind the planes

template <class T>
std::vector<T> canary(size_t n) {
    return std::vector<T>(n, std::is_same_v<T, uint8_t> ? T(0xa5) : float_of(0x7fa5a5a5u));
}

template <class T>
class Permute : public ::testing::Test {};
using ElementTypes = ::testing::Types<uint8_t, float>;
TYPED_TEST_SUITE(Permute, ElementTypes);

TYPED_TEST(Permute, NullArgumentLeavesEverythingUntouched) {
    using T = TypeParam;
    GuardedPage page;  // any access through these pointers faults
    T* const buffer = page.inaccessible<T>();
    int* const ints = page.inaccessible<int>();
    EXPECT_EQ(result_null_argument, permute<T>(nullptr, buffer, ints, ints));
    EXPECT_EQ(result_null_argument, permute<T>(buffer, nullptr, ints, ints));
    EXPECT_EQ(result_null_argument, permute<T>(buffer, buffer, nullptr, ints));
    EXPECT_EQ(result_null_argument, permute<T>(buffer, buffer, ints, nullptr));
    EXPECT_EQ(result_null_argument, permute<T>(nullptr, nullptr, nullptr, nullptr));
}

// Each order array ends at an inaccessible page, so the conversion must decide
// from the elements given; the planar image comes out whatever the result.
TYPED_TEST(Permute, OrderIsReadOnlyAsFarAsNeededAndNeverStopsTheConversion) {
    using T = TypeParam;
    struct Case {
        std::vector<int> order;
        int result;
    };
    const Case cases[] = {{{0}, 100},       {{1}, 100},       {{-2}, 100},      {{2, 1}, 100},
                          {{2, 2}, 100},    {{2, 0, 1}, 0},   {{2, 0, 0}, 100}, {{2, 0, 2}, 100},
                          {{0, 1, 2}, 100}, {{1, 2, 0}, 100}, {{2, 0, -1}, 100}};
    std::mt19937 rng(1);
    GuardedPage shape_page, order_page;
    int* const shape = shape_page.end_with({3, 7});  // shape[2] is never read
    const int64_t n = 21;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.order));
        std::vector<T> src = random_elements<T>(rng, 3 * n), dst = canary<T>(3 * n + kTail);
        const std::vector<T> expected = planar(src, n, dst);
        EXPECT_EQ(c.result, permute(src.data(), dst.data(), shape, order_page.end_with(c.order)));
        EXPECT_TRUE(same_bits(expected, dst));
    }
}

TYPED_TEST(Permute, NonPositivePixelCountTouchesNoPixel) {
    using T = TypeParam;
    GuardedPage page;
    T* const buffer = page.inaccessible<T>();
    int supported[] = {2, 0, 1}, swapped[] = {0, 1, 2};
    const std::vector<int> shapes[] = {{0, 5}, {5, 0}, {0, 0}, {-1, 7}, {7, -1}, {INT_MIN, 1}, {1, INT_MIN}};
    for (std::vector<int> shape : shapes) {
        SCOPED_TRACE(::testing::PrintToString(shape));
        EXPECT_EQ(result_ok, permute(buffer, buffer, shape.data(), supported));
        EXPECT_EQ(result_unsupported_order, permute(buffer, buffer, shape.data(), swapped));
    }
}

// Sizes 0..40 and one below, at and above many multiples of the block, so that
// every split of blocks over the team and every remainder occurs.
TYPED_TEST(Permute, EveryPixelReachesItsPlaneForAllSizesAndTeams) {
    using T = TypeParam;
    constexpr int64_t block = std::is_same_v<T, uint8_t> ? 16 : 4;
    std::vector<std::vector<int>> shapes;
    for (int n = 0; n <= 40; ++n) shapes.push_back(n % 2 ? std::vector<int>{1, n} : std::vector<int>{n, 1});
    for (int k : {3, 5, 7, 8, 9, 17, 64, 1000})
        for (int n : {block * k - 1, block * k, block * k + 1}) shapes.push_back({1, n});
    shapes.push_back({13, 31});
    shapes.push_back({-2, -3});  // the product counts, not the signs

    std::mt19937 rng(2);
    int order[] = {2, 0, 1};
    for (int team : kTeamSizes) {
        TeamSize team_size(team);
        for (std::vector<int>& shape : shapes) {
            SCOPED_TRACE(::testing::Message() << "team " << team << ", shape " << ::testing::PrintToString(shape));
            const int64_t n = int64_t{shape[0]} * shape[1];
            // One source pixel at least: an empty vector's data() may be null.
            std::vector<T> src = random_elements<T>(rng, 3 * std::max<int64_t>(n, 1)), dst = canary<T>(3 * n + kTail);
            const std::vector<T> expected = planar(src, n, dst);
            ASSERT_EQ(result_ok, permute(src.data(), dst.data(), shape.data(), order, static_cast<int>(rng())));
            ASSERT_TRUE(same_bits(expected, dst));
        }
    }
}

// Member t of a team of T takes a contiguous range of blocks, ranges in member
// order, the first B mod T members one block more than the others.
TEST(BlockSplit, MembersTakeContiguousRangesInTeamOrder) {
    struct Owners {
        int* of_block;
    };
    for (int team : kTeamSizes) {
        TeamSize team_size(team);
        for (int blocks = 0; blocks <= 40; ++blocks) {
            SCOPED_TRACE(::testing::Message() << "team " << team << ", blocks " << blocks);
            std::vector<int> owner(blocks, -1);
            const auto record = [](const Owners& job, int64_t first, int64_t count) {
                for (int64_t b = first; b < first + count; ++b) job.of_block[b] = omp_get_thread_num();
            };
            zv_pt::run_blocks<Owners>(blocks, Owners{owner.data()}, record);
            std::vector<int> taken(team, 0);
            for (int b = 0; b < blocks; ++b) {
                ASSERT_TRUE(owner[b] >= 0 && owner[b] < team) << "block " << b;
                if (b > 0) {
                    ASSERT_LE(owner[b - 1], owner[b]) << "block " << b;
                }
                ++taken[owner[b]];
            }
            for (int t = 0; t < team; ++t) EXPECT_EQ(blocks / team + (t < blocks % team), taken[t]) << "member " << t;
        }
    }
}

// Anonymous memory for the huge image, on huge pages where the kernel allows
// (the page faults of 4 KB pages would take most of the time).
struct Mapping {
    explicit Mapping(size_t bytes)
        : bytes(bytes),
          at(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {
        if (at != MAP_FAILED) madvise(at, bytes, MADV_HUGEPAGE);
    }
    ~Mapping() {
        if (at != MAP_FAILED) munmap(at, bytes);
    }
    uint8_t* data() const { return static_cast<uint8_t*>(at); }
    size_t bytes;
    void* at;
};

// Byte k of a run is (first + step * k) mod 251.  No power of two is a multiple
// of 251, so a byte taken from or put at a wrong place, even 2^31 or 2^32
// bytes off, shows.  Runs are copied and compared in chunks of whole periods.
class PeriodicRun {
public:
    PeriodicRun(int64_t first, int64_t step) : chunk_(251 * 64) {
        for (size_t k = 0; k < chunk_.size(); ++k) chunk_[k] = static_cast<uint8_t>((first + step * k) % 251);
    }

    void write(uint8_t* to, int64_t count) const {
        for (int64_t k = 0; k < count; k += chunk_.size()) std::memcpy(to + k, chunk_.data(), piece(k, count));
    }

    // Index of the first byte out of the run, or -1.
    int64_t first_difference(const uint8_t* at, int64_t count) const {
        for (int64_t k = 0; k < count; k += chunk_.size())
            if (std::memcmp(at + k, chunk_.data(), piece(k, count)) != 0)
                for (int64_t i = k;; ++i)
                    if (at[i] != chunk_[i - k]) return i;
        return -1;
    }

private:
    size_t piece(int64_t k, int64_t count) const { return std::min<int64_t>(chunk_.size(), count - k); }
    std::vector<uint8_t> chunk_;
};

// 3 * 46341 * 15451 bytes is just over 2^31.
TEST(PermuteHuge, ImageOfMoreThan2To31BytesConverts) {
    if (std::getenv("ZV_PT_SKIP_HUGE")) GTEST_SKIP() << "ZV_PT_SKIP_HUGE is set";
    int shape[] = {46341, 15451}, order[] = {2, 0, 1};
    const int64_t n = int64_t{shape[0]} * shape[1];
    ASSERT_GE(3 * n, int64_t{1} << 31);
    const int64_t tail = 4096;
    Mapping src(3 * n), dst(3 * n + tail);
    if (src.at == MAP_FAILED || dst.at == MAP_FAILED) GTEST_SKIP() << "cannot map 4.3 GB";
    PeriodicRun(0, 1).write(src.data(), 3 * n);  // src[i] = i mod 251
    std::memset(dst.data() + 3 * n, 0xa5, tail);

    ASSERT_EQ(result_ok, zv_permute_hwc_chw(src.data(), dst.data(), shape, order, 0));
    for (int c = 0; c < 3; ++c)  // plane c, pixel p: (3p + c) mod 251
        EXPECT_EQ(-1, PeriodicRun(c, 3).first_difference(dst.data() + c * n, n)) << "plane " << c;
    for (int64_t i = 0; i < tail; ++i) ASSERT_EQ(0xa5, dst.data()[3 * n + i]) << "behind the planes, byte " << i;
}

}  // namespace
}  // namespace zv_pt_test
