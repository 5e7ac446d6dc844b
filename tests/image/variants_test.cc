// Every vector variant of the image row kernels against the scalar reference,
// bit for bit: all sizes through several vector steps, misaligned pointers and
// floats of every class.  Buffers have exact sizes, so that AddressSanitizer
// reports any access past their ends; the elements before the misaligned
// pointer must survive.
#include "image/image_kernels.h"
#include "image_test_support.h"

namespace zv_pt_test {
namespace {

using zv_pt::image_kernels;
using zv_pt::Isa;

std::vector<Isa> vector_isas() {
    std::vector<Isa> found;
    for (Isa isa : zv_pt::kAllIsas)
        if (isa != Isa::c && zv_pt::isa_supported(isa)) found.push_back(isa);
    return found;
}

std::vector<int64_t> sizes() {
    std::vector<int64_t> n;
    for (int64_t i = 0; i <= 200; ++i) n.push_back(i);
    for (int64_t i : {1000, 4093, 65541}) n.push_back(i);
    return n;
}

// `n` elements starting `offset` elements into an allocation of exactly offset + n.
template <class T>
struct Span {
    std::vector<T> storage;
    size_t offset;
    T* data() { return storage.data() + offset; }
};

template <class T>
Span<T> random_span(std::mt19937& rng, size_t offset, size_t n) {
    return {random_elements<T>(rng, offset + n), offset};
}

template <class T>
using Split3 = void (*)(const T*, T*, T*, T*, int64_t);

template <class T>
void expect_split_matches(Split3<T> variant, Split3<T> reference, size_t max_offset) {
    std::mt19937 rng(5);
    for (int64_t n : sizes()) {
        for (size_t offset = 0; offset <= max_offset; ++offset) {
            SCOPED_TRACE(::testing::Message() << "n " << n << ", offset " << offset);
            Span<T> src = random_span<T>(rng, offset, 3 * n), planes[3];
            for (Span<T>& plane : planes) plane = random_span<T>(rng, offset, n);
            Span<T> expected[3] = {planes[0], planes[1], planes[2]};
            reference(src.data(), expected[0].data(), expected[1].data(), expected[2].data(), n);
            variant(src.data(), planes[0].data(), planes[1].data(), planes[2].data(), n);
            for (int c = 0; c < 3; ++c) ASSERT_TRUE(same_bits(expected[c].storage, planes[c].storage)) << "plane " << c;
        }
    }
}

class Variants : public ::testing::TestWithParam<Isa> {
protected:
    const zv_pt::ImageKernels& variant() const { return image_kernels(GetParam()); }
    const zv_pt::ImageKernels& reference() const { return image_kernels(Isa::c); }
};

TEST_P(Variants, Split3U8MatchesReference) {
    expect_split_matches<uint8_t>(variant().split3_u8, reference().split3_u8, 15);
}

TEST_P(Variants, Split3F32MatchesReference) {
    expect_split_matches<float>(variant().split3_f32, reference().split3_f32, 3);
}

// Streaming stores need 32-byte alignment: every offset up to 31 bytes.
TEST_P(Variants, StreamingSplitsMatchReference) {
    expect_split_matches<uint8_t>(variant().split3_u8_stream, reference().split3_u8, 31);
    expect_split_matches<float>(variant().split3_f32_stream, reference().split3_f32, 7);
}

TEST_P(Variants, Normalize3F32MatchesReference) {
    std::mt19937 rng(6);
    for (int64_t n : sizes()) {
        for (size_t offset = 0; offset <= 3; ++offset) {
            SCOPED_TRACE(::testing::Message() << "n " << n << ", offset " << offset);
            // Mostly ordinary parameters, sometimes special ones (zero std included:
            // the row kernel does not check).
            float mean[3], stdv[3];
            for (int c = 0; c < 3; ++c) {
                const bool special = rng() % 4 == 0;
                mean[c] = special ? random_float(rng) : std::uniform_real_distribution<float>(0, 255)(rng);
                stdv[c] = special ? random_float(rng) : std::uniform_real_distribution<float>(0.01f, 80)(rng);
            }
            Span<float> planes[3] = {random_span<float>(rng, offset, n), random_span<float>(rng, offset, n),
                                     random_span<float>(rng, offset, n)};
            Span<float> expected[3] = {planes[0], planes[1], planes[2]};
            reference().normalize3_f32(expected[0].data(), expected[1].data(), expected[2].data(), mean, stdv, n);
            variant().normalize3_f32(planes[0].data(), planes[1].data(), planes[2].data(), mean, stdv, n);
            for (int c = 0; c < 3; ++c) ASSERT_TRUE(same_bits(expected[c].storage, planes[c].storage)) << "plane " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Image, Variants, ::testing::ValuesIn(vector_isas()),
                         [](const ::testing::TestParamInfo<Isa>& info) { return zv_pt::isa_name(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Variants);  // a scalar-only build has no vector variant

}  // namespace
}  // namespace zv_pt_test
