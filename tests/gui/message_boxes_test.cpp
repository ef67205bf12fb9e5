#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <vector>

#include "platform/qt/qt_message_boxes.h"

namespace {

using fk::platform::MessageIcon;
using fk::platform::QtMessageBoxes;

std::vector<QMessageBox*> OpenBoxes() {
    std::vector<QMessageBox*> open;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible()) open.push_back(box);
    }
    return open;
}

std::size_t OpenWithText(const QString& text) {
    const auto open = OpenBoxes();
    return static_cast<std::size_t>(std::count_if(
        open.begin(), open.end(), [&](QMessageBox* box) { return box->text() == text; }));
}

void CloseAll() {
    for (QMessageBox* box : OpenBoxes()) box->close();
    QTest::qWait(0);
}

// A recorder that retries into the same file error raises the same box at every
// acknowledgement: one stays open until the operator closes it, other texts still get theirs.
TEST(QtMessageBoxesWithoutWaiting, AnIdenticalBoxIsNotStackedWhileOneIsOpen) {
    CloseAll();
    QtMessageBoxes boxes;
    const std::string error = "File (/images/fw.bin) Open Error (Error Code = 2)";
    for (int n = 0; n < 5; ++n) boxes.ShowWithoutWaiting(error, "", MessageIcon::None);
    EXPECT_EQ(OpenBoxes().size(), 1u);

    boxes.ShowWithoutWaiting("Image file open error", "File open error", MessageIcon::Stop);
    boxes.ShowWithoutWaiting(error, "Another caption", MessageIcon::None);
    EXPECT_EQ(OpenBoxes().size(), 3u);
    EXPECT_EQ(OpenWithText(QString::fromStdString(error)), 2u);

    // Closed by the operator: the next occurrence is shown again.
    for (QMessageBox* box : OpenBoxes()) {
        if (box->text() == QString::fromStdString(error) && box->windowTitle() != "Another caption")
            box->close();
    }
    QTest::qWait(0);
    EXPECT_EQ(OpenWithText(QString::fromStdString(error)), 1u);
    boxes.ShowWithoutWaiting(error, "", MessageIcon::None);
    boxes.ShowWithoutWaiting(error, "", MessageIcon::None);
    EXPECT_EQ(OpenWithText(QString::fromStdString(error)), 2u);
    CloseAll();
}

// File names are shown exactly as they are: nothing in them is taken for markup or an entity.
TEST(QtMessageBoxesWithoutWaiting, ShowTheirTextAsPlainText) {
    CloseAll();
    QtMessageBoxes boxes;
    const std::string text = "File (/home/op/<b>new/a&lt;b.bin) Open Error (Error Code = 2)";
    boxes.ShowWithoutWaiting(text, "", MessageIcon::None);
    const auto open = OpenBoxes();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]->textFormat(), Qt::PlainText);
    EXPECT_EQ(open[0]->text(), QString::fromStdString(text));
    CloseAll();
}

}  // namespace
