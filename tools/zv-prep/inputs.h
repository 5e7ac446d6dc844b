// The inputs of a run: files as given, and the image files of folders given,
// each with the name of its output.
#ifndef ZV_PREP_INPUTS_H
#define ZV_PREP_INPUTS_H

#include <string>
#include <vector>

namespace zvprep {

struct Input {
    std::string path;    // as given, or as found under a folder given
    std::string output;  // its .npy, relative to the output folder
};

// Files as given (OUT/NAME.npy); folders become their image files,
// recursively and in name order, with outputs at the same relative paths
// (ds/cat/001.png -> OUT/cat/001.npy).  Symbolic links to folders are
// followed, except back into a folder being listed.  What cannot be listed
// (an unreadable subfolder, a dangling link or a pipe with an image's name, a
// folder with no image) is reported on one line naming it, counted in
// `failures`, and the rest is listed all the same.
std::vector<Input> list_inputs(const std::vector<std::string>& arguments, int& failures);

// For each input, empty, or why it must be skipped: an earlier input has
// the same output (a.jpg and a.png side by side; the same relative path in
// two folders given).  Decided from the names alone, before any is read.
std::vector<std::string> find_collisions(const std::vector<Input>& inputs, const std::string& out);

}  // namespace zvprep

#endif  // ZV_PREP_INPUTS_H
