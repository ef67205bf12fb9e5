#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace fk::window {

// Changes handed from any thread to a window's thread, run there in the order they were handed
// in. The changes wait here under a std::mutex, and the toolkit's posted message only wakes the
// window's thread: the hand-off of each change is then ordered by a lock every thread checker
// sees, not only by the toolkit's internal locking.
class ChangeQueue {
  public:
    struct Pushed {
        // The queue's lock, still held: a wake-up posted under it is made before the change runs.
        std::unique_lock<std::mutex> lock;
        // The change is the first waiting, so the caller wakes the window's thread. One wake-up
        // per batch: while changes wait, a wake-up is on its way or RunWaiting is emptying the
        // queue, and either runs this one too.
        bool first = false;
    };

    // Any thread.
    [[nodiscard]] Pushed Push(std::function<void()> change);
    // On the window's thread: runs every change waiting, oldest first. Called from inside a change
    // it returns at once: the changes after the running one stay after it.
    void RunWaiting();

  private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_waiting;
    bool m_running = false;  // the window thread's own
};

}  // namespace fk::window
