#include <gtest/gtest.h>

#include "prepare.h"

// The scaling takes a shortcut through a double product; it must still give
// the float quotient torchvision computes, for every byte.
TEST(ScaleToUnit, EqualsFloatDivisionByTwoHundredFiftyFive) {
    unsigned char bytes[256];
    for (int v = 0; v < 256; ++v) bytes[v] = static_cast<unsigned char>(v);
    float scaled[256];
    zvprep::scale_to_unit(bytes, 256, scaled);
    for (int v = 0; v < 256; ++v) EXPECT_EQ(scaled[v], static_cast<float>(v) / 255.0f) << "byte " << v;
}
