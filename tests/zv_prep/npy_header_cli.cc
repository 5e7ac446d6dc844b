// Test helper: writes the .npy headers that zv-prep writes, one after the
// other, to standard output, so that numpy itself can parse them.
// usage: zv_prep_npy_header SHAPE...   SHAPE: extents separated by commas ("3,224,224");
//        a leading 'r' asks for the batch's reserved header size ("r10,3,224,224").
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "npy.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* p = argv[i];
        const size_t size = *p == 'r' ? zvprep::kNpyReserved : 0;
        if (size != 0) ++p;
        std::vector<long> shape;
        for (char* end = nullptr; *p != '\0'; p = *end == ',' ? end + 1 : end) {
            shape.push_back(std::strtol(p, &end, 10));
            if (end == p) return 2;
        }
        const std::string header = zvprep::npy_header(shape, size);
        if (std::fwrite(header.data(), 1, header.size(), stdout) != header.size()) return 1;
    }
    return 0;
}
