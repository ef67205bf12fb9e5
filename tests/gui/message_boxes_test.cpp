#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <thread>
#include <vector>

#include "app/flashkit_application.h"
#include "app/gui_thread_queue.h"
#include "app/startup.h"
#include "platform/qt/qt_message_boxes.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

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

// A worker's box raised while FlashKit is not the active window still belongs to the main
// window: closing the main window ends the event loop, and the box goes with the window.
TEST(QtMessageBoxesOwner, ClosingTheMainWindowEndsTheLoopWithAWorkersBoxUpAndNoFocus) {
    CloseAll();
    QtMessageBoxes boxes;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound sound;
    fk::testing::FakeAdapterSource adapters;
    fk::testing::FakeTcpipConfig tcpipConfig;
    fk::testing::FakeNeighbourTable neighbours;
    QWidget* boxParent = nullptr;
    bool gaveUp = false;
    QTimer::singleShot(0, [&] {
        TKVUpgradeFrm* window = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<TKVUpgradeFrm*>(widget)) window = found;
        }
        ASSERT_NE(window, nullptr);
        std::thread([&] {
            window->ShowMessageFromWorker(QStringLiteral("Image file open error"),
                                          QStringLiteral("File open error"),
                                          fk::platform::MessageIcon::Stop);
        }).join();
        QApplication::setActiveWindow(nullptr);
        ASSERT_EQ(QApplication::activeWindow(), nullptr);
        QCoreApplication::sendPostedEvents(window->findChild<GuiThreadQueue*>(), QEvent::User);
        QTimer::singleShot(50, [&boxParent, window] {
            const auto open = OpenBoxes();
            if (open.size() == 1) boxParent = open[0]->parentWidget();
            window->close();
        });
    });
    QTimer::singleShot(5000, [&] {
        gaveUp = true;
        QApplication::quit();
    });
    auto& app = *static_cast<fk::FlashKitApplication*>(QCoreApplication::instance());
    fk::RunFlashKit(app, {boxes, dialogs, sound, adapters, tcpipConfig, neighbours}, &boxes);
    app.SetErrorBoxes(nullptr);
    EXPECT_FALSE(gaveUp);
    EXPECT_NE(boxParent, nullptr);
    EXPECT_TRUE(OpenBoxes().empty());
}
