// The resize planner's threads (see zv_pt/resize.hpp).
#ifndef ZV_PT_RESIZE_TEAM_HPP
#define ZV_PT_RESIZE_TEAM_HPP

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zvt {
namespace resize {

namespace detail {

// Threads that run one job together: job(t) for t = 0 .. size() - 1, t = 0 on
// the calling thread.  Between runs the other threads wait, first spinning
// for a moment (a resize called frame after frame hands them the next job
// without the scheduler's delay), then asleep.
class Team {
public:
    explicit Team(int threads) {
        for (int t = 1; t < threads; ++t) workers_.emplace_back([this, t] { serve(t); });
    }

    ~Team() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            generation_.fetch_add(1);
        }
        start_.notify_all();
        for (std::thread& w : workers_) w.join();
    }

    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    void run(const std::function<void(int)>& job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = &job;
            pending_.store(size() - 1);
            generation_.fetch_add(1);
        }
        start_.notify_all();
        job(0);
        if (!spin_until([this] { return pending_.load() == 0; })) {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return pending_.load() == 0; });
        }
    }

private:
    // True when ready() held within the spin; false: the caller blocks.
    template <class Ready>
    static bool spin_until(Ready ready) {
        for (int k = 0; k < kSpins; ++k) {
            if (ready()) return true;
            if (k % 64 == 63) std::this_thread::yield();
        }
        return ready();
    }

    void serve(int t) {
        long seen = 0;
        for (;;) {
            if (!spin_until([&] { return generation_.load() != seen; })) {
                std::unique_lock<std::mutex> lock(mutex_);
                start_.wait(lock, [&] { return generation_.load() != seen; });
            }
            const std::function<void(int)>* job;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
                seen = generation_.load();
                job = job_;
            }
            (*job)(t);
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.fetch_sub(1) == 1) done_.notify_one();
        }
    }

    static constexpr int kSpins = 1 << 14;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable start_, done_;
    const std::function<void(int)>* job_ = nullptr;
    std::atomic<long> generation_{0};
    std::atomic<int> pending_{0};
    bool stop_ = false;
};

// The lines [lo, hi) of a run's work (the planes' lines one after another)
// that are left of one thread's share: the thread takes them from the front;
// where the bands are independent, a thread done with its own share takes
// the others' from the back, so that a thread that starts late (woken from
// sleep, say) leaves more of its share to the others.
struct Share {
    std::mutex mutex;
    long lo = 0, hi = 0;

    // The next lines to run as [*from, *to), at most `band` of them and within
    // one plane of `plane_lines`; with `halve`, half of what is left once less
    // than two bands are, so that the two ends finish together.  False when
    // none are left.
    bool take(bool front, long band, long plane_lines, bool halve, long* from, long* to) {
        std::lock_guard<std::mutex> lock(mutex);
        const long left = hi - lo;
        if (left <= 0) return false;
        const long size = halve && left < 2 * band ? (left + 1) / 2 : std::min(band, left);
        if (front) {
            *from = lo;
            *to = lo = std::min(lo + size, (lo / plane_lines + 1) * plane_lines);
        } else {
            *to = hi;
            *from = hi = std::max(hi - size, (hi - 1) / plane_lines * plane_lines);
        }
        return true;
    }
};

}  // namespace detail

}  // namespace resize
}  // namespace zvt

#endif  // ZV_PT_RESIZE_TEAM_HPP
