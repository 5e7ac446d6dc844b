// Reading image files into interleaved 8-bit RGB.
#ifndef ZV_PREP_IMAGE_IO_H
#define ZV_PREP_IMAGE_IO_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zvprep {

// A rectangle of pixels.
struct Rect {
    long x = 0, y = 0, width = 0, height = 0;
};

// Interleaved RGB, 3 bytes per pixel, rows back to back: the rectangle `part`
// of the image as decoded, which is decoded_width x decoded_height (the file's
// own size, or smaller when a JPEG was decoded at a reduced scale).
struct Image {
    long width = 0;   // of the part held in rgb
    long height = 0;
    std::vector<unsigned char> rgb;
    Rect part;                               // where rgb lies in the decoded image
    long decoded_width = 0, decoded_height = 0;
    long file_width = 0, file_height = 0;    // the size the file declares
};

// What a caller needs of an image, asked as soon as its header is read.
struct DecodeRequest {
    // For a JPEG of width x height: decode at 1/scale of it, scale 1, 2, 4 or
    // 8 (libjpeg-turbo's scaling in the DCT).  None: full size.
    std::function<int(long width, long height)> scale;
    // The rectangle of the image as decoded that the caller needs, given the
    // header's sizes (file_width, file_height, decoded_width, decoded_height
    // are set); at least that is decoded, and for a JPEG little more (the
    // columns of whole MCUs and what the chroma upsampling reads), with every
    // pixel equal to a whole decode's.  Other formats decode whole without
    // asking.  None: all.  An exception it throws leaves decode_image().
    std::function<Rect(const Image& header)> region;
};

// Pillow's decompression-bomb limit (twice its warning threshold), the
// convention users of the Python stack know.
constexpr long kDefaultMaxPixels = 2L * 89478485;

// The largest file worth reading for images of up to `max_pixels`: eight bytes
// a pixel (16-bit RGBA stored uncompressed) and room for metadata.
size_t max_file_bytes(long max_pixels);

// Everything read or decoded fails the same way: false, and a short reason
// in `error` that completes "<file>: ...".

// Reads a file or stream whole, refusing more than `max_bytes`: a regular file
// by its size before reading, anything else (pipe, device) once it has sent
// that much.  Reading stops after the first block when that shows no image
// signature, so that decode_image() can say so without the rest.
bool read_file(const std::string& path, size_t max_bytes, std::vector<unsigned char>& bytes, std::string& error);

// Decodes a PNG, JPEG or binary PPM/PGM held in memory; the format is told by
// its first bytes, not by the file name.  Grey images become RGB, an alpha
// channel is dropped and CMYK becomes RGB, as convert("RGB") in Pillow does.
// A declared size over `max_pixels` is refused as soon as the header is read,
// before anything is allocated for the pixels; so is an image whose data ends
// early (no grey fill).
bool decode_image(const unsigned char* bytes, size_t size, long max_pixels, Image& image, std::string& error);
// The same, decoding what `request` asks for.  A JPEG decoded in part stops
// after the last line needed, once it has checked that the file does not end
// before the image (its end-of-image marker follows).
bool decode_image(const unsigned char* bytes, size_t size, long max_pixels, const DecodeRequest& request,
                  Image& image, std::string& error);

}  // namespace zvprep

#endif  // ZV_PREP_IMAGE_IO_H
