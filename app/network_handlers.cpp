#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <algorithm>

#include "app/kvupgradefrm.h"
#include "feedback/refusal_texts.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/message_box.h"
#include "platform/network_watch.h"
#include "upgrade/upload_checks.h"

using namespace std::chrono_literals;

void TKVUpgradeFrm::LoadAdapterList() {
    // The program's own selection is not the operator's pick; the plan is made once, below.
    const QSignalBlocker blocker(m_cbNetinfo);
    m_cbNetinfo->clear();
    m_adapterInfo = fk::BuildAdapterList(m_services.adapters.List());
    if (m_adapterInfo.empty()) return;
    for (const auto& entry : fk::AdapterEntries(m_adapterInfo)) {
        m_cbNetinfo->addItem(QString::fromStdString(entry));
    }
    m_cbNetinfo->setCurrentIndex(0);
    UpdateAddressPlan();
}

void TKVUpgradeFrm::UpdateAddressPlan() {
    if (m_awaitedCard) {
        m_selectedCard.store({0, static_cast<int>(m_awaitedCard->index)});
        m_ctrlAddrIp->setText(QStringLiteral("0.0.0.0"));
        return;
    }
    const fk::AdapterRecord card = fk::SelectedAdapter(m_adapterInfo, m_cbNetinfo->currentIndex());
    const fk::Ipv4 host =
        fk::HostAddressFor(card, m_cbNetinfo->currentText().toStdString(), &m_services.tcpipConfig);
    // The label may show the card's configured address, which a network manager takes away with
    // the carrier; the announcer is given only an address the card holds, and waits for one.
    const bool held = fk::ParseDottedQuad(card.ipAddress) != 0;
    m_selectedCard.store({held ? host : 0, static_cast<int>(card.index)});
    m_ctrlAddrIp->setText(QString::fromStdString(fk::FormatDottedQuad(host)));
}

void TKVUpgradeFrm::FollowSystemCards() {
    m_cardsFollowQueued.store(false);
    fk::AdapterList cards = fk::BuildAdapterList(m_services.adapters.List());
    const auto entries = fk::AdapterEntries(cards);
    // Kept by name: a card plugged out and in again comes back with another index.
    const fk::AdapterRecord wanted =
        m_awaitedCard ? *m_awaitedCard
                      : fk::SelectedAdapter(m_adapterInfo, m_cbNetinfo->currentIndex());
    const auto kept = std::find_if(cards.begin(), cards.end(), [&](const fk::AdapterRecord& c) {
        return !wanted.adapterName.empty() && c.adapterName == wanted.adapterName;
    });
    const int keep = kept == cards.end() ? 0 : static_cast<int>(kept - cards.begin());
    // The card of a running upload went away: its replies must not move to whatever card is now
    // first in the list, so the announcer waits for it, or for the operator's pick.
    m_awaitedCard.reset();
    if (kept == cards.end() && !wanted.adapterName.empty() && Uploading()) m_awaitedCard = wanted;
    if (entries != fk::AdapterEntries(m_adapterInfo) || keep != m_cbNetinfo->currentIndex()) {
        const QSignalBlocker blocker(m_cbNetinfo);
        m_cbNetinfo->clear();
        for (const auto& entry : entries) m_cbNetinfo->addItem(QString::fromStdString(entry));
        if (!cards.empty()) m_cbNetinfo->setCurrentIndex(keep);
    }
    m_adapterInfo = std::move(cards);
    UpdateAddressPlan();
}

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

void TKVUpgradeFrm::m_cbNetinfoChange() {
    m_awaitedCard.reset();
    UpdateAddressPlan();
}

// Empties a box holding anything but hex digits; true when it then holds a full octet.
bool TKVUpgradeFrm::MacBoxComplete(QLineEdit* box) {
    if (box->text().isEmpty()) return false;
    std::uint32_t value = 0;
    if (!fk::ParseHexByte(box->text().toStdString(), value)) box->clear();
    return box->text().size() == 2;
}

void TKVUpgradeFrm::FocusBrowseButton() {
    QPushButton* browse = ImgPageCtrl->currentIndex() == 0 ? BtnBrowseSys : BtnBrowseData;
    // While an upload runs the image tabs are disabled; Abort is then the next button the
    // operator may want, so the focus does not stay behind in the box.
    if (browse->isEnabled()) {
        browse->setFocus();
    } else {
        BtnUpload->setFocus();
    }
}

void TKVUpgradeFrm::editMac3Change() {
    if (!MacBoxComplete(editMac3)) return;
    editMac4->selectAll();
    editMac4->setFocus();
}

void TKVUpgradeFrm::editMac4Change() {
    if (!MacBoxComplete(editMac4)) return;
    editMac5->selectAll();
    editMac5->setFocus();
}

void TKVUpgradeFrm::editMac5Change() {
    if (MacBoxComplete(editMac5)) FocusBrowseButton();
}

bool TKVUpgradeFrm::CaptureDeviceMac() {
    QLineEdit* const boxes[] = {editMac3, editMac4, editMac5};
    const auto refused =
        fk::ParseRecorderOctets({boxes[0]->text().toStdString(), boxes[1]->text().toStdString(),
                                 boxes[2]->text().toStdString()},
                                deviceMac);
    if (!refused) return true;
    m_services.messageBoxes.Show(fk::kMacRefusalText, fk::kMacRefusalCaption,
                                 fk::platform::MessageIcon::Stop, fk::platform::MessageButtons::Ok);
    boxes[*refused]->selectAll();
    boxes[*refused]->setFocus();
    return false;
}

void TKVUpgradeFrm::SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                                      bool add) {
    m_arpEntry.Set(ifindex, address, mac, add);
}

void TKVUpgradeFrm::ResetArpErrorReport() {
    m_arpEntry.ResetErrorReport();
}
