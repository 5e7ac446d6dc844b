// Helpers of the image kernel tests: OpenMP team sizes, memory that faults on
// access, floats of every class, and bit-for-bit comparison.
#pragma once

#include <gtest/gtest.h>
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

namespace zv_pt_test {

// Team sizes of the worksharing tests: one member, even and uneven splits, and
// more members than blocks for the small sizes.
inline constexpr int kTeamSizes[] = {1, 2, 3, 8};

// Sets the size of the OpenMP team for its scope.
class TeamSize {
public:
    explicit TeamSize(int threads) : saved_(omp_get_max_threads()) { omp_set_num_threads(threads); }
    ~TeamSize() { omp_set_num_threads(saved_); }
    TeamSize(const TeamSize&) = delete;
    TeamSize& operator=(const TeamSize&) = delete;

private:
    int saved_;
};

// A readable page followed by an inaccessible one: any access to inaccessible()
// faults, and the values of end_with() end right before it, so reading one
// element past them faults too.
class GuardedPage {
public:
    GuardedPage() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* at = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED || mprotect(static_cast<char*>(at) + size_, size_, PROT_NONE) != 0) std::abort();
        base_ = static_cast<char*>(at);
    }
    ~GuardedPage() { munmap(base_, 2 * size_); }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    template <class T>
    T* inaccessible() const {
        return reinterpret_cast<T*>(base_ + size_);
    }

    int* end_with(const std::vector<int>& values) {
        int* at = inaccessible<int>() - values.size();
        std::copy(values.begin(), values.end(), at);
        return at;
    }

private:
    size_t size_;
    char* base_;
};

inline uint32_t bits_of(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

inline uint32_t bits_of(uint8_t x) { return x; }

inline float float_of(uint32_t bits) {
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// A float of any class, the rare ones well represented: ±0, ±inf, denormals,
// quiet and signalling NaNs with payloads, normals of every scale, and plain
// values of pixel size.
inline float random_float(std::mt19937& rng) {
    const uint32_t pick = rng(), sign = pick & 0x80000000u, mantissa = rng() & 0x7fffffu;
    switch (pick % 16) {
        case 0: return float_of(sign);
        case 1: return float_of(sign | 0x7f800000u);
        case 2: return float_of(sign | mantissa | 1);
        case 3: return float_of(sign | 0x7f800000u | mantissa | 1);
        case 4: return float_of(sign | (1 + rng() % 254) << 23 | mantissa);
        default: return std::uniform_real_distribution<float>(-300.0f, 300.0f)(rng);
    }
}

// n random elements: any byte, or floats of every class.
template <class T>
std::vector<T> random_elements(std::mt19937& rng, size_t n) {
    std::vector<T> v(n);
    for (T& x : v) {
        if constexpr (std::is_same_v<T, uint8_t>)
            x = static_cast<uint8_t>(rng());
        else
            x = random_float(rng);
    }
    return v;
}

// Equal representations, element by element (NaN payloads and signs of zero count).
template <class T>
::testing::AssertionResult same_bits(const T* expected, const T* actual, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (bits_of(expected[i]) != bits_of(actual[i]))
            return ::testing::AssertionFailure() << "element " << i << " of " << n << ": expected 0x" << std::hex
                                                 << bits_of(expected[i]) << ", got 0x" << bits_of(actual[i]);
    return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult same_bits(const std::vector<T>& expected, const std::vector<T>& actual) {
    if (expected.size() != actual.size()) return ::testing::AssertionFailure() << "sizes differ";
    return same_bits(expected.data(), actual.data(), expected.size());
}

}  // namespace zv_pt_test
