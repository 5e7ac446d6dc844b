#include "npy.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the .npy files are written as little-endian float32");

namespace zvprep {
namespace {
// The size of a file whose failed write could not be cut off again.
constexpr size_t kBroken = static_cast<size_t>(-1);
}  // namespace

std::string npy_header(const std::vector<long>& shape, size_t size) {
    std::string dims;
    for (long extent : shape) dims += (dims.empty() ? "" : ", ") + std::to_string(extent);
    if (shape.size() == 1) dims += ",";  // a Python tuple of one
    std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + dims + ")";
    dict += ", }";
    const size_t prefix = 10;  // magic, version, header length
    size_t total = std::max(size, prefix + dict.size() + 1);
    total = (total + 63) / 64 * 64;
    dict.append(total - prefix - dict.size() - 1, ' ');
    dict += '\n';
    const size_t length = dict.size();
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(length & 0xff);
    header += static_cast<char>(length >> 8);
    return header + dict;
}

bool AtomicFile::fail(const std::string& what, std::string& error) {
    error = what + " " + path_ + ": " + std::strerror(errno);
    return false;
}

bool AtomicFile::open(const std::string& path, std::string& error) {
    discard();
    watch_signals();
    path_ = path;
    const size_t slash = path.rfind('/');
    fd_ = temporary_.create(slash == std::string::npos ? std::string() : path.substr(0, slash + 1));
    if (fd_ < 0) return fail("cannot create a temporary file for", error);
    ::fchmod(fd_, 0644);
    size_ = 0;
    return true;
}

bool AtomicFile::append(const void* data, size_t size, std::string& error) {
    if (size_ == kBroken) {
        errno = EIO;
        return fail("cannot write", error);
    }
    const auto* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = ::pwrite(fd_, bytes + done, size - done, static_cast<off_t>(size_ + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = ENOSPC;
            const int saved = errno;
            // A part of the data would shift everything written after it.
            if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) size_ = kBroken;
            errno = saved;
            return fail("cannot write", error);
        }
        done += static_cast<size_t>(wrote);
    }
    size_ += size;
    return true;
}

bool AtomicFile::write_at(size_t offset, const std::string& bytes, std::string& error) {
    if (size_ == kBroken || offset + bytes.size() > size_) {
        errno = EINVAL;
        return fail("cannot write", error);
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return fail("cannot write", error);
        done += static_cast<size_t>(wrote);
    }
    return true;
}

bool AtomicFile::sync(std::string& error) { return ::fsync(fd_) == 0 || fail("cannot write", error); }

bool AtomicFile::commit(std::string& error) {
    const bool intact = size_ != kBroken;
    const int closed = ::close(fd_);  // may report a delayed write error
    fd_ = -1;
    if (!intact) errno = EIO;
    if (intact && closed == 0 && std::rename(temporary_.path(), path_.c_str()) == 0) {
        temporary_.release();
        return true;
    }
    fail("cannot write", error);
    discard();
    return false;
}

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (*temporary_.path() != '\0') ::unlink(temporary_.path());
    temporary_.release();
}

bool write_npy(const std::string& path, const std::vector<long>& shape, const float* data, std::string& error) {
    size_t count = 1;
    for (long extent : shape) count *= static_cast<size_t>(extent);
    AtomicFile file;
    const std::string header = npy_header(shape);
    return file.open(path, error) && file.append(header.data(), header.size(), error) &&
           file.append(data, count * sizeof(float), error) && file.commit(error);
}

}  // namespace zvprep
