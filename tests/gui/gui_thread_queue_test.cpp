#include "app/gui_thread_queue.h"

#include <gtest/gtest.h>

#include <QEvent>
#include <QTest>
#include <QThread>
#include <thread>
#include <vector>

namespace {

// Counts the wake-ups that reach an object.
class WakeCounter final : public QObject {
  public:
    int wakes = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::User) ++wakes;
        return false;
    }
};

// Changes from a worker run on the queue's thread, in the order handed in, each once; RunWaiting
// runs what waits at once, and the wake-ups it leaves behind run nothing twice. A batch handed in
// while the thread is busy wakes it once.
TEST(GuiThreadQueue, RunsWorkerChangesOnItsOwnThreadInOrderOnce) {
    GuiThreadQueue queue(nullptr);
    WakeCounter counter;
    queue.installEventFilter(&counter);
    std::vector<int> ran;
    bool allOnGuiThread = true;
    constexpr int kChanges = 2000;
    std::thread worker([&] {
        for (int n = 0; n < kChanges; ++n) {
            queue.Post([&, n] {
                allOnGuiThread = allOnGuiThread && QThread::currentThread() == queue.thread();
                ran.push_back(n);
            });
        }
    });
    worker.join();
    EXPECT_TRUE(ran.empty());
    queue.RunWaiting();
    ASSERT_EQ(ran.size(), static_cast<std::size_t>(kChanges));
    QTest::qWait(0);
    ASSERT_EQ(ran.size(), static_cast<std::size_t>(kChanges));
    EXPECT_EQ(counter.wakes, 1);
    for (int n = 0; n < kChanges; ++n) ASSERT_EQ(ran[n], n);
    EXPECT_TRUE(allOnGuiThread);

    queue.Post([&] { ran.push_back(-1); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.back() == -1; }, 2000));
    EXPECT_EQ(counter.wakes, 2);

    // A change handed in while the thread runs a batch joins that batch: no wake-up of its own.
    std::thread([&] {
        queue.Post([&] {
            ran.push_back(-2);
            std::thread([&] { queue.Post([&] { ran.push_back(-4); }); }).join();
        });
        queue.Post([&] { ran.push_back(-3); });
    }).join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.back() == -4; }, 2000));
    QTest::qWait(0);
    EXPECT_EQ((std::vector<int>(ran.end() - 3, ran.end())), (std::vector<int>{-2, -3, -4}));
    EXPECT_EQ(counter.wakes, 3);
}

}  // namespace
