#include "batch.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace zvprep {

bool BatchWriter::name_fits(const std::string& name, std::string& error) {
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            error = "its name holds a control character, which batch.txt (one name a line) cannot; skipped";
            return false;
        }
    }
    return true;
}

bool BatchWriter::append(const std::string& name, const std::vector<long>& shape, const float* data,
                         std::string& error) {
    if (!name_fits(name, error)) return false;
    if (count_ > 0 && shape != shape_) {
        error = "its tensor is " + std::to_string(shape[2]) + "x" + std::to_string(shape[1]) + ", the batch's " +
                std::to_string(shape_[2]) + "x" + std::to_string(shape_[1]) + " (use --crop or --size)";
        return false;
    }
    if (!opened_) {
        // The header's place, rewritten once the count is known.
        const std::string reserved(kNpyReserved, ' ');
        if (!npy_.open(npy_path(), error) || !npy_.append(reserved.data(), reserved.size(), error)) return false;
        opened_ = true;
    }
    if (!npy_.append(data, 3 * static_cast<size_t>(shape[1]) * shape[2] * sizeof(float), error)) return false;
    shape_ = shape;
    list_ += name + "\n";
    ++count_;
    return true;
}

bool BatchWriter::commit(std::string& error) {
    if (count_ == 0) return true;
    const std::string header = npy_header({count_, shape_[0], shape_[1], shape_[2]}, kNpyReserved);
    const std::string list_path = folder_ + "/batch.txt";
    AtomicFile list;
    if (header.size() != kNpyReserved) {
        error = "the batch header does not fit its reserved place";
        return false;
    }
    if (!npy_.write_at(0, header, error) || !npy_.sync(error) || !list.open(list_path, error) ||
        !list.append(list_.data(), list_.size(), error) || !list.sync(error))
        return false;
    if (::unlink(list_path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot replace " + list_path + ": " + std::strerror(errno);
        return false;
    }
    if (!npy_.commit(error)) return false;
    if (list.commit(error)) return true;
    ::unlink(npy_path().c_str());
    return false;
}

}  // namespace zvprep
