#include "platform/qt/qt_message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <algorithm>

namespace fk::platform {

namespace {

QString TitleFor(const std::string& caption) {
    return caption.empty() ? QApplication::applicationName() : QString::fromStdString(caption);
}

void Prepare(QMessageBox& box, const std::string& text, const std::string& caption,
             MessageIcon icon) {
    box.setWindowTitle(TitleFor(caption));
    // File names and system texts are shown as they are: "<b>" or "&lt;" in a path is no markup.
    box.setTextFormat(Qt::PlainText);
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

QWidget* QtMessageBoxes::Owner() const {
    return m_owner ? m_owner.data() : QApplication::activeWindow();
}

MessageAnswer QtMessageBoxes::Show(const std::string& text, const std::string& caption,
                                   MessageIcon icon, MessageButtons buttons) {
    QMessageBox box(Owner());
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
    std::erase_if(m_openBoxes, [](const QPointer<QMessageBox>& open) {
        return open.isNull() || !open->isVisible();
    });
    const QString shownText = QString::fromStdString(text);
    const QString shownTitle = TitleFor(caption);
    const bool alreadyOpen =
        std::any_of(m_openBoxes.begin(), m_openBoxes.end(), [&](const QPointer<QMessageBox>& open) {
            return open->text() == shownText && open->windowTitle() == shownTitle;
        });
    if (alreadyOpen) return;
    auto* box = new QMessageBox(Owner());
    m_openBoxes.emplace_back(box);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    Prepare(*box, text, caption, icon);
    box->setStandardButtons(QMessageBox::Ok);
    box->show();
}

}  // namespace fk::platform
