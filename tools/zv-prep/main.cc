// zv-prep: images to model-ready tensors with libzv_pt.
//
// Each image is decoded, resized with antialiasing, converted to planar,
// scaled to [0, 1] and normalised per channel, then written as a float32
// NumPy file.  A bad file is reported on one line and skipped; the exit
// status is 0 if every file was prepared, 1 if some failed, 2 for bad options.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "batch.h"
#include "image_io.h"
#include "inputs.h"
#include "messages.h"
#include "npy.h"
#include "options.h"
#include "ordered_work.h"
#include "pending.h"
#include "torch_report.h"
#include "zv_pt/prepare.hpp"

namespace fs = std::filesystem;
using namespace zvprep;
namespace prep = zvt::prepare;

namespace {

// ---- progress and timing -------------------------------------------------------

class Progress {
public:
    Progress(size_t total, bool show) : total_(total), show_(show && total > 1 && ::isatty(STDERR_FILENO)) {}

    void update(size_t done, const std::string& file) {
        if (!show_) return;
        constexpr int width = 30;
        const int filled = static_cast<int>(width * done / total_);
        std::string name = printable(fs::path(file).filename().string());
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

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string format_time(double seconds) {
    char text[32];
    if (seconds >= 1.0) std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (seconds >= 1e-3) std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
    else std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
    return text;
}

// Seconds of work, added up over the workers.
struct Totals {
    prep::StageTimes prepare;
    double io[step_count] = {};
    size_t done = 0;
    size_t failed = 0;

    void add(const Totals& other) {
        prepare.add(other.prepare);
        for (int s = 0; s < step_count; ++s) io[s] += other.io[s];
    }
};

// Wall time and rate of the whole run, then each stage's time added up over
// the workers and per image (the time one image spends there).
void print_summary(const Totals& t, size_t inputs, size_t jobs, double wall) {
    double kernels = 0;
    for (double s : t.prepare.seconds) kernels += s;
    std::printf("prepared %zu of %zu image%s in %s on %zu worker%s: %.1f images/s", t.done, inputs,
                inputs == 1 ? "" : "s", format_time(wall).c_str(), jobs, jobs == 1 ? "" : "s",
                wall > 0 ? t.done / wall : 0.0);
    if (t.done > 0 && kernels > 0)
        std::printf("; preparation alone (decoded image to tensor) %s per image, %.0f images/s a worker",
                    format_time(kernels / t.done).c_str(), t.done / kernels);
    std::printf("\n  %-16s %12s %12s\n", "stage", "all workers", "per image");
    const auto row = [&](const char* name, double s) {
        std::printf("  %-16s %12s %12s\n", name, format_time(s).c_str(),
                    format_time(t.done > 0 ? s / t.done : 0).c_str());
    };
    row(kStepNames[step_read], t.io[step_read]);
    row(kStepNames[step_decode], t.io[step_decode]);
    for (int s = 0; s < prep::stage_count; ++s) row(prep::stage_name(prep::Stage(s)), t.prepare.seconds[s]);
    row(kStepNames[step_write], t.io[step_write]);
}

// ---- one image -------------------------------------------------------------------

// One input's outcome, kept until its turn to be reported (and, with a batch,
// appended) comes.
struct Outcome {
    bool ok = false;
    std::string error;
    std::vector<float> tensor;
    std::vector<long> shape;  // of the tensor: 3, H, W
};

// What one worker thread needs; nothing of it is shared.
struct Worker {
    explicit Worker(const Settings& s) : settings(s), preparer(s.options) {}

    // Frees the buffers after running out of memory, for the next image.
    void release_memory(Outcome& outcome) {
        bytes = {};
        image = {};
        outcome.tensor = {};
    }

    const Settings& settings;
    prep::Preparer preparer;
    std::vector<unsigned char> bytes;
    Image image;
    Totals totals;
};

// The geometry of the tensor of a width x height image, or why it has none.
bool plan_tensor(Worker& w, long width, long height, prep::Geometry& g, std::string& error) {
    try {
        g = w.preparer.geometry(width, height);
    } catch (const std::length_error&) {
        error = "resized image too large (from " + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    if (g.resize_w * g.resize_h > kMaxSide * kMaxSide) {
        error = "resized image too large (" + std::to_string(g.resize_w) + "x" + std::to_string(g.resize_h) + ")";
        return false;
    }
    return true;
}

// --fast-decode: the JPEG scale (1/8, 1/4, 1/2 or 1) that leaves the smallest
// decoded image still at least twice the resized size along both axes.
int dct_scale(long width, long height, const prep::Geometry& g) {
    for (int scale : {8, 4, 2})
        if ((width + scale - 1) / scale >= 2 * g.resize_w && (height + scale - 1) / scale >= 2 * g.resize_h)
            return scale;
    return 1;
}

// Thrown from the decoder's request once the header shows that the image
// cannot be prepared (the reason is in the outcome).
struct Refused {};

// Reads, decodes and prepares `file` into out.tensor and out.shape.  A JPEG
// is asked for the part of it that the tensor depends on only.
bool prepare_image(const std::string& file, Worker& w, Outcome& out) {
    std::string& error = out.error;
    auto t = Clock::now();
    const auto lap = [&](Step step) {
        w.totals.io[step] += seconds_since(t);
        t = Clock::now();
    };
    const long max_pixels = w.settings.max_pixels;
    if (!read_file(file, max_file_bytes(max_pixels), w.bytes, error)) return false;
    lap(step_read);
    prep::Geometry g{};
    prep::Footprint footprint{};
    bool planned = false;
    DecodeRequest request;
    if (w.settings.fast_decode) {
        request.scale = [&](long width, long height) {
            if (!plan_tensor(w, width, height, g, error)) throw Refused{};
            return dct_scale(width, height, g);
        };
    }
    request.region = [&](const Image& header) {
        if (!plan_tensor(w, header.file_width, header.file_height, g, error)) throw Refused{};
        footprint = w.preparer.footprint(header.file_width, header.file_height, header.decoded_width,
                                         header.decoded_height);
        planned = true;
        const zvt::resize::Window& s = footprint.source;
        return Rect{s.x, s.y, s.width, s.height};
    };
    try {
        if (!decode_image(w.bytes.data(), w.bytes.size(), max_pixels, request, w.image, error)) return false;
    } catch (const Refused&) {
        return false;
    }
    lap(step_decode);
    if (!planned) {
        if (!plan_tensor(w, w.image.file_width, w.image.file_height, g, error)) return false;
        footprint = w.preparer.footprint(w.image.file_width, w.image.file_height);
    }
    out.tensor.resize(g.tensor_size());
    out.shape = {3, g.out_h, g.out_w};
    const prep::ImageView part(w.image.rgb.data(), w.image.width, w.image.height);
    if (int rc = w.preparer.run_part(footprint, part, w.image.part.x, w.image.part.y, out.tensor.data(),
                                     &w.totals.prepare)) {
        error = "the library refused the image (result " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

// Writes the tensor as OUT/<input.output>, making the folders it needs.
bool write_tensor(const Input& input, Worker& w, Outcome& out) {
    const fs::path target = fs::path(w.settings.out) / input.output;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        out.error = "cannot create the folder " + target.parent_path().string() + ": " + ec.message();
        return false;
    }
    const auto t = Clock::now();
    if (!write_npy(target.string(), out.shape, out.tensor.data(), out.error)) return false;
    w.totals.io[step_write] += seconds_since(t);
    return true;
}

// A worker's part of one input: prepared and, without a batch, written to its
// own file (a batch takes the tensors in input order, see run()).  Running out
// of memory, or any other exception, fails this image only.
void process(const Input& input, const std::string& collision, Worker& w, Outcome& out) {
    out.ok = false;
    out.error = collision;
    if (!collision.empty()) return;
    if (w.settings.batch && !BatchWriter::name_fits(input.path, out.error)) return;
    try {
        out.ok = prepare_image(input.path, w, out) && (w.settings.batch || write_tensor(input, w, out));
    } catch (const std::bad_alloc&) {
        w.release_memory(out);
        out.error = "out of memory";
    } catch (const std::exception& e) {  // whatever else: this image fails, the run goes on
        out.ok = false;
        out.error = std::string("cannot prepare it: ") + e.what();
    }
}

// ---- the job -----------------------------------------------------------------------

// The inputs spread over s.jobs worker threads, each reading, decoding and
// preparing whole images; what they give is reported, appended to the batch
// and counted in input order, whatever the number of workers.
int run(const Settings& s) {
    const auto t0 = Clock::now();
    watch_signals();
    int failures = 0;
    const std::vector<Input> inputs = list_inputs(s.inputs, failures);
    const std::vector<std::string> collisions =
        s.batch ? std::vector<std::string>(inputs.size()) : find_collisions(inputs, s.out);
    std::error_code ec;
    fs::create_directories(s.out, ec);
    if (!fs::is_directory(s.out)) {
        report(s.out, "cannot create the output folder: " + (ec ? ec.message() : std::string("not a folder")));
        return 2;
    }
    const size_t jobs = std::max<size_t>(1, std::min<size_t>(s.jobs, inputs.size()));
    std::vector<std::unique_ptr<Worker>> workers;
    for (size_t j = 0; j < jobs; ++j) workers.push_back(std::make_unique<Worker>(s));

    BatchWriter batch(s.out);
    std::vector<std::string> written;
    Progress progress(inputs.size(), !s.quiet);
    size_t done = 0, failed = 0;
    // Two images a worker: one being prepared and one waiting for its turn.
    OrderedWork<Outcome> work(inputs.size(), 2 * jobs);
    const auto finish = [&](size_t i, Outcome& out) {
        if (out.ok && s.batch) {
            try {
                out.ok = batch.append(inputs[i].path, out.shape, out.tensor.data(), out.error);
            } catch (const std::bad_alloc&) {
                out.ok = false;
                out.error = "out of memory";
            }
        }
        if (out.ok) {
            ++done;
            if (!s.batch) written.push_back((fs::path(s.out) / inputs[i].output).string());
        } else {
            progress.clear();
            report(inputs[i].path, out.error);
            ++failed;
        }
        progress.update(i + 1, i + 1 < inputs.size() ? inputs[i + 1].path : "");
    };
    const auto serve = [&](Worker& w) {
        work.serve([&](size_t i, Outcome& out) { process(inputs[i], collisions[i], w, out); }, finish);
    };
    progress.update(0, inputs.empty() ? "" : inputs[0].path);
    std::vector<std::thread> threads;
    try {
        for (size_t j = 1; j < jobs; ++j) threads.emplace_back(serve, std::ref(*workers[j]));
    } catch (const std::system_error&) {
        // No more threads to be had: the ones started share the work.
    }
    serve(*workers[0]);
    for (std::thread& t : threads) t.join();
    progress.clear();

    if (s.batch) {
        const auto t = Clock::now();
        std::string error;
        if (!batch.commit(error)) {
            report(batch.npy_path(), error);
            ++failures;
        } else if (batch.count() > 0) {
            written.push_back(batch.npy_path());
        }
        workers[0]->totals.io[step_write] += seconds_since(t);
    }
    Totals totals;
    for (const auto& w : workers) totals.add(w->totals);
    totals.done = done;
    totals.failed = failed;
    if (!s.quiet) print_summary(totals, inputs.size(), threads.size() + 1, seconds_since(t0));
    bool ok = failures == 0 && failed == 0;
    if (s.torch && !written.empty()) ok = report_in_torch(written) && ok;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings = parse_arguments(argc, argv);
    // The library's conversion and normalisation run on the OpenMP team.  On
    // a tensor of 224x224 a team costs more to wake than it saves, and on a
    // busy machine far more; the workers use the cores instead.  So one thread
    // per worker unless OMP_NUM_THREADS says otherwise.
    if (std::getenv("OMP_NUM_THREADS") != nullptr) settings.options.kernel_threads = 0;
    return run(settings);
}
