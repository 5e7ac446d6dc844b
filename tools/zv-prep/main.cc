// zv-prep: images to model-ready tensors with libzv_pt.
//
// Each image is decoded, resized with antialiasing, converted to planar,
// scaled to [0, 1] and normalised per channel, then written as a float32
// NumPy file.  A bad file is reported on one line and skipped; the exit
// status is 0 if every file was prepared, 1 if some failed, 2 for bad options.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <omp.h>
#include <unistd.h>

#include "image_io.h"
#include "npy.h"
#include "prepare.h"
#include "torch_report.h"

namespace fs = std::filesystem;
using namespace zvprep;

namespace {

constexpr long kMaxSide = 16384;

const char kUsage[] = R"(usage: zv-prep [options] INPUT...

Turns images (PNG, JPEG, binary PPM/PGM; files or folders of them) into
normalised float32 tensors of shape 3 x H x W, one OUT/NAME.npy per image.

  --size WxH          resize to W x H (default 224x224; N means NxN)
  --resize N          instead: resize the shorter side to N, keeping the aspect
  --crop WxH          ... then cut the centre W x H (N means NxN)
  --filter F          bilinear (default) or bicubic, antialiased
  --mean R,G,B        per-channel mean (default 0.485,0.456,0.406)
  --std R,G,B         per-channel standard deviation (default 0.229,0.224,0.225)
  --float-resize      convert to float first, then resize the floats
  --batch             one OUT/batch.npy of shape N x 3 x H x W (inputs listed in OUT/batch.txt)
  --out DIR           output folder (default: the current one; created if missing)
  --torch             then load the tensors into PyTorch in the embedded interpreter
  -q, --quiet         no progress bar and no summary
  -h, --help          this text
  --version           the version of zv-prep and libzv_pt
)";

struct Settings {
    Options options;
    std::string out = ".";
    bool batch = false;
    bool torch = false;
    bool quiet = false;
    std::vector<std::string> inputs;
};

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "zv-prep: %s (see zv-prep --help)\n", message.c_str());
    std::exit(2);
}

long parse_count(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > kMaxSide)
        usage_error(option + ": '" + text + "' is not a size from 1 to " + std::to_string(kMaxSide));
    return value;
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
        }
        const auto take = [&]() -> std::string {
            if (attached) return *attached;
            if (i + 1 >= argc) usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("zv-prep %s\n", ZV_PT_VERSION);
            std::exit(0);
        } else if (arg == "--size") {
            parse_size(arg, take(), s.options.width, s.options.height);
            size_given = true;
        } else if (arg == "--resize") {
            s.options.resize_short = parse_count(arg, take());
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
        } else if (arg == "--float-resize") {
            s.options.float_resize = true;
        } else if (arg == "--batch") {
            s.batch = true;
        } else if (arg == "--torch") {
            s.torch = true;
        } else if (arg == "-q" || arg == "--quiet") {
            s.quiet = true;
        } else if (arg == "--") {
            s.inputs.insert(s.inputs.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage_error("unknown option " + arg);
        } else {
            s.inputs.push_back(arg);
        }
    }
    if (crop_given && s.options.resize_short == 0) usage_error("--crop needs --resize");
    if (size_given && s.options.resize_short > 0) usage_error("--size and --resize exclude each other");
    if (s.inputs.empty()) usage_error("no input files");
    return s;
}

// ---- inputs and outputs ----------------------------------------------------------

bool is_image_name(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".ppm" || ext == ".pgm" || ext == ".pnm";
}

// Files as given; folders become their image files, recursively, in name order.
std::vector<std::string> expand_inputs(const std::vector<std::string>& inputs, int& failures) {
    std::vector<std::string> files;
    for (const std::string& input : inputs) {
        std::error_code ec;
        if (!fs::is_directory(input, ec)) {
            files.push_back(input);
            continue;
        }
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator it(input, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec) && is_image_name(it->path())) found.push_back(it->path().string());
        if (ec) {
            std::fprintf(stderr, "zv-prep: %s: cannot list folder: %s\n", input.c_str(), ec.message().c_str());
            ++failures;
        } else if (found.empty()) {
            std::fprintf(stderr, "zv-prep: %s: no PNG, JPEG or PPM files in this folder\n", input.c_str());
            ++failures;
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

// ---- progress and timing -------------------------------------------------------

class Progress {
public:
    Progress(size_t total, bool show) : total_(total), show_(show && total > 1 && ::isatty(STDERR_FILENO)) {}

    void update(size_t done, const std::string& file) {
        if (!show_) return;
        constexpr int width = 30;
        const int filled = static_cast<int>(width * done / total_);
        std::string name = fs::path(file).filename().string();
        if (name.size() > 30) name = name.substr(0, 27) + "...";
        std::fprintf(stderr, "\r\033[K[%s%s] %zu/%zu %s", std::string(filled, '#').c_str(),
                     std::string(width - filled, '.').c_str(), done, total_, name.c_str());
        std::fflush(stderr);
    }

    // Before a message, and at the end: an empty line again.
    void clear() {
        if (show_) std::fputs("\r\033[K", stderr);
    }

private:
    size_t total_;
    bool show_;
};

enum Step { step_read, step_decode, step_write, step_count };
const char* const kStepNames[step_count] = {"read file", "decode", "write .npy"};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string format_time(double seconds) {
    char text[32];
    if (seconds >= 1.0) std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (seconds >= 1e-3) std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    else std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
    return text;
}

struct Totals {
    double prepare[stage_count] = {};
    double io[step_count] = {};
    size_t done = 0;
    size_t failed = 0;
};

void print_summary(const Totals& t, size_t inputs, double wall) {
    double kernels = 0;
    for (double s : t.prepare) kernels += s;
    std::printf("prepared %zu of %zu image%s in %s: %.1f images/s", t.done, inputs, inputs == 1 ? "" : "s",
                format_time(wall).c_str(), wall > 0 ? t.done / wall : 0.0);
    if (t.done > 0 && kernels > 0)
        std::printf("; preparation alone (decoded image to tensor) %s per image, %.0f images/s",
                    format_time(kernels / t.done).c_str(), t.done / kernels);
    std::printf("\n  %-16s %12s %12s\n", "stage", "total", "per image");
    const auto row = [&](const char* name, double s) {
        std::printf("  %-16s %12s %12s\n", name, format_time(s).c_str(),
                    format_time(t.done > 0 ? s / t.done : 0).c_str());
    };
    row(kStepNames[step_read], t.io[step_read]);
    row(kStepNames[step_decode], t.io[step_decode]);
    for (int s = 0; s < stage_count; ++s) row(kStageNames[s], t.prepare[s]);
    row(kStepNames[step_write], t.io[step_write]);
}

// ---- the job -----------------------------------------------------------------------

class Job {
public:
    explicit Job(const Settings& s) : s_(s), preparer_(s.options) {}

    int run() {
        const auto t0 = std::chrono::steady_clock::now();
        int failures = 0;
        const std::vector<std::string> files = expand_inputs(s_.inputs, failures);
        std::error_code ec;
        fs::create_directories(s_.out, ec);
        if (!fs::is_directory(s_.out)) {
            std::fprintf(stderr, "zv-prep: %s: cannot create the output folder: %s\n", s_.out.c_str(),
                         ec ? ec.message().c_str() : "not a folder");
            return 2;
        }
        Progress progress(files.size(), !s_.quiet);
        for (size_t i = 0; i < files.size(); ++i) {
            progress.update(i, files[i]);
            std::string error;
            if (!prepare_one(files[i], error)) {
                progress.clear();
                std::fprintf(stderr, "zv-prep: %s: %s\n", files[i].c_str(), error.c_str());
                ++totals_.failed;
            }
        }
        progress.update(files.size(), "");
        progress.clear();
        if (s_.batch) finish_batch();
        if (!s_.quiet) print_summary(totals_, files.size(), seconds_since(t0));
        bool ok = failures == 0 && totals_.failed == 0;
        if (s_.torch && !written_.empty()) ok = report_in_torch(written_) && ok;
        return ok ? 0 : 1;
    }

private:
    bool prepare_one(const std::string& file, std::string& error) {
        auto t = std::chrono::steady_clock::now();
        const auto lap = [&](Step step) {
            totals_.io[step] += seconds_since(t);
            t = std::chrono::steady_clock::now();
        };
        const std::string target = output_for(file, error);
        if (target.empty()) return false;
        if (!read_file(file, bytes_, error)) return false;
        lap(step_read);
        if (!decode_image(bytes_, image_, error)) return false;
        lap(step_decode);
        const Geometry g = preparer_.geometry(image_);
        if (g.resize_w * g.resize_h > kMaxSide * kMaxSide) {
            error = "resized image too large (" + std::to_string(g.resize_w) + "x" + std::to_string(g.resize_h) + ")";
            return false;
        }
        tensor_.resize(static_cast<size_t>(3) * g.out_w * g.out_h);
        if (int rc = preparer_.prepare(image_, tensor_.data(), totals_.prepare)) {
            error = "the library refused the image (result " + std::to_string(rc) + ")";
            return false;
        }
        const std::vector<long> shape = {3, g.out_h, g.out_w};
        t = std::chrono::steady_clock::now();
        if (!(s_.batch ? append_to_batch(file, shape, error) : write_npy(target, shape, tensor_.data(), error)))
            return false;
        lap(step_write);
        if (!s_.batch) {
            written_.push_back(target);
            written_by_.emplace(fs::path(target).filename().string(), file);
        }
        ++totals_.done;
        return true;
    }

    // OUT/NAME.npy; two inputs of the same name would overwrite each other.
    std::string output_for(const std::string& file, std::string& error) const {
        if (s_.batch) return s_.out + "/batch.npy";
        const std::string name = fs::path(file).stem().string() + ".npy";
        const auto taken = written_by_.find(name);
        if (taken == written_by_.end()) return (fs::path(s_.out) / name).string();
        error = "its output " + name + " was already written for " + taken->second + "; skipped";
        return {};
    }

    bool append_to_batch(const std::string& file, const std::vector<long>& shape, std::string& error) {
        if (batch_shape_.empty()) {
            batch_shape_ = shape;
            if (!batch_.open(s_.out + "/batch.npy", error) ||
                !batch_.write(npy_header({0, 3, 1, 1}, kNpyReserved).data(), kNpyReserved, error))
                return false;
        } else if (shape != batch_shape_) {
            error = "its tensor is " + std::to_string(shape[2]) + "x" + std::to_string(shape[1]) +
                    ", the batch's " + std::to_string(batch_shape_[2]) + "x" + std::to_string(batch_shape_[1]) +
                    " (use --crop or --size)";
            return false;
        }
        if (!batch_.write(tensor_.data(), tensor_.size() * sizeof(float), error)) return false;
        batch_list_ += file + "\n";
        ++batch_count_;
        return true;
    }

    void finish_batch() {
        if (batch_count_ == 0) return;
        std::string error;
        const std::vector<long> shape = {batch_count_, batch_shape_[0], batch_shape_[1], batch_shape_[2]};
        AtomicFile list;
        const std::string list_path = s_.out + "/batch.txt";
        if (batch_.write_at_start(npy_header(shape, kNpyReserved), error) && batch_.commit(error) &&
            list.open(list_path, error) && list.write(batch_list_.data(), batch_list_.size(), error) &&
            list.commit(error)) {
            written_.push_back(s_.out + "/batch.npy");
            return;
        }
        std::fprintf(stderr, "zv-prep: %s/batch.npy: %s\n", s_.out.c_str(), error.c_str());
        ++totals_.failed;
    }

    const Settings& s_;
    Preparer preparer_;
    Totals totals_;
    std::vector<unsigned char> bytes_;
    Image image_;
    std::vector<float> tensor_;
    std::map<std::string, std::string> written_by_;  // output name -> input file
    std::vector<std::string> written_;
    AtomicFile batch_;
    std::vector<long> batch_shape_;
    long batch_count_ = 0;
    std::string batch_list_;
};

}  // namespace

int main(int argc, char** argv) {
    const Settings settings = parse_arguments(argc, argv);
    // The library's conversion and normalisation run on the OpenMP team.  On
    // a tensor of 224x224 a team costs more to wake than it saves, and on a
    // busy machine far more, so one thread unless OMP_NUM_THREADS says otherwise.
    if (std::getenv("OMP_NUM_THREADS") == nullptr) omp_set_num_threads(1);
    return Job(settings).run();
}
