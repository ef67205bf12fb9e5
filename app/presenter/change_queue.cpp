#include "app/presenter/change_queue.h"

namespace fk::window {

ChangeQueue::Pushed ChangeQueue::Push(std::function<void()> change) {
    std::unique_lock lock(m_mutex);
    const bool first = m_waiting.empty();
    m_waiting.push_back(std::move(change));
    return {std::move(lock), first};
}

void ChangeQueue::RunWaiting() {
    if (m_running) return;
    m_running = true;
    const struct Done {
        bool& running;
        ~Done() { running = false; }
    } done{m_running};
    for (;;) {
        std::function<void()> change;
        {
            std::lock_guard lock(m_mutex);
            if (m_waiting.empty()) return;
            change = std::move(m_waiting.front());
            m_waiting.pop_front();
        }
        // Run unlocked: a change may hand in more changes.
        change();
    }
}

}  // namespace fk::window
