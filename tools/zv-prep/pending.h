// Temporary files that a signal must not leave behind.
#ifndef ZV_PREP_PENDING_H
#define ZV_PREP_PENDING_H

#include <string>

namespace zvprep {

// Installs, once, handlers for SIGHUP, SIGINT and SIGTERM (each unless it was
// ignored when the program started, as under nohup) that remove every pending
// temporary file and then end the program by the same signal.  SIGXFSZ is
// ignored: an exceeded file-size limit becomes a write error of that file.
void watch_signals();

// A temporary file in a fixed table that the handlers read: any number of
// threads may hold one each, up to 512 at a time.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { release(); }

    // Creates a new empty file ".zv-prep.XXXXXX" in `folder` (empty: the
    // current one; otherwise ending in '/'), whatever the final name's length.
    // Returns its descriptor, or -1 with errno set.
    int create(const std::string& folder);
    const char* path() const;
    // The file is no longer the handlers' to remove (renamed, or removed).
    void release();

private:
    int slot_ = -1;
};

}  // namespace zvprep

#endif  // ZV_PREP_PENDING_H
