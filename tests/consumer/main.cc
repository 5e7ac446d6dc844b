// Converts one small image through the installed library; exits 0 on success.
#include <zv_pt.h>

int main() {
    unsigned char src[6] = {1, 2, 3, 4, 5, 6}, dst[6] = {};
    int shape[2] = {1, 2}, order[3] = {2, 0, 1};
    if (zv_permute_hwc_chw(src, dst, shape, order, 0) != result_ok) return 1;
    const unsigned char planar[6] = {1, 4, 2, 5, 3, 6};
    for (int i = 0; i < 6; ++i)
        if (dst[i] != planar[i]) return 1;
    return 0;
}
