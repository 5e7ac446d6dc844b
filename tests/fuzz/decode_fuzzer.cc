// libFuzzer target over zv-prep's decoding front end (PNG, JPEG, PPM/PGM):
// whatever the bytes, decode_image() either gives an image of the size it
// declares, within the pixel limit, or fails with a reason.  The pixel limit
// is small so that each input runs fast; the runner's malloc limit turns an
// allocation made for a size over it into a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "image_io.h"

namespace {
constexpr long kMaxPixels = 1L << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zvprep::Image image;
    std::string error;
    if (!zvprep::decode_image(data, size, kMaxPixels, image, error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    const bool sized = image.width > 0 && image.height > 0 && image.width <= kMaxPixels / image.height &&
                       image.rgb.size() == static_cast<std::size_t>(image.width) * image.height * 3;
    if (!sized || !error.empty()) __builtin_trap();
    return 0;
}
