// The loops a user would write by hand for the image kernels: baseline flags,
// no intrinsics, one OpenMP work-sharing loop, and a translation unit of their
// own so that the compiler knows nothing about the callers' sizes.
#include <cstdint>

namespace {

template <class T>
void split3(const T* src, T* d0, T* d1, T* d2, int64_t n) {
#pragma omp parallel for schedule(static)
    for (int64_t p = 0; p < n; ++p) {
        d0[p] = src[3 * p];
        d1[p] = src[3 * p + 1];
        d2[p] = src[3 * p + 2];
    }
}

}  // namespace

void plain_split3(const uint8_t* src, uint8_t* d0, uint8_t* d1, uint8_t* d2, int64_t n) {
    split3(src, d0, d1, d2, n);
}

void plain_split3(const float* src, float* d0, float* d1, float* d2, int64_t n) { split3(src, d0, d1, d2, n); }

void plain_normalize3(float* data, const float mean[3], const float stdv[3], int64_t n) {
    for (int c = 0; c < 3; ++c) {
        float* const plane = data + c * n;
        const float m = mean[c], s = stdv[c];
#pragma omp parallel for schedule(static)
        for (int64_t i = 0; i < n; ++i) plane[i] = (plane[i] - m) / s;
    }
}
