#include "upgrade/neighbour_keeper.h"

#include <algorithm>

namespace fk {

NeighbourKeeper::NeighbourKeeper(DeviceArp& arp, std::unique_ptr<platform::NetworkWatch> watch,
                                 std::chrono::milliseconds period)
    : m_arp(arp), m_watch(std::move(watch)), m_period(period), m_thread([this] { Run(); }) {}

NeighbourKeeper::~NeighbourKeeper() {
    Stop();
    m_thread.join();
}

void NeighbourKeeper::Keep(int ifindex, Ipv4 address, const MacAddress& mac) {
    std::lock_guard lock(m_mutex);
    m_entry = {ifindex, address, mac};
    m_known = true;
}

void NeighbourKeeper::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_wakeUp.notify_all();
    if (m_watch) m_watch->Wake();
}

void NeighbourKeeper::Run() {
    using Clock = std::chrono::steady_clock;
    auto due = Clock::now() + m_period;
    for (;;) {
        std::vector<platform::NetworkChange> changes;
        if (m_watch) {
            changes = m_watch->Wait(due);
        } else {
            std::unique_lock lock(m_mutex);
            m_wakeUp.wait_until(lock, due, [this] { return m_stopped; });
        }
        const bool carrierReturned = CarrierReturned(changes);
        if (!carrierReturned && Clock::now() < due) {
            std::lock_guard lock(m_mutex);
            if (m_stopped) return;
            continue;
        }
        AddNow();
        due = Clock::now() + m_period;
        std::lock_guard lock(m_mutex);
        if (m_stopped) return;
    }
}

bool NeighbourKeeper::CarrierReturned(const std::vector<platform::NetworkChange>& changes) const {
    std::lock_guard lock(m_mutex);
    return m_known &&
           std::any_of(changes.begin(), changes.end(), [this](const platform::NetworkChange& c) {
               return c.kind == platform::NetworkChange::Kind::Missed ||
                      (c.kind == platform::NetworkChange::Kind::Link &&
                       c.ifindex == m_entry.ifindex && c.carrier);
           });
}

void NeighbourKeeper::AddNow() {
    std::lock_guard lock(m_mutex);
    if (m_stopped || !m_known || m_entry.address == 0) return;
    m_arp.SetDeviceArpEntry(m_entry.ifindex, m_entry.address, m_entry.mac, true);
}

}  // namespace fk
