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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

namespace zvprep {
namespace {

// Runs on the declared size, before anything is allocated for the pixels.
bool check_size(long width, long height, long max_pixels, std::string& error) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width <= 0 || height <= 0) {
        error = "zero-sized image (" + size + ")";
        return false;
    }
    if (width > max_pixels / height) {
        error = "image too large (" + size + ", over the limit of " + std::to_string(max_pixels) +
                " pixels, see --max-pixels)";
        return false;
    }
    return true;
}

struct Bytes {
    const unsigned char* data;
    size_t size;
    bool starts_with(const char* magic, size_t length) const {
        return size >= length && std::memcmp(data, magic, length) == 0;
    }
    bool png() const { return starts_with("\x89PNG\r\n\x1a\n", 8); }
    bool jpeg() const { return starts_with("\xff\xd8\xff", 3); }
    bool ppm() const { return starts_with("P6", 2) || starts_with("P5", 2); }
    bool plain_ppm() const { return starts_with("P3", 2) || starts_with("P2", 2); }
};

// ---- JPEG ----------------------------------------------------------------------

struct JpegState {
    jpeg_decompress_struct info{};
    jpeg_error_mgr manager{};
    jmp_buf jump{};
    char message[JMSG_LENGTH_MAX + 64] = "";
    bool created = false;
    ~JpegState() {
        if (created) jpeg_destroy_decompress(&info);
    }
};

void jpeg_fail(j_common_ptr info) {
    auto* state = reinterpret_cast<JpegState*>(info->client_data);
    char text[JMSG_LENGTH_MAX];
    info->err->format_message(info, text);
    std::snprintf(state->message, sizeof state->message, "bad JPEG: %s", text);
    std::longjmp(state->jump, 1);
}

// Warnings about damaged data are usual in real files and decoders carry on
// past them.  Data that ends early is not: the rest of the image would be
// grey, so decoding stops there (a warning may leave by longjmp as an error does).
void jpeg_note(j_common_ptr info, int level) {
    if (level >= 0) return;
    auto* state = reinterpret_cast<JpegState*>(info->client_data);
    const char* reason = info->err->msg_code == JWRN_JPEG_EOF    ? "the file ends inside the image"
                         : info->err->msg_code == JWRN_HIT_MARKER ? "a scan ends before the image is complete"
                                                                  : nullptr;
    if (reason == nullptr) return;
    std::snprintf(state->message, sizeof state->message, "truncated JPEG data (%s)", reason);
    std::longjmp(state->jump, 1);
}

// Pillow reads the samples of every CMYK JPEG as inverted (Adobe's
// convention, which is also what YCCK decodes to) and converts with
// R = (255 - K') - (255 - K') C' / 255 rounded, on the inverted values C', K';
// on the samples as stored that is C K / 255, rounded (255 is odd: no ties).
void cmyk_to_rgb(const unsigned char* cmyk, long width, unsigned char* rgb) {
    for (long x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const int k = cmyk[3];
        for (int c = 0; c < 3; ++c) rgb[c] = static_cast<unsigned char>((cmyk[c] * k + 127) / 255);
    }
}

// A progressive component that never got its DC scan would come out flat grey.
bool progressive_complete(const jpeg_decompress_struct& info) {
    if (!info.progressive_mode) return true;
    for (int c = 0; c < info.num_components; ++c)
        if (info.coef_bits[c][0] < 0) return false;
    return true;
}

// Columns next to the edges of a partial decode that libjpeg-turbo's fancy
// chroma upsampling treats as the image's own edges and may get wrong: the
// decoded columns reach this far past the needed ones on each side (where the
// image goes on).  h2v1 and h2v2 upsampling read one chroma sample past a
// pixel, yet one column is not enough for a crop two columns wide of a 4:2:0
// image; two pass every test (tests/zv_prep/region_decode_test.cc compares
// partial and whole decodes of every subsampling, scan mode and DCT scale).
constexpr long kChromaMargin = 2;

Rect clip(const Rect& r, long width, long height) {
    const long x0 = std::clamp(r.x, 0L, width), y0 = std::clamp(r.y, 0L, height);
    const long x1 = std::clamp(r.x + std::max(0L, r.width), x0, width);
    const long y1 = std::clamp(r.y + std::max(0L, r.height), y0, height);
    if (x1 == x0 || y1 == y0) return {0, 0, width, height};  // nothing asked: all
    return {x0, y0, x1 - x0, y1 - y0};
}

// A progressive JPEG some of whose first AC coefficients never arrived (its
// scans stop early) is decoded with block smoothing, which estimates them from
// the DC values of blocks up to two away: the columns of a partial decode then
// differ from a whole decode's further in than the chroma margin.  Known once
// jpeg_start_decompress() has read every scan, as the library then has; the
// test is the library's own (coefficients 1 to 9 of any component).
bool block_smoothing(const jpeg_decompress_struct& info) {
    if (!info.progressive_mode || !info.do_block_smoothing || info.coef_bits == nullptr) return false;
    for (int c = 0; c < info.num_components; ++c)
        for (int k = 1; k < 10; ++k)
            if (info.coef_bits[c][k] != 0) return true;
    return false;
}

// Whether libjpeg-turbo's jpeg_crop_scanline() decodes the columns it keeps as
// the whole decode does.  It gives each component output_width * h_samp /
// max_h_samp samples a line, which holds only for a component at the smallest
// IDCT size: a component whose IDCT scales it up (the 1x1 chroma of a 4x2 or 2x4
// luma, or of a 1x4 component beside it, at scale 1/2 or 1/4) and that is still
// upsampled would have only part of its line upsampled.  (Components at the
// smallest size, or scaled by the IDCT to full size, pass every test.)
bool crop_keeps_widths(const jpeg_decompress_struct& info) {
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& k = info.comp_info[c];
        if (k.DCT_scaled_size == info.min_DCT_scaled_size) continue;
        const int full_h = info.max_h_samp_factor * info.min_DCT_scaled_size;
        const int full_v = info.max_v_samp_factor * info.min_DCT_scaled_size;
        if (k.h_samp_factor * k.DCT_scaled_size != full_h || k.v_samp_factor * k.DCT_scaled_size != full_v) return false;
    }
    return true;
}

// Whether the data left after the decoder's position holds the end-of-image
// marker, which entropy-coded data cannot contain (a 0xff byte there is
// followed by 0 or a restart marker's code): a file cut short does not.
bool end_marker_follows(jpeg_decompress_struct& info) {
    // Files of several scans are read whole before the first line.
    if (info.unread_marker == 0xd9 || jpeg_input_complete(&info)) return true;
    const unsigned char* at = info.src->next_input_byte;
    const unsigned char* end = at + info.src->bytes_in_buffer;
    for (; at + 1 < end; ++at) {
        at = static_cast<const unsigned char*>(std::memchr(at, 0xff, static_cast<size_t>(end - at - 1)));
        if (at == nullptr) return false;
        if (at[1] == 0xd9) return true;
    }
    return false;
}

// No C++ object of its own: a longjmp lands here from inside libjpeg.
bool read_jpeg(JpegState& s, Bytes bytes, long max_pixels, const DecodeRequest& request, Image& image,
               std::string& error) {
    s.info.err = jpeg_std_error(&s.manager);
    s.manager.error_exit = jpeg_fail;
    s.manager.emit_message = jpeg_note;
    s.info.client_data = &s;
    if (setjmp(s.jump)) {
        error = s.message;
        return false;
    }
    jpeg_create_decompress(&s.info);
    s.created = true;
    jpeg_mem_src(&s.info, bytes.data, bytes.size);
    jpeg_read_header(&s.info, TRUE);
    if (!check_size(s.info.image_width, s.info.image_height, max_pixels, error)) return false;
    image.file_width = s.info.image_width;
    image.file_height = s.info.image_height;
    const bool cmyk = s.info.jpeg_color_space == JCS_CMYK || s.info.jpeg_color_space == JCS_YCCK;
    s.info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    if (request.scale) {
        s.info.scale_num = 1;
        s.info.scale_denom = static_cast<unsigned>(request.scale(image.file_width, image.file_height));
    }
    jpeg_calc_output_dimensions(&s.info);
    image.decoded_width = s.info.output_width;
    image.decoded_height = s.info.output_height;
    const Rect want = request.region ? clip(request.region(image), image.decoded_width, image.decoded_height)
                                     : Rect{0, 0, image.decoded_width, image.decoded_height};
    jpeg_start_decompress(&s.info);
    JDIMENSION left = 0;
    // A crop so narrow that a component keeps fewer than two samples a line
    // makes libjpeg-turbo choose its upsampling again, plain where the whole
    // decode's is fancy: more than max_h_samp_factor columns keep two or more.
    const long least = s.info.max_h_samp_factor + 1;
    long first = std::max(0L, want.x - kChromaMargin);
    const long right = std::min(image.decoded_width, std::max(want.x + want.width + kChromaMargin, first + least));
    first = std::max(0L, std::min(first, right - least));
    if ((first > 0 || right < image.decoded_width) && !block_smoothing(s.info) && crop_keeps_widths(s.info)) {
        left = static_cast<JDIMENSION>(first);
        JDIMENSION width = static_cast<JDIMENSION>(right - first);
        jpeg_crop_scanline(&s.info, &left, &width);  // moves left to an MCU's first column
    }
    if (want.y > 0) jpeg_skip_scanlines(&s.info, static_cast<JDIMENSION>(want.y));
    image.part = {static_cast<long>(left), want.y, static_cast<long>(s.info.output_width), want.height};
    image.width = image.part.width;
    image.height = image.part.height;
    image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
    // CMYK rows go through one row of the decoder's own pool, freed with it.
    JSAMPARRAY cmyk_row =
        cmyk ? (*s.info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&s.info), JPOOL_IMAGE, image.width * 4, 1)
             : nullptr;
    const JDIMENSION last = static_cast<JDIMENSION>(want.y + want.height);
    while (s.info.output_scanline < last) {
        unsigned char* rgb =
            image.rgb.data() + static_cast<size_t>(s.info.output_scanline - want.y) * image.width * 3;
        JSAMPROW row = cmyk ? cmyk_row[0] : rgb;
        jpeg_read_scanlines(&s.info, &row, 1);
        if (cmyk) cmyk_to_rgb(row, image.width, rgb);
    }
    if (!progressive_complete(s.info)) {
        error = "truncated JPEG data (a progressive component has no DC scan)";
        return false;
    }
    if (s.info.output_scanline < s.info.output_height) {
        // The lines below are not needed: stop, once the file is known to go on.
        if (!end_marker_follows(s.info)) {
            error = "truncated JPEG data (the file ends inside the image)";
            return false;
        }
        jpeg_abort_decompress(&s.info);
        return true;
    }
    jpeg_finish_decompress(&s.info);
    return true;
}

bool decode_jpeg(Bytes bytes, long max_pixels, const DecodeRequest& request, Image& image, std::string& error) {
    auto state = std::make_unique<JpegState>();
    return read_jpeg(*state, bytes, max_pixels, request, image, error);
}

// A PNG or PPM: decoded whole, at its own size.
void decoded_whole(Image& image) {
    image.part = {0, 0, image.width, image.height};
    image.decoded_width = image.file_width = image.width;
    image.decoded_height = image.file_height = image.height;
}

// ---- PNG -----------------------------------------------------------------------

struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    Bytes bytes{};
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
    if (length > state->bytes.size - state->position) png_error(png, "truncated PNG data");
    std::memcpy(out, state->bytes.data + state->position, length);
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

bool read_png(PngState& s, long max_pixels, Image& image, std::string& error) {
    if (setjmp(png_jmpbuf(s.png))) {
        error = std::string("bad PNG: ") + s.message;
        return false;
    }
    png_set_read_fn(s.png, &s, png_read_memory);
    png_read_info(s.png, s.info);
    const long width = png_get_image_width(s.png, s.info);
    const long height = png_get_image_height(s.png, s.info);
    if (!check_size(width, height, max_pixels, error)) return false;
    png_to_rgb8(s.png, s.info);
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

bool decode_png(Bytes bytes, long max_pixels, Image& image, std::string& error) {
    PngState state;
    state.bytes = bytes;
    state.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, png_fail, png_ignore);
    if (state.png != nullptr) state.info = png_create_info_struct(state.png);
    if (state.info == nullptr) {
        error = "out of memory";
        return false;
    }
    return read_png(state, max_pixels, image, error);
}

// ---- PPM / PGM -----------------------------------------------------------------

// The next header number, after white space and # comments; -1 if none.
long ppm_number(Bytes bytes, size_t& at) {
    while (at < bytes.size) {
        if (bytes.data[at] == '#') {
            while (at < bytes.size && bytes.data[at] != '\n') ++at;
        } else if (std::isspace(bytes.data[at])) {
            ++at;
        } else {
            break;
        }
    }
    long value = -1;
    for (; at < bytes.size && std::isdigit(bytes.data[at]) && value < (1L << 40); ++at)
        value = (value < 0 ? 0 : value * 10) + (bytes.data[at] - '0');
    return value;
}

bool decode_ppm(Bytes bytes, long max_pixels, Image& image, std::string& error) {
    const int channels = bytes.data[1] == '6' ? 3 : 1;
    size_t at = 2;
    const long width = ppm_number(bytes, at);
    const long height = ppm_number(bytes, at);
    const long maxval = ppm_number(bytes, at);
    if (width < 0 || height < 0 || maxval < 1 || maxval > 65535 || at >= bytes.size ||
        !std::isspace(bytes.data[at])) {
        error = "bad PPM header";
        return false;
    }
    ++at;  // the single white-space character before the samples
    if (!check_size(width, height, max_pixels, error)) return false;
    const size_t sample_bytes = maxval > 255 ? 2 : 1;
    const size_t samples = static_cast<size_t>(width) * height * channels;
    if (bytes.size - at < samples * sample_bytes) {
        error = "truncated PPM data";
        return false;
    }
    image.width = width;
    image.height = height;
    image.rgb.resize(static_cast<size_t>(width) * height * 3);
    const unsigned char* in = bytes.data + at;
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

std::string system_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Reads until end of file or until more than `max_bytes` have come, and stops
// early when the first bytes show no image signature.
bool read_stream(int fd, size_t max_bytes, std::vector<unsigned char>& bytes, std::string& error) {
    unsigned char block[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = system_error("cannot read");
            return false;
        }
        if (got == 0) return true;
        if (static_cast<size_t>(got) > max_bytes - bytes.size()) {
            error = "more than " + std::to_string(max_bytes) + " bytes, too large for an image within the pixel limit";
            return false;
        }
        bytes.insert(bytes.end(), block, block + got);
        const Bytes start{bytes.data(), bytes.size()};
        if (bytes.size() >= 8 && !start.png() && !start.jpeg() && !start.ppm() && !start.plain_ppm()) return true;
    }
}

}  // namespace

size_t max_file_bytes(long max_pixels) { return static_cast<size_t>(max_pixels) * 8 + (64u << 20); }

bool read_file(const std::string& path, size_t max_bytes, std::vector<unsigned char>& bytes, std::string& error) {
    bytes.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = system_error("cannot open");
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0;
    if (!ok) {
        error = system_error("cannot read");
    } else if (S_ISDIR(st.st_mode)) {
        error = "is a folder";
        ok = false;
    } else if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > max_bytes) {
        error = "file of " + std::to_string(st.st_size) + " bytes, larger than " + std::to_string(max_bytes) +
                " (too large for an image within the pixel limit)";
        ok = false;
    } else {
        if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size) + 1);
        ok = read_stream(fd, max_bytes, bytes, error);
    }
    ::close(fd);
    return ok;
}

bool decode_image(const unsigned char* data, size_t size, long max_pixels, Image& image, std::string& error) {
    return decode_image(data, size, max_pixels, DecodeRequest{}, image, error);
}

bool decode_image(const unsigned char* data, size_t size, long max_pixels, const DecodeRequest& request,
                  Image& image, std::string& error) {
    const Bytes bytes{data, size};
    image.width = image.height = 0;
    if (size == 0) {
        error = "empty file";
        return false;
    }
    if (bytes.jpeg()) return decode_jpeg(bytes, max_pixels, request, image, error);
    const bool decoded = bytes.png()   ? decode_png(bytes, max_pixels, image, error)
                         : bytes.ppm() ? decode_ppm(bytes, max_pixels, image, error)
                                       : false;
    if (decoded) decoded_whole(image);
    if (decoded || bytes.png() || bytes.ppm()) return decoded;
    if (bytes.plain_ppm()) {
        error = "plain-text PPM/PGM is not supported (use the binary P6/P5 form)";
        return false;
    }
    error = "not an image (no PNG, JPEG or PPM signature)";
    return false;
}

}  // namespace zvprep
