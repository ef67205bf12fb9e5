#include "app/unhandled_error.h"

#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <stdexcept>

#include "app/flashkit_application.h"
#include "app/startup.h"
#include "window_fixture.h"

namespace {

using fk::platform::MessageButtons;
using fk::platform::MessageIcon;

// Throws whatever it is told to when it receives a user event.
class Thrower : public QObject {
  public:
    enum class What { StdError, Other };
    bool event(QEvent* event) override {
        if (event->type() != QEvent::User) return QObject::event(event);
        if (what == What::StdError) throw std::runtime_error("Access violation at address 0");
        throw 42;
    }
    What what = What::StdError;
};

// Routes the application's error boxes to a fake for one test.
class UnhandledErrorTest : public WindowTest {
  protected:
    void SetUp() override { App().SetErrorBoxes(&boxes); }
    void TearDown() override { App().SetErrorBoxes(nullptr); }
    static fk::FlashKitApplication& App() {
        return *static_cast<fk::FlashKitApplication*>(QCoreApplication::instance());
    }
};

void ExpectErrorBox(const fk::testing::ShownMessage& shown, const std::string& text) {
    EXPECT_EQ(shown.text, text);
    EXPECT_EQ(shown.caption, "FlashKit V1.3.13.25");
    EXPECT_EQ(shown.icon, MessageIcon::Stop);
    EXPECT_EQ(shown.buttons, MessageButtons::Ok);
}

}  // namespace

TEST_F(UnhandledErrorTest, ErrorEscapingAnEventIsShownAndTheLoopGoesOn) {
    Thrower standard;
    Thrower other;
    other.what = Thrower::What::Other;
    QCoreApplication::postEvent(&standard, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&other, new QEvent(QEvent::User));
    bool laterEventRan = false;
    QTimer::singleShot(0, [&] { laterEventRan = true; });

    EXPECT_TRUE(QTest::qWaitFor([&] { return laterEventRan; }, 2000));
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 2u);
    ExpectErrorBox(shown[0], "Access violation at address 0");
    ExpectErrorBox(shown[1], "Unknown error");
}

TEST_F(UnhandledErrorTest, StandardErrorShowsItsMessage) {
    Thrower thrower;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &event);
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], "Access violation at address 0");
}

TEST_F(UnhandledErrorTest, ErrorOnAnotherThreadIsShownByTheGuiThread) {
    QThread thread;
    auto* thrower = new Thrower;
    thrower->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, thrower, &QObject::deleteLater);
    thread.start();
    QCoreApplication::postEvent(thrower, new QEvent(QEvent::User));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !boxes.Shown().empty(); }, 5000));
    thread.quit();
    thread.wait();
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    ExpectErrorBox(shown[0], "Access violation at address 0");
}

TEST_F(UnhandledErrorTest, GuardedHandlerErrorIsShownAndTheCallerGoesOn) {
    QPushButton button;
    int clicks = 0;
    QObject::connect(&button, &QPushButton::clicked, [&] {
        fk::RunGuarded(&boxes, [&] {
            ++clicks;
            throw std::runtime_error("Invalid floating point operation");
        });
    });
    button.click();
    button.click();
    EXPECT_EQ(clicks, 2);
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 2u);
    ExpectErrorBox(shown[1], "Invalid floating point operation");
}

TEST_F(UnhandledErrorTest, ErrorWithoutABoxServiceIsNotFatal) {
    fk::RunGuarded(nullptr, [] { throw std::logic_error("no boxes here"); });
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(UnhandledErrorTest, StartAndShutDownRunQuietlyWhenNothingFails) {
    auto window = fk::CreateMainWindow(Services());
    ASSERT_NE(window, nullptr);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    fk::DestroyMainWindow(std::move(window));
    fk::DestroyMainWindow(nullptr);
    EXPECT_TRUE(boxes.Shown().empty());
}
