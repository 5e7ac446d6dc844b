// Writing float32 NumPy arrays (.npy) so that a crash or a failure never
// leaves a half-written file under the final name.
#ifndef ZV_PREP_NPY_H
#define ZV_PREP_NPY_H

#include <cstdio>
#include <string>
#include <vector>

namespace zvprep {

// The .npy header (format 1.0) of a C-ordered little-endian float32 array,
// padded with spaces to `size` bytes (at least to the next multiple of 64).
std::string npy_header(const std::vector<long>& shape, size_t size = 0);

// Bytes that the header of any array of up to four dimensions fits in; a file
// whose shape is known only at the end reserves it and rewrites the header.
constexpr size_t kNpyReserved = 128;

// A file written under a temporary name beside its final one (".NAME.XXXXXX")
// and renamed into place by commit().  Destroyed uncommitted, or on SIGINT or
// SIGTERM, it removes the temporary file.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    bool open(const std::string& path, std::string& error);
    bool write(const void* data, size_t size, std::string& error);
    bool write_at_start(const std::string& bytes, std::string& error);
    bool commit(std::string& error);
    void discard();

private:
    std::FILE* file_ = nullptr;
    std::string path_, temporary_;
};

// Writes one array to `path` through an AtomicFile.
bool write_npy(const std::string& path, const std::vector<long>& shape, const float* data, std::string& error);

}  // namespace zvprep

#endif  // ZV_PREP_NPY_H
