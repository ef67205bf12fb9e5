#include "app/flashkit_application.h"

#include <QThread>

#include "app/unhandled_error.h"

namespace fk {

FlashKitApplication::FlashKitApplication(int& argc, char** argv)
    : QApplication(argc, argv), m_errorBoxes(&m_ownBoxes) {}

void FlashKitApplication::SetErrorBoxes(platform::MessageBoxes* boxes) {
    m_errorBoxes = boxes ? boxes : &m_ownBoxes;
}

bool FlashKitApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        auto* boxes = m_errorBoxes.load();
        auto error = std::current_exception();
        if (QThread::currentThread() == thread()) {
            ReportUnhandledError(boxes, error);
        } else {
            // Boxes belong to the GUI thread; the failing thread must not wait for the operator.
            QMetaObject::invokeMethod(
                this, [boxes, error] { ReportUnhandledError(boxes, error); }, Qt::QueuedConnection);
        }
        return false;
    }
}

}  // namespace fk
