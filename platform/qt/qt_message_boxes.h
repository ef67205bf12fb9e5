#pragma once

#include <QMessageBox>
#include <QPointer>
#include <vector>

#include "platform/message_box.h"

namespace fk::platform {

// QMessageBox with the window's application title where no caption is given. A box that does
// not wait is not shown again while one with the same text and title is still open: a worker
// that meets the same fault at every retry would otherwise stack a box per retry.
class QtMessageBoxes final : public MessageBoxes {
  public:
    // The window every box belongs to, whether or not it has the focus: a box of its own would
    // be a window of its own, which keeps the event loop running after the owner is closed.
    // Until one is set, or once it is gone, a box belongs to the active window, if any.
    void SetOwner(QWidget* owner) { m_owner = owner; }

    MessageAnswer Show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override;
    void ShowWithoutWaiting(const std::string& text, const std::string& caption,
                            MessageIcon icon) override;

  private:
    QWidget* Owner() const;

    QPointer<QWidget> m_owner;
    std::vector<QPointer<QMessageBox>> m_openBoxes;  // shown without waiting, maybe closed since
};

}  // namespace fk::platform
