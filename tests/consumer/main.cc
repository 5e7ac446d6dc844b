// Converts one small image through the installed library, and prepares a
// tensor through the installed headers; exits 0 on success.
#include <zv_pt.h>
#include <zv_pt/prepare.hpp>

#include <vector>

int main() {
    unsigned char src[6] = {1, 2, 3, 4, 5, 6}, dst[6] = {};
    int shape[2] = {1, 2}, order[3] = {2, 0, 1};
    if (zv_permute_hwc_chw(src, dst, shape, order, 0) != result_ok) return 1;
    const unsigned char planar[6] = {1, 4, 2, 5, 3, 6};
    for (int i = 0; i < 6; ++i)
        if (dst[i] != planar[i]) return 1;

    std::vector<unsigned char> frame(64 * 48 * 3, 128);
    zvt::prepare::Preparer prep(zvt::prepare::Options::resize_to(16, 16));
    std::vector<float> tensor(prep.tensor_size(64, 48));
    const zvt::prepare::ImageView images[2] = {{frame.data(), 64, 48}, {frame.data(), 64, 48}};
    std::vector<float> batch(2 * tensor.size());
    if (prep.run(images[0], tensor.data()) != result_ok || prep.run_batch(images, 2, batch.data(), 2) != result_ok)
        return 1;
    const float grey = (128 / 255.0f - 0.485f) / 0.229f;  // channel 0 of ImageNet's normalisation
    return tensor[0] == grey && batch[tensor.size()] == grey ? 0 : 1;
}
