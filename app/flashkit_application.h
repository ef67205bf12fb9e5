#pragma once

#include <QApplication>
#include <atomic>

#include "platform/qt/qt_message_boxes.h"

namespace fk {

// The application object. An error that escapes the delivery of an event is shown in a stop
// box titled with the application title, and the event loop goes on.
class FlashKitApplication : public QApplication {
  public:
    FlashKitApplication(int& argc, char** argv);

    // Where those boxes go; the toolkit's own boxes until set (tests hand in a fake).
    void SetErrorBoxes(platform::MessageBoxes* boxes);

    bool notify(QObject* receiver, QEvent* event) override;

  private:
    platform::QtMessageBoxes m_ownBoxes;
    std::atomic<platform::MessageBoxes*> m_errorBoxes;
};

}  // namespace fk
