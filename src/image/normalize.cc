// In-place per-channel normalisation of a planar 3-channel float image.
#include <cstdint>

#include "frame/worksharing.h"
#include "image/image_kernels.h"
#include "zv_pt.h"

namespace zv_pt {
namespace {

constexpr int64_t kBlock = 4;  // one 4-float vector per plane

struct NormalizeJob {
    float* plane[3];
    float mean[3];
    float stdv[3];
    Normalize3F32Fn normalize;
};

void normalize_blocks(const NormalizeJob& job, int64_t first, int64_t count) {
    const int64_t i = first * kBlock;
    job.normalize(job.plane[0] + i, job.plane[1] + i, job.plane[2] + i, job.mean, job.stdv, count * kBlock);
}

}  // namespace
}  // namespace zv_pt

int zv_normalize_float32(float* data, float* mean, float* std, float* scratch, int count) {
    using namespace zv_pt;
    if (data == nullptr || mean == nullptr) return result_null_argument;
    if (std == nullptr || scratch == nullptr) return result_null_argument;
    for (int c = 0; c < 3; ++c)
        if (std[c] == 0.0f) return result_zero_std;  // +0.0 and -0.0; a NaN passes
    if (count <= 0) return result_zero_count;        // a negative count would address before data

    const int64_t n = count;
    const int64_t whole = n & ~(kBlock - 1);
    const NormalizeJob job{{data, data + n, data + 2 * n},
                           {mean[0], mean[1], mean[2]},
                           {std[0], std[1], std[2]},
                           image_kernels().normalize3_f32};
    run_blocks(whole / kBlock, job, normalize_blocks);

    // The last count mod 4 elements of each plane go through scratch on the
    // calling thread; the values that reach data are the same (x - m) / s.
    for (int64_t i = whole; i < n; ++i) {
        for (int64_t c = 0; c < 3; ++c) scratch[c * n + i] = data[c * n + i] - mean[c];
        for (int64_t c = 0; c < 3; ++c) data[c * n + i] = scratch[c * n + i] / std[c];
    }
    return result_ok;
}
