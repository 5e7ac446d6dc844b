// Reading image files into interleaved 8-bit RGB.
#ifndef ZV_PREP_IMAGE_IO_H
#define ZV_PREP_IMAGE_IO_H

#include <string>
#include <vector>

namespace zvprep {

// Interleaved RGB, 3 bytes per pixel, rows back to back.
struct Image {
    long width = 0;
    long height = 0;
    std::vector<unsigned char> rgb;
};

// Everything read or decoded fails the same way: false, and a short reason
// in `error` that completes "<file>: ...".
bool read_file(const std::string& path, std::vector<unsigned char>& bytes, std::string& error);

// Decodes a PNG, JPEG or binary PPM/PGM held in memory; the format is told by
// its first bytes, not by the file name.  Grey images become RGB and an alpha
// channel is dropped, as an RGB conversion in Pillow does.
bool decode_image(const std::vector<unsigned char>& bytes, Image& image, std::string& error);

}  // namespace zvprep

#endif  // ZV_PREP_IMAGE_IO_H
