// libFuzzer target over zv-prep's decoding front end (PNG, JPEG, PPM/PGM):
// whatever the bytes, decode_image() either gives an image of the size it
// declares, within the pixel limit, or fails with a reason.  The input's last
// bytes also choose a DCT scale and a region to ask for, as --fast-decode and
// a crop do: that decode must hold the region it was asked for, and where the
// whole decode at the same scale succeeds, succeed too with the same pixels.
// The pixel limit is small so that each input runs fast; the runner's malloc
// limit turns an allocation made for a size over it into a finding.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "image_io.h"

namespace {

constexpr long kMaxPixels = 1L << 20;

using zvprep::DecodeRequest;
using zvprep::Image;
using zvprep::Rect;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// A successful decode is consistent; a failed one says why.
bool decoded(const std::vector<uint8_t>& file, const DecodeRequest& request, Image& image) {
    std::string error;
    const bool ok = zvprep::decode_image(file.data(), file.size(), kMaxPixels, request, image, error);
    check(ok ? error.empty() : !error.empty());
    if (!ok) return false;
    check(image.file_width > 0 && image.file_height > 0 && image.file_width <= kMaxPixels / image.file_height);
    check(image.decoded_width > 0 && image.decoded_height > 0);
    check(image.decoded_width <= image.file_width && image.decoded_height <= image.file_height);
    check(image.width == image.part.width && image.height == image.part.height && image.width > 0 && image.height > 0);
    check(image.part.x >= 0 && image.part.y >= 0 && image.part.x + image.width <= image.decoded_width &&
          image.part.y + image.height <= image.decoded_height);
    check(image.rgb.size() == static_cast<size_t>(image.width) * image.height * 3);
    return true;
}

// `want` (fractions of the decoded size) as pixels.
Rect region_of(const uint8_t f[4], long w, long h) {
    const long x = f[0] * w / 256, y = f[1] * h / 256;
    return {x, y, 1 + f[2] * (w - x) / 256, 1 + f[3] * (h - y) / 256};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const int scale = 1 << (provider.ConsumeIntegral<uint8_t>() & 3);
    uint8_t fractions[4];
    for (uint8_t& f : fractions) f = provider.ConsumeIntegral<uint8_t>();
    const std::vector<uint8_t> file = provider.ConsumeRemainingBytes<uint8_t>();

    Image whole;
    if (!decoded(file, {}, whole)) {
        Image any;  // the region and scale paths on files that fail whole, too
        DecodeRequest request;
        request.scale = [scale](long, long) { return scale; };
        request.region = [&](const Image& header) {
            return region_of(fractions, header.decoded_width, header.decoded_height);
        };
        decoded(file, request, any);
        return 0;
    }
    check(whole.part.x == 0 && whole.part.y == 0 && whole.width == whole.decoded_width &&
          whole.height == whole.decoded_height && whole.width == whole.file_width);

    DecodeRequest scaled;
    scaled.scale = [scale](long, long) { return scale; };
    Image reference;
    const bool have_reference = decoded(file, scaled, reference);
    DecodeRequest request = scaled;
    Rect want{};
    request.region = [&](const Image& header) {
        want = region_of(fractions, header.decoded_width, header.decoded_height);
        return want;
    };
    Image part;
    const bool have_part = decoded(file, request, part);
    if (!have_reference) return 0;
    check(have_part);
    check(part.decoded_width == reference.width && part.decoded_height == reference.height);
    check(part.part.x <= want.x && part.part.y <= want.y && part.part.x + part.width >= want.x + want.width &&
          part.part.y + part.height >= want.y + want.height);
    for (long y = want.y; y < want.y + want.height; ++y) {
        const uint8_t* a = &reference.rgb[(y * reference.width + want.x) * 3];
        const uint8_t* b = &part.rgb[((y - part.part.y) * part.width + want.x - part.part.x) * 3];
        check(std::memcmp(a, b, static_cast<size_t>(want.width) * 3) == 0);
    }
    return 0;
}
