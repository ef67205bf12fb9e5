#pragma once

#include "platform/message_box.h"

namespace fk::platform {

// QMessageBox with the window's application title where no caption is given.
class QtMessageBoxes final : public MessageBoxes {
  public:
    MessageAnswer Show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override;
    void ShowWithoutWaiting(const std::string& text, const std::string& caption,
                            MessageIcon icon) override;
};

}  // namespace fk::platform
