// From a decoded image to a normalised 3 x H x W float tensor, through the
// library: resize (planner + resampling pass), interleaved to planar, scale to
// [0, 1], per-channel normalisation.
#ifndef ZV_PREP_PREPARE_H
#define ZV_PREP_PREPARE_H

#include <memory>
#include <vector>

#include "image_io.h"
#include "zv_pt/resize.hpp"

namespace zvprep {

struct Options {
    // Without resize_short: resize straight to width x height.  With it: resize
    // so that the shorter side is resize_short (keeping the aspect ratio), then
    // cut the centre width x height, or keep it all when crop is false.
    long width = 224;
    long height = 224;
    long resize_short = 0;
    bool crop = false;
    zvt::resize::Filter filter = zvt::resize::Filter::bilinear;
    float mean[3] = {0.485f, 0.456f, 0.406f};
    float std[3] = {0.229f, 0.224f, 0.225f};
    bool float_resize = false;  // convert to float first, then resize
};

// Where the tensor comes from: the image is resized to resize_w x resize_h, and
// the tensor is the out_w x out_h window of that at (left, top); a window that
// reaches outside it (a crop larger than the image) is padded with zeros.
struct Geometry {
    long resize_w, resize_h;
    long left, top;
    long out_w, out_h;
};

// The geometry of torchvision's Resize(size) and CenterCrop(size), rounding included.
Geometry plan_geometry(const Options& options, long in_w, long in_h);

// out[i] = in[i] / 255 in float, as torchvision's ToTensor() computes it.
void scale_to_unit(const unsigned char* in, size_t count, float* out);

// Intermediates of one element type: the resized image and the window cut from it.
template <class T>
struct Interleaved {
    std::vector<T> resized, window;
};

enum Stage { stage_resize, stage_planar, stage_scale, stage_normalise, stage_count };
extern const char* const kStageNames[stage_count];

class Preparer {
public:
    explicit Preparer(const Options& options);
    ~Preparer();

    Geometry geometry(const Image& image) const { return plan_geometry(options_, image.width, image.height); }

    // Writes the 3 x out_h x out_w tensor of `image` to `tensor` and adds the
    // seconds of each stage to `seconds`.  Returns 0, or the result code of
    // the library call that failed.
    int prepare(const Image& image, float* tensor, double seconds[stage_count]);

private:
    struct Plans;
    int prepare_bytes(const Image& image, const Geometry& g, float* tensor, double seconds[]);
    int prepare_floats(const Image& image, const Geometry& g, float* tensor, double seconds[]);
    int normalise(float* tensor, const Geometry& g, double seconds[]);
    void replan(const Image& image, const Geometry& g);

    Options options_;
    std::unique_ptr<Plans> plans_;  // resizers of the last input size
    Interleaved<unsigned char> bytes_;
    Interleaved<float> floats_;
    std::vector<unsigned char> planar_u8_;
    std::vector<float> full_f32_, scratch_;
};

}  // namespace zvprep

#endif  // ZV_PREP_PREPARE_H
