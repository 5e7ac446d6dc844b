// Interleaved (HWC) to planar (CHW) conversion of 3-channel images.
#include <cstdint>

#include "frame/worksharing.h"
#include "image/image_kernels.h"
#include "zv_pt.h"

namespace zv_pt {
namespace {

template <class T>
using Split3Fn = void (*)(const T* src, T* d0, T* d1, T* d2, int64_t n);

// Shared, read-only arguments of one conversion.
template <class T>
struct SplitJob {
    const T* src;
    T* plane[3];
    Split3Fn<T> split;
};

// Converts blocks [first, first + count) of `pixels` pixels each.
template <class T, int64_t pixels>
void split_blocks(const SplitJob<T>& job, int64_t first, int64_t count) {
    const int64_t p = first * pixels;
    job.split(job.src + 3 * p, job.plane[0] + p, job.plane[1] + p, job.plane[2] + p, count * pixels);
}

// {2, 0, 1} (channel, height, width) is the one supported order.  Elements are
// read only as far as needed to decide.
int order_result(const int* order) {
    if (order[0] != 2 || order[1] != 0 || order[2] != 1) return result_unsupported_order;
    return result_ok;
}

// Planar outputs from this size on do not stay in the cache for the caller:
// they are written around it, which saves reading every line before writing it.
constexpr int64_t kStreamBytes = int64_t{16} << 20;

// A block is one 128-bit vector per plane: 16 bytes or 4 floats.
template <class T, int64_t block = 16 / sizeof(T)>
int permute_hwc_chw(const T* src, T* dst, const int* shape, const int* order, Split3Fn<T> split,
                    Split3Fn<T> split_stream) {
    if (src == nullptr || dst == nullptr) return result_null_argument;
    if (shape == nullptr || order == nullptr) return result_null_argument;
    const int result = order_result(order);

    // 64-bit count and indices: images of 2^31 elements and more are fine.
    const int64_t n = int64_t{shape[0]} * shape[1];
    const int64_t plane = n > 0 ? n : 0;
    const bool stream = 3 * plane * int64_t{sizeof(T)} >= kStreamBytes;
    const SplitJob<T> job{src, {dst, dst + plane, dst + 2 * plane}, stream ? split_stream : split};
    const int64_t blocks = n / block;
    run_blocks(blocks, job, split_blocks<T, block>);

    const int64_t rest = blocks * block;
    if (n > rest) split_blocks<T, 1>(job, rest, n - rest);
    return result;
}

}  // namespace
}  // namespace zv_pt

int zv_permute_hwc_chw(unsigned char* src, unsigned char* dst, int* shape, int* order, int) {
    const zv_pt::ImageKernels& kernels = zv_pt::image_kernels();
    return zv_pt::permute_hwc_chw<uint8_t>(src, dst, shape, order, kernels.split3_u8, kernels.split3_u8_stream);
}

int zv_permute_hwc_chw_float32(float* src, float* dst, int* shape, int* order, int) {
    const zv_pt::ImageKernels& kernels = zv_pt::image_kernels();
    return zv_pt::permute_hwc_chw<float>(src, dst, shape, order, kernels.split3_f32, kernels.split3_f32_stream);
}
