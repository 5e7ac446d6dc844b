#include "pending.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace zvprep {
namespace {

// A slot is free, claimed (its path being written, not to be read) or armed
// (the path names a file that exists).  Lock-free atomics: safe in a handler.
enum SlotState : int { slot_free, slot_claimed, slot_armed };

struct Slot {
    std::atomic<int> state{slot_free};
    char path[PATH_MAX];
};

// One for each worker's file (zv-prep's --jobs is at most 256), and the batch pair.
constexpr int kSlots = 512;
Slot g_slots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");

const int kWatched[] = {SIGHUP, SIGINT, SIGTERM};

// A handler may run on one thread while others are creating files: each
// creation counts itself in `g_creating` first and then checks `g_dying`, and
// the handler sets `g_dying` first and then waits for `g_creating` to fall to
// zero, so that (sequentially consistent atomics) every file is either armed
// before the handler reads the slots or never created.  A thread blocks the
// signals while it creates, so the handler never waits for its own thread.
std::atomic<int> g_creating{0};
std::atomic<bool> g_dying{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets the flag");

extern "C" void remove_pending_and_die(int signal) {
    g_dying.store(true);
    while (g_creating.load() > 0) {
    }
    for (Slot& slot : g_slots)
        if (slot.state.load(std::memory_order_acquire) == slot_armed) ::unlink(slot.path);
    // SA_RESETHAND restored the default action; the signal is blocked until we return.
    ::raise(signal);
}

sigset_t watched_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kWatched) sigaddset(&set, signal);
    return set;
}

}  // namespace

void watch_signals() {
    static const bool installed = [] {
        for (int signal : kWatched) {
            struct sigaction old {};
            if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
            struct sigaction action {};
            action.sa_handler = remove_pending_and_die;
            action.sa_flags = SA_RESETHAND;
            sigfillset(&action.sa_mask);
            ::sigaction(signal, &action, nullptr);
        }
        std::signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    (void)installed;
}

int PendingFile::create(const std::string& folder) {
    release();
    static const char kName[] = ".zv-prep.XXXXXX";
    if (folder.size() + sizeof kName > PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int i = 0; i < kSlots && slot_ < 0; ++i) {
        int expected = slot_free;
        if (g_slots[i].state.compare_exchange_strong(expected, slot_claimed)) slot_ = i;
    }
    if (slot_ < 0) {
        errno = EMFILE;
        return -1;
    }
    Slot& slot = g_slots[slot_];
    std::memcpy(slot.path, folder.data(), folder.size());
    std::memcpy(slot.path + folder.size(), kName, sizeof kName);
    // No signal on this thread between creating the file and arming its slot,
    // and none handled on another before it is armed (see g_creating).
    const sigset_t watched = watched_set();
    sigset_t old;
    ::pthread_sigmask(SIG_BLOCK, &watched, &old);
    g_creating.fetch_add(1);
    if (g_dying.load()) {  // the program is ending by a signal: create nothing more
        g_creating.fetch_sub(1);
        for (;;) ::pause();
    }
    const int fd = ::mkostemp(slot.path, O_CLOEXEC);
    const int saved = errno;
    slot.state.store(fd >= 0 ? slot_armed : slot_claimed, std::memory_order_release);
    g_creating.fetch_sub(1);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) {
        release();
        errno = saved;
    }
    return fd;
}

const char* PendingFile::path() const { return slot_ >= 0 ? g_slots[slot_].path : ""; }

void PendingFile::release() {
    if (slot_ >= 0) g_slots[slot_].state.store(slot_free, std::memory_order_release);
    slot_ = -1;
}

}  // namespace zvprep
