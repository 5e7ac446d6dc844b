// The preparation header: torchvision's geometry, the invariances a caller
// relies on (row pitch, thread count, kernel team size), and its refusals.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "zv_pt/prepare.hpp"

namespace {

using zvt::prepare::Geometry;
using zvt::prepare::ImageView;
using zvt::prepare::Options;
using zvt::prepare::Preparer;

// A smooth image with noise: resizing it exercises every tap.
std::vector<unsigned char> photo(long w, long h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> rgb(static_cast<size_t>(w * h * 3));
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x)
            for (long c = 0; c < 3; ++c)
                rgb[(y * w + x) * 3 + c] = static_cast<unsigned char>((x * (c + 1) + y * 2 + rng() % 32) & 0xff);
    return rgb;
}

std::vector<float> prepared(Preparer& prep, const ImageView& image) {
    std::vector<float> tensor(prep.tensor_size(image.width, image.height));
    EXPECT_EQ(prep.run(image, tensor.data()), result_ok);
    return tensor;
}

Geometry geometry(Options o, long w, long h) { return zvt::prepare::plan_geometry(o, w, h); }

TEST(PrepareGeometry, ResizeShorterTruncatesTheLongerSide) {
    const Geometry g = geometry(Options::resize_shorter(256), 500, 375);  // 256 * 500 / 375 = 341.33
    EXPECT_EQ(g.resize_w, 341);
    EXPECT_EQ(g.resize_h, 256);
    EXPECT_TRUE(g.whole());
    const Geometry tall = geometry(Options::resize_shorter(224), 333, 500);  // 224 * 500 / 333 = 336.3
    EXPECT_EQ(tall.resize_w, 224);
    EXPECT_EQ(tall.resize_h, 336);
}

// torchvision's CenterCrop as its definition reads: the image is first padded
// by (crop - size) // 2 before when the crop is larger; otherwise the offset
// is int(round((size - crop) / 2.0)) with Python's round, half to even, which
// is lrint in the default rounding mode.
long torchvision_offset(long size, long crop) {
    return crop > size ? -((crop - size) / 2) : std::lrint((size - crop) / 2.0);
}

TEST(PrepareGeometry, CentreCropRoundsTiesToEvenAndPadsWhenLarger) {
    for (long size = 1; size <= 160; ++size) {
        for (long crop = 1; crop <= 2 * size + 3; ++crop) {
            // A square input resized to size x size, cut to crop x (crop + 1).
            const Geometry g = geometry(Options::resize_shorter(size).center_crop(crop, crop + 1), 500, 500);
            ASSERT_EQ(g.resize_w, size);
            ASSERT_EQ(g.resize_h, size);
            ASSERT_EQ(g.out_w, crop);
            ASSERT_EQ(g.out_h, crop + 1);
            ASSERT_EQ(g.left, torchvision_offset(size, crop)) << size << " " << crop;
            ASSERT_EQ(g.top, torchvision_offset(size, crop + 1)) << size << " " << crop + 1;
        }
    }
}

// Resize(n): the shorter side becomes n, the longer int(n * long / short),
// truncated; exact integer division gives the same for these sizes.
TEST(PrepareGeometry, ShorterSideKeepsTheAspectTruncated) {
    for (long n : {1L, 7L, 224L, 256L, 1000L}) {
        for (long w = 1; w <= 700; w += 3) {
            for (long h : {1L, 2L, 333L, 480L, 500L, 701L}) {
                const Geometry g = geometry(Options::resize_shorter(n), w, h);
                const long shorter = std::min(w, h), longer = std::max(w, h);
                const long other = n * longer / shorter;
                ASSERT_EQ(g.resize_w, w <= h ? n : other) << w << "x" << h << " to " << n;
                ASSERT_EQ(g.resize_h, w <= h ? other : n) << w << "x" << h << " to " << n;
                ASSERT_TRUE(g.whole());  // no crop: the tensor is the whole resized image
            }
        }
    }
}

// A crop larger than the image pads (crop - size) / 2 before it, rounded down.
TEST(PrepareGeometry, CropLargerThanTheImagePads) {
    const Geometry g = geometry(Options::resize_shorter(64).center_crop(301, 50), 128, 64);
    EXPECT_EQ(g.resize_w, 128);
    EXPECT_EQ(g.left, -86);  // (301 - 128) / 2 = 86.5
    EXPECT_EQ(g.top, 7);     // (64 - 50) / 2
    EXPECT_EQ(g.out_w, 301);
    EXPECT_EQ(g.out_h, 50);
}

TEST(PrepareTensor, PaddingNormalisesZero) {
    Options o = Options::resize_shorter(4).center_crop(8, 4);
    Preparer prep(o);
    const std::vector<unsigned char> rgb = photo(4, 4, 1);
    const std::vector<float> tensor = prepared(prep, {rgb.data(), 4, 4});
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < 4; ++y) {
            const float* line = &tensor[(c * 4 + y) * 8];
            EXPECT_EQ(line[0], (0.0f - o.mean[c]) / o.std[c]);
            EXPECT_EQ(line[7], (0.0f - o.mean[c]) / o.std[c]);
            EXPECT_NE(line[3], line[0]);
        }
}

// Identity geometry: the tensor is ToTensor and Normalize of the pixels
// themselves, channel planes in order.
TEST(PrepareTensor, IdentityGeometryIsScaleAndNormalise) {
    const long w = 19, h = 7;
    const std::vector<unsigned char> rgb = photo(w, h, 2);
    Options o = Options::resize_to(w, h);
    o.mean[1] = 0.25f;
    o.std[2] = 0.5f;
    for (bool floats : {false, true}) {
        o.float_resize = floats;
        Preparer prep(o);
        const std::vector<float> tensor = prepared(prep, {rgb.data(), w, h});
        for (long c = 0; c < 3; ++c)
            for (long p = 0; p < w * h; ++p)
                ASSERT_EQ(tensor[c * w * h + p], (rgb[p * 3 + c] / 255.0f - o.mean[c]) / o.std[c]) << c << " " << p;
    }
}

TEST(PrepareInvariance, RowPitchChangesNothing) {
    const long w = 203, h = 97, pitch = 3 * w + 13;
    const std::vector<unsigned char> rgb = photo(w, h, 3);
    std::vector<unsigned char> padded(static_cast<size_t>(pitch * h), 0xa5);
    for (long y = 0; y < h; ++y) std::copy_n(&rgb[y * w * 3], w * 3, &padded[y * pitch]);
    for (bool floats : {false, true}) {
        Options o = Options::resize_shorter(50).center_crop(40, 30);
        o.float_resize = floats;
        o.filter = zvt::resize::Filter::bicubic;
        Preparer prep(o);
        EXPECT_EQ(prepared(prep, {rgb.data(), w, h}), prepared(prep, {padded.data(), w, h, pitch}));
    }
}

TEST(PrepareInvariance, KernelTeamSizeChangesNothingAndIsRestored) {
    const std::vector<unsigned char> rgb = photo(640, 480, 4);
    omp_set_num_threads(3);
    std::vector<std::vector<float>> tensors;
    for (int team : {1, 2, 5, 0}) {
        Options o = Options::resize_to(224, 224);
        o.kernel_threads = team;
        Preparer prep(o);
        tensors.push_back(prepared(prep, {rgb.data(), 640, 480}));
        EXPECT_EQ(omp_get_max_threads(), 3) << "team " << team;
    }
    for (const auto& t : tensors) EXPECT_EQ(t, tensors[0]);
}

// Images of several sizes (one plan each, replanned as the size changes) in
// one batch: every thread count gives the tensors of one-by-one runs.
TEST(PrepareBatch, EveryThreadCountGivesTheSameBits) {
    const long sizes[][2] = {{333, 500}, {500, 375}, {333, 500}, {640, 427}, {97, 101}, {500, 375}, {256, 256}};
    std::vector<std::vector<unsigned char>> pixels;
    std::vector<ImageView> images;
    for (const auto& s : sizes) pixels.push_back(photo(s[0], s[1], static_cast<uint32_t>(pixels.size())));
    for (size_t i = 0; i < pixels.size(); ++i) images.emplace_back(pixels[i].data(), sizes[i][0], sizes[i][1]);
    for (bool floats : {false, true}) {
        Options o = Options::resize_shorter(128).center_crop(112, 112);
        o.float_resize = floats;
        Preparer single(o);
        std::vector<float> expected;
        for (const ImageView& image : images) {
            const std::vector<float> t = prepared(single, image);
            expected.insert(expected.end(), t.begin(), t.end());
        }
        Preparer batch(o);
        for (int threads : {1, 2, 3, 8}) {
            std::vector<float> out(expected.size(), -7.0f);
            ASSERT_EQ(batch.run_batch(images.data(), images.size(), out.data(), threads), result_ok);
            EXPECT_EQ(out, expected) << threads << " threads";
        }
    }
}

// A decoder that decodes only the footprint's source (and more around it, at
// an offset and a pitch of its own) gives the tensor of the whole image.
TEST(PrepareFootprint, ThePartGivesTheWholeImagesTensor) {
    const long w = 517, h = 389;
    const std::vector<unsigned char> rgb = photo(w, h, 6);
    for (bool floats : {false, true}) {
        for (Options o : {Options::resize_shorter(128).center_crop(96, 80), Options::resize_shorter(60).center_crop(90, 70),
                          Options::resize_to(100, 50)}) {
            o.float_resize = floats;
            o.filter = floats ? zvt::resize::Filter::bicubic : zvt::resize::Filter::bilinear;
            Preparer prep(o);
            const std::vector<float> expected = prepared(prep, {rgb.data(), w, h});
            const zvt::prepare::Footprint f = prep.footprint(w, h);
            EXPECT_EQ(f.geometry.out_w, o.width);
            EXPECT_EQ(f.decoded_w, w);
            if (f.geometry.out_w < f.geometry.resize_w) {  // a narrower crop reads fewer columns
                EXPECT_LT(f.source.width, w);
            }
            const long x = std::max(0L, f.source.x - 5), y = std::max(0L, f.source.y - 3);
            const long pw = std::min(w, f.source.x + f.source.width + 2) - x;
            const long ph = std::min(h, f.source.y + f.source.height + 1) - y;
            const long pitch = 3 * pw + 7;
            std::vector<unsigned char> part(static_cast<size_t>(pitch * ph), 0x5a);
            for (long line = 0; line < ph; ++line)
                std::copy_n(&rgb[((y + line) * w + x) * 3], 3 * pw, &part[line * pitch]);
            std::vector<float> tensor(expected.size());
            ASSERT_EQ(prep.run_part(f, {part.data(), pw, ph, pitch}, x, y, tensor.data()), result_ok);
            EXPECT_EQ(tensor, expected) << (floats ? "floats" : "bytes");
            // One column or line short of the source is refused, nothing written.
            std::vector<float> untouched(expected.size(), 3.0f);
            if (f.source.x > 0) {
                const long cut = f.source.x - x + 1;
                EXPECT_THROW(prep.run_part(f, {part.data() + 3 * cut, pw - cut, ph, pitch}, x + cut, y,
                                           untouched.data()),
                             std::invalid_argument);
            }
            EXPECT_THROW(prep.run_part(f, {part.data(), pw, f.source.y + f.source.height - y - 1, pitch}, x, y,
                                       untouched.data()),
                         std::invalid_argument);
            for (float v : untouched) ASSERT_EQ(v, 3.0f);
        }
    }
}

// A smaller decode (a JPEG decoded at a reduced DCT scale) keeps the tensor's
// shape, which comes from the image's own size.
TEST(PrepareFootprint, ASmallerDecodeKeepsTheTensorsShape) {
    Preparer prep(Options::resize_shorter(64).center_crop(48, 48));
    const zvt::prepare::Footprint f = prep.footprint(1920, 1080, 960, 540);
    EXPECT_EQ(f.geometry.resize_w, 113);  // 64 * 1920 / 1080, from the whole size
    EXPECT_EQ(f.decoded_w, 960);
    EXPECT_LE(f.source.x + f.source.width, 960);
    EXPECT_LE(f.source.y + f.source.height, 540);
    const std::vector<unsigned char> half = photo(960, 540, 8);
    std::vector<float> tensor(f.geometry.tensor_size());
    ASSERT_EQ(prep.run_part(f, {half.data(), 960, 540}, 0, 0, tensor.data()), result_ok);
}

TEST(PrepareRefusals, BadOptionsThrow) {
    auto refused = [](Options o) { EXPECT_THROW(Preparer{o}, std::invalid_argument); };
    refused(Options::resize_to(0, 224));
    refused(Options::resize_to(224, -1));
    Options crop_without_resize = Options::resize_to(224, 224);
    crop_without_resize.crop = true;
    refused(crop_without_resize);
    Options zero_std;
    zero_std.std[1] = -0.0f;
    refused(zero_std);
    Options nan_mean;
    nan_mean.mean[2] = std::nanf("");
    refused(nan_mean);
    Options team;
    team.kernel_threads = -1;
    refused(team);
}

TEST(PrepareRefusals, BadImagesAndBatches) {
    Preparer prep(Options::resize_shorter(32));
    const std::vector<unsigned char> rgb = photo(64, 48, 5);
    std::vector<float> tensor(3 * 64 * 64, 1.0f);
    EXPECT_EQ(prep.run({nullptr, 64, 48}, tensor.data()), result_null_argument);
    EXPECT_EQ(prep.run({rgb.data(), 64, 48}, nullptr), result_null_argument);
    EXPECT_THROW(prep.run({rgb.data(), 0, 48}, tensor.data()), std::invalid_argument);
    EXPECT_THROW(prep.run({rgb.data(), 64, 48, 100}, tensor.data()), std::invalid_argument);
    for (float v : tensor) ASSERT_EQ(v, 1.0f);  // nothing written
    // Resize(32) keeps the aspect: 64x48 and 48x64 give tensors of other shapes.
    const ImageView mixed[] = {{rgb.data(), 64, 48}, {rgb.data(), 48, 64}};
    EXPECT_THROW(prep.run_batch(mixed, 2, tensor.data(), 2), std::invalid_argument);
    EXPECT_THROW(prep.run_batch(mixed, 1, tensor.data(), 0), std::invalid_argument);
    const ImageView broken[] = {{rgb.data(), 64, 48}, {nullptr, 64, 48}, {rgb.data(), 64, 48}};
    EXPECT_EQ(prep.run_batch(broken, 3, tensor.data(), 2), result_null_argument);
}

// The shortcut through a double product must give the float quotient
// torchvision computes, for every byte.
TEST(PrepareScale, EqualsFloatDivisionByTwoHundredFiftyFive) {
    unsigned char bytes[256];
    for (int v = 0; v < 256; ++v) bytes[v] = static_cast<unsigned char>(v);
    float scaled[256];
    zvt::prepare::detail::scale_to_unit(bytes, 256, scaled);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(scaled[v], static_cast<float>(v) / 255.0f) << "byte " << v;
}

}  // namespace
