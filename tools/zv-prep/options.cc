#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>

#include <sched.h>
#include <unistd.h>

namespace zvprep {
namespace {

const char kUsage[] = R"(usage: zv-prep [options] INPUT...

Turns images (PNG, JPEG, binary PPM/PGM; files or folders of them) into
normalised float32 tensors of shape 3 x H x W, one OUT/NAME.npy per image
(files found in a folder keep their path below it: DIR/a/b.png -> OUT/a/b.npy).

  --size WxH          resize to W x H (default 224x224; N means NxN)
  --resize N          instead: resize the shorter side to N, keeping the aspect
  --crop WxH          ... then cut the centre W x H (N means NxN)
  --filter F          bilinear (default) or bicubic, antialiased
  --mean R,G,B        per-channel mean (default 0.485,0.456,0.406)
  --std R,G,B         per-channel standard deviation (default 0.229,0.224,0.225)
  --float-resize      convert to float first, then resize the floats
  --fast-decode       decode JPEGs at 1/2, 1/4 or 1/8 of their size (in the DCT) while that
                      still leaves twice the resized size, then resize as usual: faster,
                      no longer equal to torchvision's tensors (a fraction of a grey
                      level on average, see the README)
  --batch             one OUT/batch.npy of shape N x 3 x H x W (inputs listed in OUT/batch.txt)
  --out DIR           output folder (default: the current one; created if missing)
  --max-pixels N      refuse images of more than N pixels (default 178956970, as Pillow)
  -j, --jobs N        images prepared at once, one worker thread each (default: the
                      processors this process may use); the output is the same for any N
  --torch             then load the tensors into PyTorch in the embedded interpreter
  -q, --quiet         no progress bar and no summary
  -h, --help          this text
  --version           the version of zv-prep and libzv_pt
)";

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "zv-prep: %s (see zv-prep --help)\n", message.c_str());
    std::exit(2);
}

long parse_number(const std::string& option, const std::string& text, long largest, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > largest)
        usage_error(option + ": '" + text + "' is not " + what + " from 1 to " + std::to_string(largest));
    return value;
}

long parse_count(const std::string& option, const std::string& text) {
    return parse_number(option, text, kMaxSide, "a size");
}

// "WxH" or "N" (square).
void parse_size(const std::string& option, const std::string& text, long& width, long& height) {
    const size_t x = text.find('x');
    width = parse_count(option, text.substr(0, x));
    height = x == std::string::npos ? width : parse_count(option, text.substr(x + 1));
}

void parse_triple(const std::string& option, const std::string& text, float out[3], bool positive) {
    const char* p = text.c_str();
    for (int c = 0; c < 3; ++c) {
        char* end = nullptr;
        out[c] = std::strtof(p, &end);
        const char expected = c < 2 ? ',' : '\0';
        if (end == p || *end != expected || !std::isfinite(out[c]) || (positive && !(out[c] > 0.0f)))
            usage_error(option + ": '" + text + "' is not three " + (positive ? "positive " : "") +
                        "numbers separated by commas");
        p = end + 1;
    }
}

// The cgroup (v2) CPU quota of this process, in processors rounded up; 0 for none.
long cgroup_processors() {
    std::ifstream cgroup("/proc/self/cgroup");
    std::string line, path;
    while (std::getline(cgroup, line))
        if (line.rfind("0::", 0) == 0) path = line.substr(3);
    if (path.empty()) return 0;
    std::ifstream limit("/sys/fs/cgroup" + (path == "/" ? std::string() : path) + "/cpu.max");
    std::string quota;
    long period = 0;
    if (!(limit >> quota >> period) || quota == "max" || period <= 0) return 0;
    const long microseconds = std::atol(quota.c_str());
    return microseconds > 0 ? (microseconds + period - 1) / period : 0;
}

}  // namespace

long available_processors() {
    cpu_set_t set;
    long count = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
    if (count <= 0) count = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
    const long quota = cgroup_processors();
    return quota > 0 ? std::min(count, quota) : count;
}

Settings parse_arguments(int argc, char** argv) {
    Settings s;
    bool size_given = false, crop_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> attached;  // --option=value
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            attached = arg.substr(equals + 1);
            arg.resize(equals);
        } else if (arg.rfind("-j", 0) == 0 && arg.size() > 2) {  // -j4, as make takes it
            attached = arg.substr(2);
            arg.resize(2);
        }
        const auto take = [&]() -> std::string {
            if (attached) return *attached;
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        // A switch given a value (--batch=no) is refused rather than taken as on.
        const auto flag = [&]() {
            if (attached) usage_error(arg + " takes no value ('" + arg + "=" + *attached + "')");
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            flag();
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            flag();
            std::printf("zv-prep %s\n", ZV_PT_VERSION);
            std::exit(0);
        } else if (arg == "--size") {
            parse_size(arg, take(), s.options.width, s.options.height);
            size_given = true;
        } else if (arg == "--resize") {
            s.options.shorter = parse_count(arg, take());
        } else if (arg == "--crop") {
            parse_size(arg, take(), s.options.width, s.options.height);
            crop_given = s.options.crop = true;
        } else if (arg == "--filter") {
            const std::string& f = take();
            if (f != "bilinear" && f != "bicubic") usage_error("--filter: '" + f + "' is not bilinear or bicubic");
            s.options.filter = f == "bicubic" ? zvt::resize::Filter::bicubic : zvt::resize::Filter::bilinear;
        } else if (arg == "--mean") {
            parse_triple(arg, take(), s.options.mean, false);
        } else if (arg == "--std") {
            parse_triple(arg, take(), s.options.std, true);
        } else if (arg == "--out") {
            s.out = take();
            if (s.out.empty()) usage_error("--out needs a folder");
        } else if (arg == "--max-pixels") {
            s.max_pixels = parse_number(arg, take(), 1L << 40, "a pixel count");
        } else if (arg == "-j" || arg == "--jobs") {
            s.jobs = parse_number(arg, take(), kMaxJobs, "a number of jobs");
        } else if (arg == "--float-resize") {
            s.options.float_resize = flag();
        } else if (arg == "--fast-decode") {
            s.fast_decode = flag();
        } else if (arg == "--batch") {
            s.batch = flag();
        } else if (arg == "--torch") {
            s.torch = flag();
        } else if (arg == "-q" || arg == "--quiet") {
            s.quiet = flag();
        } else if (arg == "--") {
            s.inputs.insert(s.inputs.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage_error("unknown option " + arg);
        } else {
            s.inputs.push_back(arg);
        }
    }
    if (crop_given && s.options.shorter == 0) usage_error("--crop needs --resize");
    if (size_given && s.options.shorter > 0) usage_error("--size and --resize exclude each other");
    if (s.inputs.empty()) usage_error("no input files");
    if (s.jobs == 0) s.jobs = std::min(available_processors(), kMaxJobs);
    return s;
}

}  // namespace zvprep
