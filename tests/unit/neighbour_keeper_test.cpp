#include "upgrade/neighbour_keeper.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace fk {
namespace {

using namespace std::chrono_literals;
using platform::NetworkChange;

class RecordingArp final : public DeviceArp {
  public:
    int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress&, bool add) override {
        std::lock_guard lock(m_mutex);
        if (add) adds.push_back({ifindex, address});
        return 0;
    }
    void ResetErrorReport() override {}
    std::size_t Adds() {
        std::lock_guard lock(m_mutex);
        return adds.size();
    }
    std::vector<std::pair<int, Ipv4>> adds;

  private:
    std::mutex m_mutex;
};

// Hands out the changes a test pushes, as the kernel's notices would come.
class ScriptedWatch final : public platform::NetworkWatch {
  public:
    std::vector<NetworkChange> Wait(std::chrono::steady_clock::time_point until) override {
        std::unique_lock lock(m_mutex);
        m_changed.wait_until(lock, until, [this] { return !m_pending.empty() || m_woken; });
        m_woken = false;
        return std::exchange(m_pending, {});
    }
    void Wake() override {
        std::lock_guard lock(m_mutex);
        m_woken = true;
        m_changed.notify_all();
    }
    void Push(NetworkChange change) {
        std::lock_guard lock(m_mutex);
        m_pending.push_back(change);
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<NetworkChange> m_pending;
    bool m_woken = false;
};

bool Eventually(const std::function<bool()>& condition) {
    for (int n = 0; n < 200 && !condition(); ++n) std::this_thread::sleep_for(5ms);
    return condition();
}

TEST(NeighbourKeeper, AddsTheEntryPeriodicallyAndAtOnceWhenTheCarrierReturnsUntilStopped) {
    RecordingArp arp;
    {
        NeighbourKeeper keeper(arp, nullptr, 10ms);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(arp.Adds(), 0u) << "nothing to keep before the first announcement";
        keeper.Keep(5, 0xC0A84D02, {});
        ASSERT_TRUE(Eventually([&] { return arp.Adds() >= 3; }));
        keeper.Stop();
        const auto stopped = arp.Adds();
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(arp.Adds(), stopped) << "an add after Stop would outlive the final delete";
        EXPECT_EQ(arp.adds.front(), (std::pair<int, Ipv4>{5, 0xC0A84D02}));
    }

    RecordingArp carrierArp;
    auto watch = std::make_unique<ScriptedWatch>();
    ScriptedWatch& changes = *watch;
    NeighbourKeeper keeper(carrierArp, std::move(watch), 1h);
    keeper.Keep(5, 0xC0A84D02, {});
    // Another card's carrier, a carrier lost, an address change: none brings the entry back.
    changes.Push({NetworkChange::Kind::Link, 6, true});
    changes.Push({NetworkChange::Kind::Link, 5, false});
    changes.Push({NetworkChange::Kind::Address, 5, false});
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(carrierArp.Adds(), 0u);
    changes.Push({NetworkChange::Kind::Link, 5, true});
    EXPECT_TRUE(Eventually([&] { return carrierArp.Adds() == 1; }));
    changes.Push({NetworkChange::Kind::Missed, 0, false});
    EXPECT_TRUE(Eventually([&] { return carrierArp.Adds() == 2; }));
}

}  // namespace
}  // namespace fk
