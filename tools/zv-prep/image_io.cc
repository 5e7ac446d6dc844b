// Decoders: libjpeg-turbo for JPEG and libpng for PNG, through their plain C
// interfaces (both report errors by longjmp, so every C++ object they touch
// lives in the caller's frame), and a small parser for binary PPM/PGM.
#include "image_io.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

namespace zvprep {
namespace {

// Larger images are refused before anything is allocated for them.
constexpr long kMaxPixels = 1L << 28;

bool check_size(long width, long height, std::string& error) {
    if (width <= 0 || height <= 0) {
        error = "zero-sized image (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    if (width > kMaxPixels / height) {
        error = "image too large (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    return true;
}

bool starts_with(const std::vector<unsigned char>& bytes, const char* magic, size_t length) {
    return bytes.size() >= length && std::memcmp(bytes.data(), magic, length) == 0;
}

// ---- JPEG ----------------------------------------------------------------------

struct JpegState {
    jpeg_decompress_struct info{};
    jpeg_error_mgr manager{};
    jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = "";
    bool truncated = false;
    bool created = false;
    ~JpegState() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

void jpeg_fail(j_common_ptr info) {
    auto* state = reinterpret_cast<JpegState*>(info->client_data);
    info->err->format_message(info, state->message);
    std::longjmp(state->jump, 1);
}

// Warnings about damaged data are usual in real files and decoders carry on
// past them; running out of data is not: the rest of the image would be grey.
void jpeg_note(j_common_ptr info, int level) {
    auto* state = reinterpret_cast<JpegState*>(info->client_data);
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) state->truncated = true;
}

// No C++ object of its own: a longjmp lands here from inside libjpeg.
bool read_jpeg(JpegState& s, const std::vector<unsigned char>& bytes, Image& image, std::string& error) {
    s.info.err = jpeg_std_error(&s.manager);
    s.manager.error_exit = jpeg_fail;
    s.manager.emit_message = jpeg_note;
    s.info.client_data = &s;
    if (setjmp(s.jump)) {
        error = std::string("bad JPEG: ") + s.message;
        return false;
    }
    jpeg_create_decompress(&s.info);
    s.created = true;
    jpeg_mem_src(&s.info, bytes.data(), bytes.size());
    jpeg_read_header(&s.info, TRUE);
    if (s.info.jpeg_color_space == JCS_CMYK || s.info.jpeg_color_space == JCS_YCCK) {
        error = "CMYK JPEG images are not supported";
        return false;
    }
    s.info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&s.info);
    if (!check_size(s.info.output_width, s.info.output_height, error)) return false;
    image.width = s.info.output_width;
    image.height = s.info.output_height;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    while (s.info.output_scanline < s.info.output_height) {
        JSAMPROW row = image.rgb.data() + static_cast<size_t>(s.info.output_scanline) * image.width * 3;
        jpeg_read_scanlines(&s.info, &row, 1);
    }
    if (s.truncated) {
        error = "truncated JPEG data";
        return false;
    }
    jpeg_finish_decompress(&s.info);
    return true;
}

bool decode_jpeg(const std::vector<unsigned char>& bytes, Image& image, std::string& error) {
    auto state = std::make_unique<JpegState>();
    return read_jpeg(*state, bytes, image, error);
}

// ---- PNG -----------------------------------------------------------------------

struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const std::vector<unsigned char>* bytes = nullptr;
    size_t position = 0;
    std::vector<png_bytep> rows;
    char message[256] = "";
    ~PngState() { png_destroy_read_struct(&png, &info, nullptr); }
};

void png_fail(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", message);
    png_longjmp(png, 1);
}

void png_ignore(png_structp, png_const_charp) {}

void png_read_memory(png_structp png, png_bytep out, png_size_t length) {
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    if (length > state->bytes->size() - state->position) png_error(png, "truncated PNG data");
    std::memcpy(out, state->bytes->data() + state->position, length);
    state->position += length;
}

// Everything to 8-bit RGB: palettes and grey expanded, 16 bits cut to their
// high byte, alpha dropped, interlacing undone.  No gamma correction.  The
// alpha is stripped whatever the colour type: expanding a palette turns its
// transparency chunk into an alpha channel too.
void png_to_rgb8(png_structp png, png_infop info) {
    const int type = png_get_color_type(png, info);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_bit_depth(png, info) == 16) png_set_strip_16(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    png_set_strip_alpha(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
}

bool read_png(PngState& s, Image& image, std::string& error) {
    if (setjmp(png_jmpbuf(s.png))) {
        error = std::string("bad PNG: ") + s.message;
        return false;
    }
    png_set_read_fn(s.png, &s, png_read_memory);
    png_read_info(s.png, s.info);
    png_to_rgb8(s.png, s.info);
    const long width = png_get_image_width(s.png, s.info);
    const long height = png_get_image_height(s.png, s.info);
    if (!check_size(width, height, error)) return false;
    if (png_get_rowbytes(s.png, s.info) != static_cast<size_t>(width) * 3) {
        error = "unsupported PNG layout";
        return false;
    }
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<size_t>(width) * height * 3);
    s.rows.resize(height);
    for (long y = 0; y < height; ++y) s.rows[y] = image.rgb.data() + static_cast<size_t>(y) * width * 3;
    png_read_image(s.png, s.rows.data());
    return true;
}

bool decode_png(const std::vector<unsigned char>& bytes, Image& image, std::string& error) {
    PngState state;
    state.bytes = &bytes;
    state.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, png_fail, png_ignore);
    if (state.png != nullptr) state.info = png_create_info_struct(state.png);
    if (state.info == nullptr) {
        error = "out of memory";
        return false;
    }
    return read_png(state, image, error);
}

// ---- PPM / PGM -----------------------------------------------------------------

// The next header number, after white space and # comments; -1 if none.
long ppm_number(const std::vector<unsigned char>& bytes, size_t& at) {
    while (at < bytes.size()) {
        if (bytes[at] == '#') {
            while (at < bytes.size() && bytes[at] != '\n') ++at;
        } else if (std::isspace(bytes[at])) {
            ++at;
        } else {
            break;
        }
    }
    long value = -1;
    for (; at < bytes.size() && std::isdigit(bytes[at]) && value < (1L << 40); ++at)
        value = (value < 0 ? 0 : value * 10) + (bytes[at] - '0');
    return value;
}

bool decode_ppm(const std::vector<unsigned char>& bytes, Image& image, std::string& error) {
    const int channels = bytes[1] == '6' ? 3 : 1;
    size_t at = 2;
    const long width = ppm_number(bytes, at);
    const long height = ppm_number(bytes, at);
    const long maxval = ppm_number(bytes, at);
    if (width < 0 || height < 0 || maxval < 1 || maxval > 65535 || at >= bytes.size() || !std::isspace(bytes[at])) {
        error = "bad PPM header";
        return false;
    }
    ++at;  // the single white-space character before the samples
    if (!check_size(width, height, error)) return false;
    const size_t sample_bytes = maxval > 255 ? 2 : 1;
    const size_t samples = static_cast<size_t>(width) * height * channels;
    if (bytes.size() - at < samples * sample_bytes) {
        error = "truncated PPM data";
        return false;
    }
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<size_t>(width) * height * 3);
    const unsigned char* in = bytes.data() + at;
    for (size_t i = 0; i < samples; ++i) {
        long v = sample_bytes == 2 ? (in[2 * i] << 8 | in[2 * i + 1]) : in[i];
        v = std::min(v, maxval);
        const auto byte = static_cast<unsigned char>(maxval == 255 ? v : (v * 255 + maxval / 2) / maxval);
        if (channels == 3) {
            image.rgb[i] = byte;
        } else {
            image.rgb[3 * i] = image.rgb[3 * i + 1] = image.rgb[3 * i + 2] = byte;
        }
    }
    return true;
}

}  // namespace

bool read_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    bytes.clear();
    unsigned char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    if (std::ferror(file.get())) {
        error = std::string("cannot read: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool decode_image(const std::vector<unsigned char>& bytes, Image& image, std::string& error) {
    if (bytes.empty()) {
        error = "empty file";
        return false;
    }
    if (starts_with(bytes, "\x89PNG\r\n\x1a\n", 8)) return decode_png(bytes, image, error);
    if (starts_with(bytes, "\xff\xd8\xff", 3)) return decode_jpeg(bytes, image, error);
    if (starts_with(bytes, "P6", 2) || starts_with(bytes, "P5", 2)) return decode_ppm(bytes, image, error);
    if (starts_with(bytes, "P3", 2) || starts_with(bytes, "P2", 2)) {
        error = "plain-text PPM/PGM is not supported (use the binary P6/P5 form)";
        return false;
    }
    error = "not an image (no PNG, JPEG or PPM signature)";
    return false;
}

}  // namespace zvprep
