#include "platform/qt/qt_message_boxes.h"

#include <QApplication>
#include <QMessageBox>

namespace fk::platform {

namespace {

void Prepare(QMessageBox& box, const std::string& text, const std::string& caption,
             MessageIcon icon) {
    box.setWindowTitle(caption.empty() ? QApplication::applicationName()
                                       : QString::fromStdString(caption));
    box.setText(QString::fromStdString(text));
    switch (icon) {
        case MessageIcon::Stop:
            box.setIcon(QMessageBox::Critical);
            break;
        case MessageIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MessageIcon::None:
            break;
    }
}

}  // namespace

MessageAnswer QtMessageBoxes::Show(const std::string& text, const std::string& caption,
                                   MessageIcon icon, MessageButtons buttons) {
    QMessageBox box(QApplication::activeWindow());
    Prepare(box, text, caption, icon);
    if (buttons == MessageButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return MessageAnswer::Ok;
}

void QtMessageBoxes::ShowWithoutWaiting(const std::string& text, const std::string& caption,
                                        MessageIcon icon) {
    auto* box = new QMessageBox(QApplication::activeWindow());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    Prepare(*box, text, caption, icon);
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
}

}  // namespace fk::platform
