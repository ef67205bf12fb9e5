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
    MessageAnswer Show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override;
    void ShowWithoutWaiting(const std::string& text, const std::string& caption,
                            MessageIcon icon) override;

  private:
    std::vector<QPointer<QMessageBox>> m_openBoxes;  // shown without waiting, maybe closed since
};

}  // namespace fk::platform
