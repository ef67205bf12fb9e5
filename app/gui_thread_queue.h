#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

// Changes handed from any thread to the thread this object lives on, run there in the order
// they were handed in. The changes wait in a queue of our own under a std::mutex, and the posted
// event only wakes the receiving thread: the hand-off of each change is then ordered by a lock
// every thread checker sees, not only by the toolkit's internal locking.
class GuiThreadQueue final : public QObject {
  public:
    explicit GuiThreadQueue(QObject* parent) : QObject(parent) {}

    void Post(std::function<void()> change);
    // On the owning thread: runs every change waiting, oldest first. Called from inside a change
    // it returns at once: the changes after the running one stay after it.
    void RunWaiting();

  protected:
    void customEvent(QEvent* event) override;

  private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_waiting;
    bool m_running = false;  // the owning thread's own
};
