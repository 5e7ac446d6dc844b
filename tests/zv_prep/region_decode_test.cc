// Decoding the part of a JPEG that a tensor needs: every pixel asked for equals
// the whole decode's, whatever the region, the chroma subsampling, the scan
// mode or the DCT scale; and the tensor prepared from the part equals the one
// prepared from the whole image, bit for bit.  The JPEGs are written here
// with libjpeg itself.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "image_io.h"
#include "zv_pt/prepare.hpp"

namespace {

using zvprep::DecodeRequest;
using zvprep::Image;
using zvprep::Rect;

constexpr long kLimit = 1L << 26;

// A photo-like image whose chroma changes fast enough that any error of the
// chroma upsampling shows: gradients, stripes of colour and noise.
std::vector<unsigned char> picture(long w, long h, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> rgb(static_cast<size_t>(w * h * 3));
    for (long y = 0; y < h; ++y)
        for (long x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(y * w + x) * 3];
            p[0] = static_cast<unsigned char>((x * 3 + y) + rng() % 24);
            p[1] = static_cast<unsigned char>(((x / 3 + y / 5) % 2) * 180 + rng() % 40);
            p[2] = static_cast<unsigned char>((x * y / 7) + rng() % 16);
        }
    return rgb;
}

struct Encoding {
    int h_samp, v_samp;  // of the luma: 1 1 is 4:4:4, 2 1 is 4:2:2, 2 2 is 4:2:0, 1 2 is 4:4:0
    bool grey = false;
    bool progressive = false;
    int restart_rows = 0;
    const char* name;
    int scans = 0;  // progressive: only the first scans of the simple progression (0: all)
    int chroma[2][2] = {{1, 1}, {1, 1}};  // h and v sampling of the second and third components
};

const Encoding kEncodings[] = {
    {1, 1, false, false, 0, "4:4:4"},         {2, 1, false, false, 0, "4:2:2"},
    {2, 2, false, false, 0, "4:2:0"},         {1, 2, false, false, 0, "4:4:0"},
    {4, 1, false, false, 0, "4:1:1"},         {1, 1, true, false, 0, "grey"},
    {2, 2, false, true, 0, "4:2:0 progressive"}, {1, 1, false, true, 0, "4:4:4 progressive"},
    {2, 1, false, true, 0, "4:2:2 progressive"}, {1, 1, true, true, 0, "grey progressive"},
    {2, 2, false, false, 1, "4:2:0 restarts"},
    // AC coefficients left incomplete: decoded with block smoothing.
    {2, 2, false, true, 0, "4:2:0 progressive, 4 scans of 10", 4},
    {1, 1, false, true, 0, "4:4:4 progressive, 6 scans of 10", 6},
    // Chroma that the IDCT scales up at 1/2 and 1/4 and that is still upsampled,
    // and components sampled three ways, of which a narrow crop keeps one sample.
    {4, 2, false, false, 0, "4:1:0"},
    {2, 2, false, false, 0, "2x2, 1x1, 1x4", 0, {{1, 1}, {1, 4}}},
    {1, 1, false, false, 0, "1x1, 2x1, 4x1", 0, {{2, 1}, {4, 1}}},
};

struct EncodeError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void encode_fail(j_common_ptr info) { std::longjmp(reinterpret_cast<EncodeError*>(info->err)->jump, 1); }

std::vector<unsigned char> encode(const std::vector<unsigned char>& rgb, long w, long h, const Encoding& e) {
    jpeg_compress_struct info{};
    EncodeError err{};
    info.err = jpeg_std_error(&err.manager);
    err.manager.error_exit = encode_fail;
    unsigned char* out = nullptr;
    unsigned long size = 0;
    std::vector<unsigned char> grey;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&info);
        std::free(out);
        ADD_FAILURE() << "libjpeg could not encode " << e.name;
        return {};
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &size);
    info.image_width = static_cast<JDIMENSION>(w);
    info.image_height = static_cast<JDIMENSION>(h);
    info.input_components = e.grey ? 1 : 3;
    info.in_color_space = e.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    if (!e.grey) {
        info.comp_info[0].h_samp_factor = e.h_samp;
        info.comp_info[0].v_samp_factor = e.v_samp;
        for (int c = 1; c < 3; ++c) {
            info.comp_info[c].h_samp_factor = e.chroma[c - 1][0];
            info.comp_info[c].v_samp_factor = e.chroma[c - 1][1];
        }
    }
    if (e.progressive) jpeg_simple_progression(&info);
    if (e.scans > 0) info.num_scans = e.scans;
    info.restart_in_rows = e.restart_rows;
    jpeg_start_compress(&info, TRUE);
    if (e.grey) {
        grey.resize(static_cast<size_t>(w * h));
        for (long i = 0; i < w * h; ++i) grey[i] = rgb[i * 3 + 1];
    }
    while (info.next_scanline < info.image_height) {
        const unsigned char* line = e.grey ? &grey[info.next_scanline * w] : &rgb[info.next_scanline * w * 3];
        JSAMPROW row = const_cast<JSAMPROW>(line);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<unsigned char> file(out, out + size);
    std::free(out);
    return file;
}

Image decode(const std::vector<unsigned char>& file, const DecodeRequest& request = {}) {
    Image image;
    std::string error;
    EXPECT_TRUE(zvprep::decode_image(file.data(), file.size(), kLimit, request, image, error)) << error;
    return image;
}

DecodeRequest asking(Rect region, int scale = 1) {
    DecodeRequest r;
    r.scale = [scale](long, long) { return scale; };
    r.region = [region](const Image&) { return region; };
    return r;
}

// The part holds `want`, and there it equals the whole decode `full`.
void expect_region_equal(const Image& full, const Image& part, const Rect& want, const std::string& what) {
    ASSERT_EQ(part.decoded_width, full.width) << what;
    ASSERT_EQ(part.decoded_height, full.height) << what;
    ASSERT_LE(part.part.x, want.x) << what;
    ASSERT_LE(part.part.y, want.y) << what;
    ASSERT_GE(part.part.x + part.width, want.x + want.width) << what;
    ASSERT_GE(part.part.y + part.height, want.y + want.height) << what;
    ASSERT_EQ(part.part.width, part.width);
    ASSERT_EQ(part.part.height, part.height);
    for (long y = want.y; y < want.y + want.height; ++y) {
        const unsigned char* a = &full.rgb[(y * full.width + want.x) * 3];
        const unsigned char* b = &part.rgb[((y - part.part.y) * part.width + want.x - part.part.x) * 3];
        for (long i = 0; i < want.width * 3; ++i)
            ASSERT_EQ(a[i], b[i]) << what << ": line " << y << ", column " << want.x + i / 3;
    }
}

// Regions touching every edge, starting and ending on and beside MCU
// boundaries, one pixel wide or tall, and at random.
std::vector<Rect> regions(long w, long h, unsigned seed) {
    std::vector<Rect> r;
    for (long x0 : {0L, 1L, 7L, 8L, 9L, 15L, 16L, 17L, 31L, 33L, w / 2, w - 17, w - 9, w - 2, w - 1})
        for (long x1 : {x0 + 1, x0 + 2, x0 + 8, x0 + 16, x0 + 17, w - 16, w - 1, w})
            if (x0 >= 0 && x1 > x0 && x1 <= w) r.push_back({x0, (x0 * 7) % h, x1 - x0, std::max(1L, h - (x0 * 7) % h - x0 % 5)});
    for (long y0 : {0L, 1L, 7L, 8L, 15L, 16L, 17L, h / 2, h - 17, h - 1})
        for (long y1 : {y0 + 1, y0 + 2, y0 + 16, y0 + 17, h - 1, h})
            if (y0 >= 0 && y1 > y0 && y1 <= h) r.push_back({w / 3, y0, w / 3, y1 - y0});
    std::mt19937 rng(seed);
    for (int i = 0; i < 40; ++i) {
        const long x = rng() % w, y = rng() % h;
        r.push_back({x, y, 1 + static_cast<long>(rng() % (w - x)), 1 + static_cast<long>(rng() % (h - y))});
    }
    return r;
}

TEST(RegionDecode, EveryPixelAskedForEqualsTheWholeDecode) {
    const long sizes[][2] = {{173, 97}, {256, 144}, {61, 203}};
    unsigned seed = 1;
    for (const auto& size : sizes) {
        const long w = size[0], h = size[1];
        const std::vector<unsigned char> rgb = picture(w, h, seed);
        for (const Encoding& e : kEncodings) {
            const std::vector<unsigned char> file = encode(rgb, w, h, e);
            const Image full = decode(file);
            ASSERT_EQ(full.width, w);
            for (const Rect& want : regions(w, h, ++seed)) {
                const std::string what = std::string(e.name) + " " + std::to_string(w) + "x" + std::to_string(h) +
                                         " region " + std::to_string(want.x) + "," + std::to_string(want.y) + " " +
                                         std::to_string(want.width) + "x" + std::to_string(want.height);
                expect_region_equal(full, decode(file, asking(want)), want, what);
                if (HasFatalFailure()) return;
            }
        }
    }
}

// At 1/2, 1/4 and 1/8 of the size, the region of a scaled decode equals the
// whole scaled decode.
TEST(RegionDecode, ScaledDecodesToo) {
    const long w = 261, h = 155;
    const std::vector<unsigned char> rgb = picture(w, h, 7);
    unsigned seed = 40;
    for (const Encoding& e : kEncodings) {
        const std::vector<unsigned char> file = encode(rgb, w, h, e);
        for (int scale : {2, 4, 8}) {
            DecodeRequest whole;
            whole.scale = [scale](long, long) { return scale; };
            const Image full = decode(file, whole);
            ASSERT_EQ(full.width, (w + scale - 1) / scale);
            ASSERT_EQ(full.height, (h + scale - 1) / scale);
            ASSERT_EQ(full.file_width, w);
            for (const Rect& want : regions(full.width, full.height, ++seed)) {
                expect_region_equal(full, decode(file, asking(want, scale)), want,
                                    std::string(e.name) + " at 1/" + std::to_string(scale));
                if (HasFatalFailure()) return;
            }
        }
    }
}

// The tensor prepared from the part that the Preparer's footprint asks for
// equals the one prepared from the whole decode, for crops in every position
// (the images' sizes move the centre), larger than the image, both filters
// and the float path.
TEST(RegionDecode, TensorsFromThePartEqualThoseFromTheWholeImage) {
    using zvt::prepare::Options;
    const long sizes[][2] = {{640, 427}, {427, 640}, {333, 500}, {500, 333}, {301, 299}, {1920, 1080}};
    const long crops[][3] = {{256, 224, 224}, {232, 224, 200}, {100, 31, 97}, {64, 80, 48}};
    unsigned seed = 90;
    for (const auto& size : sizes) {
        const long w = size[0], h = size[1];
        const std::vector<unsigned char> rgb = picture(w, h, ++seed);
        for (const Encoding& e : {kEncodings[2], kEncodings[1], kEncodings[5], kEncodings[6]}) {
            const std::vector<unsigned char> file = encode(rgb, w, h, e);
            const Image full = decode(file);
            for (const auto& crop : crops)
                for (auto filter : {zvt::resize::Filter::bilinear, zvt::resize::Filter::bicubic})
                    for (bool floats : {false, true}) {
                        Options o = Options::resize_shorter(crop[0]).center_crop(crop[1], crop[2]);
                        o.filter = filter;
                        o.float_resize = floats;
                        zvt::prepare::Preparer prep(o);
                        std::vector<float> expected(prep.tensor_size(w, h)), actual(expected.size());
                        ASSERT_EQ(prep.run({full.rgb.data(), w, h}, expected.data()), result_ok);
                        zvt::prepare::Footprint f{};
                        DecodeRequest request;
                        request.region = [&](const Image& header) {
                            f = prep.footprint(header.file_width, header.file_height);
                            return Rect{f.source.x, f.source.y, f.source.width, f.source.height};
                        };
                        const Image part = decode(file, request);
                        ASSERT_EQ(prep.run_part(f, {part.rgb.data(), part.width, part.height}, part.part.x,
                                                part.part.y, actual.data()),
                                  result_ok);
                        ASSERT_EQ(actual, expected) << e.name << " " << w << "x" << h << " Resize(" << crop[0]
                                                    << ") CenterCrop(" << crop[2] << ", " << crop[1] << ")"
                                                    << (floats ? " floats" : "");
                    }
        }
    }
}

// Decoding stops after the last line needed, but only once the end-of-image
// marker shows that the file goes on: a file cut after those lines is still
// refused, as a whole decode refuses it; data after the marker is no error.
TEST(RegionDecode, StoppingEarlyStillRefusesACutFile) {
    const long w = 320, h = 480;
    const std::vector<unsigned char> file = encode(picture(w, h, 3), w, h, kEncodings[2]);
    const Rect top{10, 20, 100, 100};
    std::vector<unsigned char> cut(file.begin(), file.begin() + static_cast<long>(file.size() * 3 / 4));
    Image image;
    std::string error;
    EXPECT_FALSE(zvprep::decode_image(cut.data(), cut.size(), kLimit, asking(top), image, error));
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(zvprep::decode_image(cut.data(), cut.size(), kLimit, image, error));
    std::vector<unsigned char> trailing = file;
    trailing.insert(trailing.end(), {'t', 'r', 'a', 'i', 'l', 0xff, 0x00});
    const Image full = decode(file);
    expect_region_equal(full, decode(trailing, asking(top)), top, "data after the end marker");
}

}  // namespace
