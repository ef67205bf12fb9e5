#include <cerrno>

#include "app/kvupgradefrm.h"
#include "platform/network_watch.h"

using namespace std::chrono_literals;

void TKVUpgradeFrm::StartFollowingCards() {
    fk::platform::NetworkWatch* watch = m_services.cardWatch;
    if (!watch) return;
    m_cardFollower = std::jthread([this, watch](std::stop_token stop) {
        while (!stop.stop_requested()) {
            const auto changes = watch->Wait(std::chrono::steady_clock::now() + 1s);
            // A burst of changes is read once; the list is read afresh when it runs.
            if (!changes.empty() && !stop.stop_requested() && !m_cardsFollowQueued.exchange(true))
                OnGuiThread([this] { FollowSystemCards(); });
        }
    });
}

void TKVUpgradeFrm::StopFollowingCards() {
    if (!m_cardFollower.joinable()) return;
    m_cardFollower.request_stop();
    m_services.cardWatch->Wake();
    m_cardFollower.join();
}

int TKVUpgradeFrm::SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                                     bool add) {
    const int error = m_arpEntry.Set(ifindex, address, mac, add);
    if (add && error == EADDRINUSE && !m_heldAddressTold.exchange(true)) {
        OnGuiThread([this, address] { m_presenter->AddressRefused(address); });
    }
    return error;
}

void TKVUpgradeFrm::ResetArpErrorReport() {
    m_heldAddressTold.store(false);
    m_arpEntry.ResetErrorReport();
}
