#include "app/gui_thread_queue.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QThread>
#include <thread>
#include <vector>

namespace {

// Changes from a worker run on the queue's thread, in the order handed in, each once; RunWaiting
// runs what waits at once, and the wake-ups it leaves behind run nothing twice.
TEST(GuiThreadQueue, RunsWorkerChangesOnItsOwnThreadInOrderOnce) {
    GuiThreadQueue queue(nullptr);
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
    for (int n = 0; n < kChanges; ++n) ASSERT_EQ(ran[n], n);
    EXPECT_TRUE(allOnGuiThread);

    queue.Post([&] { ran.push_back(-1); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ran.back() == -1; }, 2000));
}

}  // namespace
