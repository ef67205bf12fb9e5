#include "app/gui_thread_queue.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type kWake = QEvent::User;

}  // namespace

void GuiThreadQueue::Post(std::function<void()> change) {
    // Posted under the queue's lock: the event is made before the receiver takes the lock to run
    // the change, so even its release on the receiving thread is ordered after its making.
    if (const auto pushed = m_changes.Push(std::move(change)); pushed.first) {
        QCoreApplication::postEvent(this, new QEvent(kWake));
    }
}

void GuiThreadQueue::customEvent(QEvent*) {
    RunWaiting();
}
