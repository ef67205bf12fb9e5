#include <QSocketNotifier>
#include <chrono>

#include "app/kvupgradefrm.h"
#include "app/presenter/window_session.h"
#include "platform/network_watch.h"

void TKVUpgradeFrm::StartFollowingCards() {
    fk::platform::NetworkWatch* watch = m_services.cardWatch;
    if (!watch || watch->Descriptor() < 0) return;
    m_cardNotices = new QSocketNotifier(watch->Descriptor(), QSocketNotifier::Read, this);
    connect(m_cardNotices, &QSocketNotifier::activated, this, [this, watch] {
        // What waits is taken at once; a burst of changes reads the list once.
        if (!watch->Wait(std::chrono::steady_clock::now()).empty()) FollowSystemCards();
    });
}

void TKVUpgradeFrm::StopFollowingCards() {
    delete m_cardNotices;
    m_cardNotices = nullptr;
}

int TKVUpgradeFrm::SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                                     bool add) {
    return m_session->SetDeviceArpEntry(ifindex, address, mac, add);
}
