#include "app/gui_thread_queue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type kWake = QEvent::User;

}  // namespace

void GuiThreadQueue::Post(std::function<void()> change) {
    std::lock_guard lock(m_mutex);
    const bool wasEmpty = m_waiting.empty();
    m_waiting.push_back(std::move(change));
    // One wake-up per batch: while changes wait, a wake-up is on its way or RunWaiting is
    // emptying the queue, and either runs this one too. Each wake-up is a system call on the
    // posting thread and a turn of the receiving one.
    if (!wasEmpty) return;
    // Posted under the lock: the event is made before the receiver takes the lock to run the
    // change, so even its release on the receiving thread is ordered after its making.
    QCoreApplication::postEvent(this, new QEvent(kWake));
}

void GuiThreadQueue::RunWaiting() {
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

void GuiThreadQueue::customEvent(QEvent*) {
    RunWaiting();
}
