#include "inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <utility>

#include <sys/stat.h>

#include "messages.h"

namespace fs = std::filesystem;

namespace zvprep {
namespace {

bool is_image_name(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".ppm" || ext == ".pgm" || ext == ".pnm";
}

std::string npy_for(const fs::path& relative) { return fs::path(relative).replace_extension(".npy").string(); }

class FolderWalk {
public:
    FolderWalk(std::vector<Input>& found, int& failures) : found_(found), failures_(failures) {}

    void walk(const fs::path& folder, const fs::path& relative) {
        struct stat st;
        if (::stat(folder.c_str(), &st) != 0) return fail(folder, "cannot list folder: " + std::string(std::strerror(errno)));
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        if (std::find(open_.begin(), open_.end(), id) != open_.end())
            return fail(folder, "a symbolic link back into a folder being listed; not followed");
        std::error_code ec;
        std::vector<fs::path> entries;
        fs::directory_iterator it(folder, ec);
        for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
        if (ec) fail(folder, "cannot list folder: " + ec.message());
        std::sort(entries.begin(), entries.end());  // messages in the order of the names
        open_.push_back(id);
        for (const fs::path& entry : entries) visit(entry, relative / entry.filename());
        open_.pop_back();
    }

private:
    void visit(const fs::path& entry, const fs::path& relative) {
        struct stat st;
        if (::stat(entry.c_str(), &st) != 0) {
            const int error = errno;
            struct stat link;
            if (!is_image_name(entry) && error == ENOENT) return;  // not ours: a dangling link, say
            if (::lstat(entry.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                std::error_code ec;
                return fail(entry, "a dangling symbolic link (to " + fs::read_symlink(entry, ec).string() + ")");
            }
            return fail(entry, std::string("cannot read: ") + std::strerror(error));
        }
        if (S_ISDIR(st.st_mode)) return walk(entry, relative);
        if (!is_image_name(entry)) return;
        if (!S_ISREG(st.st_mode)) return fail(entry, "not a regular file (a pipe, socket or device); skipped");
        found_.push_back({entry.string(), npy_for(relative)});
    }

    void fail(const fs::path& path, const std::string& reason) {
        report(path.string(), reason);
        ++failures_;
    }

    std::vector<Input>& found_;
    int& failures_;
    std::vector<std::pair<dev_t, ino_t>> open_;  // the folders from the top one down to this one
};

}  // namespace

std::vector<Input> list_inputs(const std::vector<std::string>& arguments, int& failures) {
    std::vector<Input> inputs;
    for (const std::string& argument : arguments) {
        std::error_code ec;
        if (!fs::is_directory(argument, ec)) {
            inputs.push_back({argument, npy_for(fs::path(argument).filename())});
            continue;
        }
        std::vector<Input> found;
        const int before = failures;
        FolderWalk(found, failures).walk(argument, fs::path());
        if (found.empty() && failures == before) {
            report(argument, "no PNG, JPEG or PPM files in this folder");
            ++failures;
        }
        std::sort(found.begin(), found.end(), [](const Input& a, const Input& b) { return a.path < b.path; });
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    return inputs;
}

std::vector<std::string> find_collisions(const std::vector<Input>& inputs, const std::string& out) {
    std::vector<std::string> problems(inputs.size());
    std::map<std::string, size_t> first;  // output -> the input that has it
    for (size_t i = 0; i < inputs.size(); ++i) {
        const auto [taken, fresh] = first.emplace(inputs[i].output, i);
        if (fresh) continue;
        const fs::path other = inputs[taken->second].path, mine = inputs[i].path;
        const bool side_by_side = other.parent_path() == mine.parent_path();
        problems[i] = "the same output " + (fs::path(out) / inputs[i].output).string() + " as " +
                      printable(other.string()) +
                      (side_by_side ? " (the same name with another extension)" : "") + "; skipped";
    }
    return problems;
}

}  // namespace zvprep
