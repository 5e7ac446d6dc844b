// Items 0 .. count-1 worked on by several threads and finished in their order.
#ifndef ZV_PREP_ORDERED_WORK_H
#define ZV_PREP_ORDERED_WORK_H

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace zvprep {

// Threads claim items one at a time, work on them in any order, and each
// finished item is handed to `finish` in item order, by one thread at a time
// (whichever holds the next item when it is done).  At most `window` items are
// claimed and not yet finished, so that what they hold stays bounded however
// many items there are: an item may keep its result in slot(item) until it is
// finished, and that slot is not handed out again before.
template <class Slot>
class OrderedWork {
public:
    OrderedWork(size_t count, size_t window) : count_(count), slots_(window < 1 ? 1 : window) {}

    Slot& slot(size_t item) { return slots_[item % slots_.size()]; }

    // Runs on each thread: claims items, calls work(item, slot) for each, and
    // calls finish(item, slot) for every item whose turn has come.  Returns
    // once no item is left to claim and this thread has nothing to finish.
    template <class Work, class Finish>
    void serve(Work&& work, Finish&& finish) {
        for (;;) {
            size_t item;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                window_open_.wait(lock, [&] { return next_ >= count_ || next_ < finished_ + slots_.size(); });
                if (next_ >= count_) return;
                item = next_++;
            }
            work(item, slot(item));
            std::unique_lock<std::mutex> lock(mutex_);
            done_.push_back(item);
            if (finishing_) continue;  // that thread takes this one too when its turn comes
            finishing_ = true;
            for (;;) {
                const size_t at = find_done(finished_);
                if (at == done_.size()) break;
                done_[at] = done_.back();
                done_.pop_back();
                lock.unlock();
                finish(finished_, slot(finished_));
                lock.lock();
                ++finished_;
                window_open_.notify_all();
            }
            finishing_ = false;
        }
    }

private:
    size_t find_done(size_t item) const {
        size_t at = 0;
        while (at < done_.size() && done_[at] != item) ++at;
        return at;
    }

    const size_t count_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable window_open_;
    size_t next_ = 0;      // the next item to claim
    size_t finished_ = 0;  // items before it are finished
    bool finishing_ = false;
    std::vector<size_t> done_;  // worked on, not yet finished
};

}  // namespace zvprep

#endif  // ZV_PREP_ORDERED_WORK_H
