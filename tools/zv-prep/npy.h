// Writing float32 NumPy arrays (.npy) so that a crash, a signal or a failed
// write never leaves a half-written file under the final name.
#ifndef ZV_PREP_NPY_H
#define ZV_PREP_NPY_H

#include <string>
#include <vector>

#include "pending.h"

namespace zvprep {

// The .npy header (format 1.0) of a C-ordered little-endian float32 array,
// padded with spaces to `size` bytes (at least to the next multiple of 64, so
// that the data that follows is 64-byte aligned, as the format asks).
std::string npy_header(const std::vector<long>& shape, size_t size = 0);

// Bytes that the header of any array of up to four dimensions fits in; a file
// whose shape is known only at the end reserves it and rewrites the header.
constexpr size_t kNpyReserved = 128;

// A file written under a temporary name in the folder of its final one and
// renamed into place by commit().  Destroyed uncommitted, or on a signal (see
// watch_signals), it removes the temporary file.
class AtomicFile {
public:
    AtomicFile() = default;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile() { discard(); }

    bool open(const std::string& path, std::string& error);
    // Appends all of `data` or, failing, cuts the file back to its size before.
    bool append(const void* data, size_t size, std::string& error);
    bool write_at(size_t offset, const std::string& bytes, std::string& error);
    // Flushes the data to the disk (before a commit that others depend on).
    bool sync(std::string& error);
    bool commit(std::string& error);
    void discard();

private:
    bool fail(const std::string& what, std::string& error);

    int fd_ = -1;
    size_t size_ = 0;
    PendingFile temporary_;
    std::string path_;
};

// Writes one array to `path` through an AtomicFile.
bool write_npy(const std::string& path, const std::vector<long>& shape, const float* data, std::string& error);

}  // namespace zvprep

#endif  // ZV_PREP_NPY_H
