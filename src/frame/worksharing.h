// Block worksharing: complete blocks spread over the OpenMP thread team by a
// static split, each member one contiguous range; the caller does the remainder
// after the join.
#pragma once

#include <omp.h>

#include <cstdint>

namespace zv_pt {

// Range of blocks [first, first + count) that member t of a team of `team`
// takes out of `blocks`: the first r = blocks mod team members take one more.
struct BlockRange {
    int64_t first;
    int64_t count;
};

inline BlockRange static_split(int64_t blocks, int64_t team, int64_t t) {
    const int64_t q = blocks / team;
    const int64_t r = blocks - q * team;
    if (t < r) return {t * (q + 1), q + 1};
    return {r + t * q, q};
}

// Runs op(job, first, count) on every member of the default thread team for its
// range of the `blocks` blocks, in ascending order, and returns after the join.
// The region is opened even when blocks <= 0.  `job` is shared and read-only.
template <class Job>
void run_blocks(int64_t blocks, const Job& job, void (*op)(const Job&, int64_t first, int64_t count)) {
#pragma omp parallel
    {
        const BlockRange range = static_split(blocks, omp_get_num_threads(), omp_get_thread_num());
        if (range.count > 0) op(job, range.first, range.count);
    }
}

}  // namespace zv_pt
