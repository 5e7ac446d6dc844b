#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "prepare.h"

namespace {

using zvprep::Geometry;
using zvprep::Options;
using zvprep::plan_geometry;

// The scaling takes a shortcut through a double product; it must still give
// the float quotient torchvision computes, for every byte.
TEST(ScaleToUnit, EqualsFloatDivisionByTwoHundredFiftyFive) {
    unsigned char bytes[256];
    for (int v = 0; v < 256; ++v) bytes[v] = static_cast<unsigned char>(v);
    float scaled[256];
    zvprep::scale_to_unit(bytes, 256, scaled);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(scaled[v], static_cast<float>(v) / 255.0f) << "byte " << v;
}

Options shorter_side(long n, long crop_w = 0, long crop_h = 0) {
    Options o;
    o.resize_short = n;
    o.crop = crop_w > 0;
    if (o.crop) {
        o.width = crop_w;
        o.height = crop_h;
    }
    return o;
}

// torchvision's CenterCrop as its definition reads: the image is first padded
// by (crop - size) // 2 before when the crop is larger; otherwise the offset
// is int(round((size - crop) / 2.0)) with Python's round, half to even, which
// is lrint in the default rounding mode.
long torchvision_offset(long size, long crop) {
    return crop > size ? -((crop - size) / 2) : std::lrint((size - crop) / 2.0);
}

TEST(PlanGeometry, CentreCropOffsetsRoundHalfToEvenAndPadWhenLarger) {
    for (long size = 1; size <= 160; ++size) {
        for (long crop = 1; crop <= 2 * size + 3; ++crop) {
            // A square input resized to size x size, cut to crop x (crop + 1).
            const Geometry g = plan_geometry(shorter_side(size, crop, crop + 1), 500, 500);
            ASSERT_EQ(g.resize_w, size);
            ASSERT_EQ(g.resize_h, size);
            ASSERT_EQ(g.out_w, crop);
            ASSERT_EQ(g.out_h, crop + 1);
            ASSERT_EQ(g.left, torchvision_offset(size, crop)) << size << " " << crop;
            ASSERT_EQ(g.top, torchvision_offset(size, crop + 1)) << size << " " << crop + 1;
        }
    }
}

TEST(PlanGeometry, TiesAndPaddingExamples) {
    // 13.5 rounds up to 14 and 10.5 down to 10 (to even); 0.5 down to 0.
    EXPECT_EQ(plan_geometry(shorter_side(100, 123, 71), 150, 100).left, 14);  // 150 - 123 = 27
    EXPECT_EQ(plan_geometry(shorter_side(100, 79, 71), 150, 100).left, 36);   // 71 / 2 = 35.5 -> 36
    EXPECT_EQ(plan_geometry(shorter_side(100, 79, 79), 150, 100).top, 10);    // 21 / 2 = 10.5 -> 10
    EXPECT_EQ(plan_geometry(shorter_side(100, 79, 99), 150, 100).top, 0);     // 0.5 -> 0
    // A crop larger than the image: one more column or row of padding after than before.
    const Geometry g = plan_geometry(shorter_side(100, 155, 105), 150, 100);
    EXPECT_EQ(g.left, -2);  // (155 - 150) // 2 before, 3 after
    EXPECT_EQ(g.top, -2);   // (105 - 100) // 2 before, 3 after
}

// Resize(n): the shorter side becomes n, the longer int(n * long / short),
// truncated; exact integer division gives the same for these sizes.
TEST(PlanGeometry, ShorterSideKeepsTheAspectTruncated) {
    for (long n : {1L, 7L, 224L, 256L, 1000L}) {
        for (long w = 1; w <= 700; w += 3) {
            for (long h : {1L, 2L, 333L, 480L, 500L, 701L}) {
                const Geometry g = plan_geometry(shorter_side(n), w, h);
                const long shorter = std::min(w, h), longer = std::max(w, h);
                const long other = n * longer / shorter;
                ASSERT_EQ(g.resize_w, w <= h ? n : other) << w << "x" << h << " to " << n;
                ASSERT_EQ(g.resize_h, w <= h ? other : n) << w << "x" << h << " to " << n;
                // No crop: the tensor is the whole resized image.
                ASSERT_EQ(g.out_w, g.resize_w);
                ASSERT_EQ(g.out_h, g.resize_h);
                ASSERT_EQ(g.left, 0);
                ASSERT_EQ(g.top, 0);
            }
        }
    }
}

TEST(PlanGeometry, FixedSizeIgnoresTheInput) {
    Options o;
    o.width = 200;
    o.height = 150;
    const Geometry g = plan_geometry(o, 1920, 1080);
    EXPECT_EQ(g.resize_w, 200);
    EXPECT_EQ(g.resize_h, 150);
    EXPECT_EQ(g.out_w, 200);
    EXPECT_EQ(g.out_h, 150);
    EXPECT_EQ(g.left, 0);
    EXPECT_EQ(g.top, 0);
}

}  // namespace
