// Reading image files into interleaved 8-bit RGB.
#ifndef ZV_PREP_IMAGE_IO_H
#define ZV_PREP_IMAGE_IO_H

#include <cstddef>
#include <string>
#include <vector>

namespace zvprep {

// Interleaved RGB, 3 bytes per pixel, rows back to back.
struct Image {
    long width = 0;
    long height = 0;
    std::vector<unsigned char> rgb;
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

}  // namespace zvprep

#endif  // ZV_PREP_IMAGE_IO_H
