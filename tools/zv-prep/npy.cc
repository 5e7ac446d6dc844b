#include "npy.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the .npy files are written as little-endian float32");

namespace zvprep {
namespace {

// The temporary file being written, for the signal handler to remove: a
// fixed buffer, since a handler may not touch std::string.
char g_pending[PATH_MAX];
volatile std::sig_atomic_t g_has_pending = 0;

extern "C" void remove_pending_and_die(int signal) {
    if (g_has_pending) ::unlink(g_pending);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void watch_signals() {
    static const bool installed = [] {
        std::signal(SIGINT, remove_pending_and_die);
        std::signal(SIGTERM, remove_pending_and_die);
        return true;
    }();
    (void)installed;
}

void set_pending(const std::string& path) {
    g_has_pending = 0;
    if (path.size() >= sizeof g_pending) return;
    std::memcpy(g_pending, path.c_str(), path.size() + 1);
    g_has_pending = 1;
}

std::string system_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

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

bool AtomicFile::open(const std::string& path, std::string& error) {
    discard();
    watch_signals();
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string pattern = dir + "." + name + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = system_error(("cannot create a file in " + (dir.empty() ? std::string(".") : dir)).c_str());
        return false;
    }
    ::fchmod(fd, 0644);
    path_ = path;
    temporary_ = pattern;
    set_pending(temporary_);
    file_ = ::fdopen(fd, "wb");
    if (file_ != nullptr) return true;
    error = system_error("cannot open");
    ::close(fd);
    discard();
    return false;
}

bool AtomicFile::write(const void* data, size_t size, std::string& error) {
    if (std::fwrite(data, 1, size, file_) == size) return true;
    error = system_error(("cannot write " + path_).c_str());
    return false;
}

bool AtomicFile::write_at_start(const std::string& bytes, std::string& error) {
    const long end = std::ftell(file_);
    if (std::fseek(file_, 0, SEEK_SET) != 0 || !write(bytes.data(), bytes.size(), error)) return false;
    return std::fseek(file_, end, SEEK_SET) == 0;
}

bool AtomicFile::commit(std::string& error) {
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
        error = system_error(("cannot write " + path_).c_str());
        discard();
        return false;
    }
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        error = system_error(("cannot rename to " + path_).c_str());
        discard();
        return false;
    }
    g_has_pending = 0;
    temporary_.clear();
    return true;
}

void AtomicFile::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
    g_has_pending = 0;
}

bool write_npy(const std::string& path, const std::vector<long>& shape, const float* data, std::string& error) {
    size_t count = 1;
    for (long extent : shape) count *= static_cast<size_t>(extent);
    AtomicFile file;
    const std::string header = npy_header(shape);
    return file.open(path, error) && file.write(header.data(), header.size(), error) &&
           file.write(data, count * sizeof(float), error) && file.commit(error);
}

}  // namespace zvprep
