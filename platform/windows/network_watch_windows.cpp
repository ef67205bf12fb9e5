#include <condition_variable>
#include <map>
#include <mutex>

#include "net/adapter_list.h"
#include "platform/network_watch.h"
#include "platform/windows/ip_helper.h"

namespace fk::platform {

namespace {

// NotifyIpInterfaceChange and NotifyUnicastIpAddressChange register on every system but call
// back on some never: the card list is read again every half second and compared instead.
constexpr std::chrono::milliseconds kPollPeriod{500};

struct CardState {
    bool up = false;
    std::vector<std::uint32_t> addresses;
};

using Snapshot = std::map<std::uint32_t, CardState>;

bool TakeSnapshot(Snapshot& snapshot) {
    std::vector<windows::Card> cards;
    unsigned long error = 0;
    if (!windows::ReadCards(cards, error)) return false;
    snapshot.clear();
    for (auto& card : cards) snapshot[card.index] = {card.up, std::move(card.addresses)};
    return true;
}

std::vector<NetworkChange> Compare(const Snapshot& before, const Snapshot& now) {
    using Kind = NetworkChange::Kind;
    std::vector<NetworkChange> changes;
    for (const auto& [index, state] : now) {
        const auto was = before.find(index);
        if (was == before.end() || was->second.up != state.up) {
            changes.push_back({Kind::Link, static_cast<int>(index), state.up});
        }
        if (was == before.end() || was->second.addresses != state.addresses) {
            changes.push_back({Kind::Address, static_cast<int>(index), state.up});
        }
    }
    for (const auto& [index, state] : before) {
        if (!now.count(index)) changes.push_back({Kind::LinkRemoved, static_cast<int>(index)});
    }
    return changes;
}

class PollingNetworkWatch final : public NetworkWatch {
  public:
    explicit PollingNetworkWatch(Snapshot first) : m_last(std::move(first)) {}

    std::vector<NetworkChange> Wait(std::chrono::steady_clock::time_point until) override {
        for (;;) {
            const auto next = std::min(until, std::chrono::steady_clock::now() + kPollPeriod);
            {
                std::unique_lock lock(m_mutex);
                if (m_wakeUp.wait_until(lock, next, [this] { return m_woken; })) {
                    m_woken = false;
                    return {};
                }
            }
            Snapshot now;
            if (!TakeSnapshot(now)) return {{NetworkChange::Kind::Missed}};
            auto changes = Compare(m_last, now);
            m_last = std::move(now);
            if (!changes.empty() || std::chrono::steady_clock::now() >= until) return changes;
        }
    }

    void Wake() override {
        {
            std::lock_guard lock(m_mutex);
            m_woken = true;
        }
        m_wakeUp.notify_all();
    }

  private:
    Snapshot m_last;  // the waiting thread's alone
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_woken = false;
};

}  // namespace

std::string CardName(int ifindex) {
    std::vector<windows::Card> cards;
    unsigned long error = 0;
    if (ifindex > 0 && windows::ReadCards(cards, error)) {
        for (const auto& card : cards) {
            if (card.index != static_cast<std::uint32_t>(ifindex)) continue;
            AdapterRecord record;
            record.friendlyName = card.name;
            record.description = card.description;
            return CardLabel(record);
        }
    }
    return {};
}

std::unique_ptr<NetworkWatch> MakeSystemNetworkWatch() {
    Snapshot first;
    if (!TakeSnapshot(first)) return nullptr;
    return std::make_unique<PollingNetworkWatch>(std::move(first));
}

}  // namespace fk::platform
