// The tensors, seen from PyTorch inside the library's embedded interpreter.
#ifndef ZV_PREP_TORCH_REPORT_H
#define ZV_PREP_TORCH_REPORT_H

#include <string>
#include <vector>

namespace zvprep {

// Starts the interpreter (initialize_python), sets PyTorch's thread count
// (zvt::init), loads the .npy files into torch and prints their shape, dtype,
// per-channel mean and standard deviation and torch.get_num_threads(); then
// ends the interpreter.  False if Python reported an error (it printed it).
bool report_in_torch(const std::vector<std::string>& npy_files);

}  // namespace zvprep

#endif  // ZV_PREP_TORCH_REPORT_H
