// --batch: OUT/batch.npy (N x 3 x H x W float32) and OUT/batch.txt (the N
// inputs, one a line, in the same order), written as one pair.
#ifndef ZV_PREP_BATCH_H
#define ZV_PREP_BATCH_H

#include <string>
#include <vector>

#include "npy.h"

namespace zvprep {

class BatchWriter {
public:
    explicit BatchWriter(std::string folder) : folder_(std::move(folder)) {}

    // False, with the reason, for a name that cannot stand on one line of
    // batch.txt: one with a control character (a newline would split it).
    static bool name_fits(const std::string& name, std::string& error);

    // Adds one tensor of shape 3 x H x W, all of it or, failing, nothing.
    bool append(const std::string& name, const std::vector<long>& shape, const float* data, std::string& error);
    long count() const { return count_; }
    std::string npy_path() const { return folder_ + "/batch.npy"; }

    // Puts the pair in place of the folder's previous one.  batch.txt is
    // removed before batch.npy is replaced and renamed in after it, so
    // whatever happens (a failure, a signal, a crash), a batch.txt lists the
    // batch.npy beside it; a batch.npy alone is an unfinished commit.  Does
    // nothing when no tensor was added.
    bool commit(std::string& error);

private:
    std::string folder_;
    AtomicFile npy_;
    bool opened_ = false;
    std::vector<long> shape_;
    long count_ = 0;
    std::string list_;
};

}  // namespace zvprep

#endif  // ZV_PREP_BATCH_H
