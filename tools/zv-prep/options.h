// zv-prep's command line.
#ifndef ZV_PREP_OPTIONS_H
#define ZV_PREP_OPTIONS_H

#include <string>
#include <vector>

#include "image_io.h"
#include "zv_pt/prepare.hpp"

namespace zvprep {

struct Settings {
    zvt::prepare::Options options;
    std::string out = ".";
    bool batch = false;
    bool fast_decode = false;  // JPEGs at a reduced DCT scale
    bool torch = false;
    bool quiet = false;
    long max_pixels = kDefaultMaxPixels;
    long jobs = 0;  // worker threads; parse_arguments() sets the default
    std::vector<std::string> inputs;
};

// The largest side of a tensor, and of the resized image it is cut from.
constexpr long kMaxSide = 16384;

// The most worker threads (-j): more would only wait for one another.
constexpr long kMaxJobs = 256;

// The processors this process may run on: its affinity mask (taskset, cpusets),
// and fewer when a cgroup CPU quota allows less than that.
long available_processors();

// Parses the arguments; prints the help and exits 0 for -h, or one line and
// exits 2 for a wrong option or value.
Settings parse_arguments(int argc, char** argv);

}  // namespace zvprep

#endif  // ZV_PREP_OPTIONS_H
