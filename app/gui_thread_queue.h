#pragma once

#include <QObject>
#include <functional>

#include "app/presenter/change_queue.h"

// Changes handed from any thread to the thread this object lives on, run there in the order
// they were handed in; a posted event wakes that thread.
class GuiThreadQueue final : public QObject {
  public:
    explicit GuiThreadQueue(QObject* parent) : QObject(parent) {}

    void Post(std::function<void()> change);
    // On the owning thread: runs every change waiting, oldest first (ChangeQueue::RunWaiting).
    void RunWaiting() { m_changes.RunWaiting(); }

  protected:
    void customEvent(QEvent* event) override;

  private:
    fk::window::ChangeQueue m_changes;
};
