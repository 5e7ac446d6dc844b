// The planner's calls of the resampling pass: for every plan, layout and pitch
// the result must be bit-identical to applying the axis tables the plain way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <type_traits>
#include <vector>

#include "zv_pt/resize.hpp"

namespace {

using namespace zvt::resize;

// An interleaved w x h image of 3 channels.
template <class T>
struct Image {
    long w, h;
    std::vector<T> v;
    T& at(long x, long y, long c) { return v[size_t((y * w + x) * 3 + c)]; }
};

template <class T>
Image<T> noise(long w, long h, unsigned seed) {
    std::mt19937 rng(seed);
    Image<T> im{w, h, std::vector<T>(size_t(w * h * 3))};
    for (T& e : im.v) e = std::is_same_v<T, float> ? T(float(rng()) / 4294967296.0f * 2 - 0.5f) : T(rng() & 255);
    return im;
}

float combine(const std::vector<float>& x, const AxisTaps& t, long i) {
    float acc = 0.0f;
    for (long j = 0; j < t.count[i]; ++j) acc = std::fma(x[j], t.weights[t.offset[i] + j], acc);
    return acc;
}

unsigned char combine(const std::vector<unsigned char>& x, const AxisTaps& t, long i) {
    int32_t acc = int32_t{1} << (t.frac_bits - 1);
    for (long j = 0; j < t.count[i]; ++j) acc += t.fixed[t.offset[i] + j] * int32_t{x[j]};
    return static_cast<unsigned char>(std::min(std::max(acc >> t.frac_bits, 0), 255));
}

// One axis' tables applied the plain way.
template <class T>
Image<T> plain_pass(Image<T> in, const AxisTaps& t, Axis axis) {
    const bool across_x = axis == Axis::horizontal;
    Image<T> out{across_x ? t.out_size : in.w, across_x ? in.h : t.out_size, {}};
    out.v.resize(size_t(out.w * out.h * 3));
    std::vector<T> taps;
    for (long y = 0; y < out.h; ++y)
        for (long x = 0; x < out.w; ++x)
            for (long c = 0; c < 3; ++c) {
                const long i = across_x ? x : y;
                taps.clear();
                for (long j = t.first[i]; j < t.first[i] + t.count[i]; ++j)
                    taps.push_back(across_x ? in.at(j, y, c) : in.at(x, j, c));
                out.at(x, y, c) = combine(taps, t, i);
            }
    return out;
}

// Lines of `pitch` elements, the padding filled with `fill`.
template <class T>
std::vector<T> store(const Image<T>& im, Layout layout, long pitch, T fill) {
    const long width = layout == Layout::interleaved ? im.w * 3 : im.w;
    const long lines = layout == Layout::interleaved ? im.h : im.h * 3;
    std::vector<T> out(size_t(pitch * lines), fill);
    for (long line = 0; line < lines; ++line)
        for (long e = 0; e < width; ++e) {
            const long y = line % im.h, plane = line / im.h;
            const long k = layout == Layout::interleaved ? (line * im.w * 3 + e) : ((y * im.w + e) * 3 + plane);
            out[size_t(line * pitch + e)] = im.v[size_t(k)];
        }
    return out;
}

// Resizes through the planner with `pad` spare elements after every line and
// compares with the plain passes in the plan's order, padding included.
template <class T>
void expect_plain_result(const long (&s)[4], Filter filter, Plan plan, Layout layout, long pad) {
    const Image<T> src = noise<T>(s[0], s[1], unsigned(s[0] * s[3]));
    const AxisTaps x = make_axis_taps(s[0], s[2], filter), y = make_axis_taps(s[1], s[3], filter);
    // An identity pass changes nothing, so both passes serve every geometry.
    const bool h_first = plan.order == Order::horizontal_first;
    Image<T> want = plain_pass(src, h_first ? x : y, h_first ? Axis::horizontal : Axis::vertical);
    want = plain_pass(want, h_first ? y : x, h_first ? Axis::vertical : Axis::horizontal);

    const bool interleaved = layout == Layout::interleaved;
    const long src_pitch = s[0] * (interleaved ? 3 : 1) + 2 * pad;
    const long dst_pitch = s[2] * (interleaved ? 3 : 1) + pad;
    const std::vector<T> in = store(src, layout, src_pitch, T(7));
    std::vector<T> out(size_t(dst_pitch * s[3] * (interleaved ? 1 : 3)), T(9));
    Resizer<T> resizer(s[0], s[1], s[2], s[3], layout, filter, plan);
    ASSERT_EQ(resizer.run(in.data(), src_pitch, out.data(), dst_pitch), result_ok);
    EXPECT_EQ(out, store(want, layout, dst_pitch, T(9)))
        << s[0] << "x" << s[1] << "->" << s[2] << "x" << s[3] << " filter " << int(filter) << " order "
        << int(plan.order) << " mapping " << int(plan.horizontal) << " layout " << int(layout) << " pad " << pad;
}

template <class T>
class ResizerTest : public testing::Test {};
using ElementTypes = testing::Types<float, unsigned char>;
TYPED_TEST_SUITE(ResizerTest, ElementTypes);

TYPED_TEST(ResizerTest, EveryPlanLayoutAndPitchMatchesThePlainPasses) {
    // Coprime sizes, and sizes with several periods of the sampling grid per line.
    const long sizes[][4] = {{13, 11, 5, 17}, {40, 6, 7, 6}, {3, 9, 8, 2}, {40, 7, 8, 5}, {6, 4, 15, 9}};
    for (const auto& s : sizes)
        for (Filter filter : {Filter::bilinear, Filter::bicubic})
            for (Order order : {Order::horizontal_first, Order::vertical_first})
                for (Mapping mapping : {Mapping::per_row, Mapping::per_column, Mapping::per_phase})
                    for (Layout layout : {Layout::interleaved, Layout::planar})
                        for (long pad : {0, 3}) expect_plain_result<TypeParam>(s, filter, {order, mapping}, layout, pad);
}

// Per row, contiguous lines go several to a call, their tables stacked: each
// line's last elements read up to the end of its own tables, and the lanes
// go on with the next line.  Wide enough for many groups of lanes a line.
TYPED_TEST(ResizerTest, PerRowCallsOfSeveralLinesMatchThePlainPasses) {
    const long sizes[][4] = {{300, 9, 97, 9}, {251, 12, 100, 7}, {64, 5, 61, 5}};
    for (const auto& s : sizes)
        for (Filter filter : {Filter::bilinear, Filter::bicubic})
            for (Layout layout : {Layout::interleaved, Layout::planar})
                for (long pad : {0, 3})
                    expect_plain_result<TypeParam>(s, filter, {Order::horizontal_first, Mapping::per_row}, layout, pad);
}

// Enough lines for several blocks of lines per call, the last one partial.
TYPED_TEST(ResizerTest, PhasesRunThroughTallImagesInBlocks) {
    using T = TypeParam;
    const Image<T> src = noise<T>(64, 3001, 5);
    const Image<T> want = plain_pass(src, make_axis_taps(64, 24, Filter::bicubic), Axis::horizontal);
    std::vector<T> out(want.v.size());
    Resizer<T> resizer(64, 3001, 24, 3001, Layout::interleaved, Filter::bicubic, Plan{Order::automatic, Mapping::per_phase});
    ASSERT_EQ(resizer.run(src.v.data(), out.data()), result_ok);
    EXPECT_EQ(out, want.v);
}

// The element type's planar or interleaved image of `src`, contiguous.
template <class T>
std::vector<T> contiguous(const Image<T>& im, Layout layout) {
    return store(im, layout, layout == Layout::interleaved ? im.w * 3 : im.w, T(0));
}

// Thread counts and band heights split the work differently; the bits stay.
TYPED_TEST(ResizerTest, ThreadsAndBandsChangeNoBit) {
    using T = TypeParam;
    const long sizes[][4] = {{97, 301, 31, 67}, {40, 130, 57, 211}, {120, 64, 119, 64}, {64, 90, 64, 31}};
    for (const auto& s : sizes)
        for (Filter filter : {Filter::bilinear, Filter::bicubic})
            for (Order order : {Order::horizontal_first, Order::vertical_first})
                for (Layout layout : {Layout::interleaved, Layout::planar}) {
                    const std::vector<T> in = contiguous(noise<T>(s[0], s[1], unsigned(s[1])), layout);
                    std::vector<T> want(size_t(s[2] * s[3] * 3)), got(want.size());
                    Resizer<T> one(s[0], s[1], s[2], s[3], layout, filter, {order, Mapping::automatic, 1});
                    ASSERT_EQ(one.run(in.data(), want.data()), result_ok);
                    for (int threads : {2, 3, 5})
                        for (long band : {1L, 2L, 7L, 0L}) {
                            Resizer<T> many(s[0], s[1], s[2], s[3], layout, filter,
                                            {order, Mapping::automatic, threads, band});
                            std::fill(got.begin(), got.end(), T(3));
                            ASSERT_EQ(many.run(in.data(), got.data()), result_ok);
                            EXPECT_EQ(got, want) << s[0] << "x" << s[1] << "->" << s[2] << "x" << s[3] << " filter "
                                                 << int(filter) << " order " << int(order) << " layout "
                                                 << int(layout) << " threads " << threads << " band " << band;
                        }
                    // Run again: the threads and buffers are reused, and with
                    // one-line bands the threads that finish first go on with
                    // the others' lines, as many as the timing leaves them.
                    Resizer<T> again(s[0], s[1], s[2], s[3], layout, filter, {order, Mapping::automatic, 3, 1});
                    for (int round = 0; round < 8; ++round) {
                        std::fill(got.begin(), got.end(), T(3));
                        ASSERT_EQ(again.run(in.data(), got.data()), result_ok);
                        EXPECT_EQ(got, want) << "round " << round;
                    }
                }
}

// A window of the output, computed alone from exactly the source rectangle the
// resizer names (copied into a buffer of just that size, so that a read
// outside it is an error under the sanitizers), equals that window of the
// whole resize bit for bit.
template <class T>
void expect_window(std::mt19937& rng, const long (&s)[4], Filter filter, Layout layout, Plan plan) {
    auto uniform = [&](long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng); };
    const Image<T> src = noise<T>(s[0], s[1], unsigned(rng()));
    const bool interleaved = layout == Layout::interleaved;
    const long ch = interleaved ? 3 : 1, planes = interleaved ? 1 : 3;
    const std::vector<T> in = contiguous(src, layout);
    std::vector<T> whole(size_t(s[2] * s[3] * 3));
    ASSERT_EQ(Resizer<T>(s[0], s[1], s[2], s[3], layout, filter, plan).run(in.data(), whole.data()), result_ok);

    Window w;
    w.width = uniform(1, s[2]), w.height = uniform(1, s[3]);
    w.x = uniform(0, s[2] - w.width), w.y = uniform(0, s[3] - w.height);
    Resizer<T> part(s[0], s[1], s[2], s[3], w, layout, filter, plan);
    const Window r = part.source_window();
    ASSERT_EQ(part.output_window(), w);
    ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 && r.x + r.width <= s[0] && r.y + r.height <= s[1]);
    // The rectangle, its lines `pad` elements apart beyond its width.
    const long pad = uniform(0, 2), src_pitch = r.width * ch + pad, dst_pitch = w.width * ch + pad;
    std::vector<T> rect(size_t(src_pitch * r.height * planes - pad));
    for (long p = 0; p < planes; ++p)
        for (long y = 0; y < r.height; ++y)
            std::copy_n(&in[size_t((p * s[1] + r.y + y) * s[0] * ch + r.x * ch)], r.width * ch,
                        &rect[size_t((p * r.height + y) * src_pitch)]);
    std::vector<T> out(size_t(dst_pitch * w.height * planes - pad), T(5));
    ASSERT_EQ(part.run(rect.data(), src_pitch, out.data(), dst_pitch), result_ok);
    for (long p = 0; p < planes; ++p)
        for (long y = 0; y < w.height; ++y)
            for (long e = 0; e < w.width * ch; ++e)
                ASSERT_EQ(out[size_t((p * w.height + y) * dst_pitch + e)],
                          whole[size_t((p * s[3] + w.y + y) * s[2] * ch + w.x * ch + e)])
                    << s[0] << "x" << s[1] << "->" << s[2] << "x" << s[3] << " window " << w.x << "," << w.y << " "
                    << w.width << "x" << w.height << " filter " << int(filter) << " layout " << int(layout)
                    << " order " << int(plan.order) << " mapping " << int(plan.horizontal) << " at plane " << p
                    << " line " << y << " element " << e;
}

TYPED_TEST(ResizerTest, WindowsAreTheirPartOfTheWholeResize) {
    std::mt19937 rng(17);
    const long sizes[][4] = {{97, 61, 23, 40}, {40, 30, 97, 71}, {64, 48, 64, 17}, {33, 80, 120, 80},
                             {211, 7, 64, 7},  {50, 50, 1, 1},   {120, 90, 119, 91}, {48, 36, 16, 12}};
    for (const auto& s : sizes)
        for (Filter filter : {Filter::bilinear, Filter::bicubic})
            for (Layout layout : {Layout::interleaved, Layout::planar})
                for (Order order : {Order::automatic, Order::horizontal_first, Order::vertical_first})
                    for (Mapping mapping : {Mapping::automatic, Mapping::per_row, Mapping::per_phase})
                        for (int threads : {1, 2})
                            for (int round = 0; round < 2; ++round)
                                expect_window<TypeParam>(rng, s, filter, layout, {order, mapping, threads});
}

// A centred crop of a shrink reads a smaller source rectangle, within the
// filter's reach of the crop.
TEST(Resizer, CentredCropsReadLessSource) {
    const Window crop{16, 16, 224, 224};
    Resizer<unsigned char> part(1920, 1080, 455, 256, crop, Layout::interleaved, Filter::bicubic);
    const Window r = part.source_window();
    const double scale = 1080.0 / 256.0;
    EXPECT_NEAR(r.x, crop.x * scale, 2 * 2 * scale + 1);
    EXPECT_NEAR(r.x + r.width, (crop.x + crop.width) * scale, 2 * 2 * scale + 1);
    EXPECT_NEAR(r.y, crop.y * scale, 2 * 2 * scale + 1);
    EXPECT_LT(r.width, 1920);
    EXPECT_THROW(Resizer<float>(8, 8, 4, 4, Window{3, 0, 2, 4}, Layout::planar, Filter::bilinear),
                 std::invalid_argument);
    EXPECT_THROW(Resizer<float>(8, 8, 4, 4, Window{0, 0, 0, 4}, Layout::planar, Filter::bilinear),
                 std::invalid_argument);
}

// The phases of a window that starts inside a line cannot run on from line to
// line: a call per phase, channel and line is ten times slower than the
// per-element mapping, so the planner must not pick them there, while a whole
// resize of the same frame whose phases are fast (a third: runs of 6 or 12
// taps, elements 9 bytes apart) keeps them.
TEST(Resizer, WindowsInsideALineMapTheirOwnTaps) {
    const auto horizontal_mapping = [](const Resizer<unsigned char>& r) {
        for (const AxisPass<unsigned char>& pass : r.passes())
            if (pass.axis() == Axis::horizontal) return pass.mapping();
        return Mapping::automatic;
    };
    for (Filter f : {Filter::bilinear, Filter::bicubic}) {
        const Resizer<unsigned char> part(1920, 1080, 455, 256, Window{115, 16, 224, 224}, Layout::interleaved, f);
        EXPECT_EQ(horizontal_mapping(part), Mapping::per_row);
        const Resizer<unsigned char> whole(1920, 1080, 640, 360, Layout::interleaved, f);
        EXPECT_EQ(horizontal_mapping(whole), Mapping::per_phase);
    }
}

TYPED_TEST(ResizerTest, UnchangedAxesGetNoPass) {
    using T = TypeParam;
    const Image<T> src = noise<T>(6, 4, 1);
    std::vector<T> out(src.v.size());
    Resizer<T> same(6, 4, 6, 4, Layout::interleaved, Filter::bicubic);
    EXPECT_TRUE(same.passes().empty());
    ASSERT_EQ(same.run(src.v.data(), out.data()), result_ok);
    EXPECT_EQ(out, src.v);

    Resizer<T> narrower(6, 4, 3, 4, Layout::planar, Filter::bilinear);
    ASSERT_EQ(narrower.passes().size(), 1u);
    EXPECT_EQ(narrower.passes()[0].axis(), Axis::horizontal);
}

TYPED_TEST(ResizerTest, RejectsNullImages) {
    using T = TypeParam;
    std::vector<T> buffer(3 * 8 * 8);
    Resizer<T> resizer(8, 8, 4, 4, Layout::interleaved, Filter::bilinear);
    EXPECT_EQ(resizer.run(nullptr, buffer.data()), result_null_argument);
    EXPECT_EQ(resizer.run(buffer.data(), nullptr), result_null_argument);
}

// The fixed-point runs sum to exactly one, so flat 8-bit images stay flat even
// where bicubic weights go negative.
TEST(Resizer, FlatEightBitImagesStayFlat) {
    for (int value : {0, 1, 128, 254, 255}) {
        const std::vector<unsigned char> src(3 * 37 * 23, static_cast<unsigned char>(value));
        for (const auto& [w, h] : {std::pair{11L, 70L}, std::pair{90L, 5L}}) {
            std::vector<unsigned char> out(size_t(3 * w * h));
            ASSERT_EQ(resize(src.data(), 37, 23, out.data(), w, h, Layout::planar, Filter::bicubic), result_ok);
            EXPECT_EQ(out, std::vector<unsigned char>(out.size(), static_cast<unsigned char>(value))) << value;
        }
    }
}

}  // namespace
