#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>

#include "app/kvupgradefrm.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/message_box.h"
#include "upgrade/upload_checks.h"

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
    const fk::AdapterRecord card = fk::SelectedAdapter(m_adapterInfo, m_cbNetinfo->currentIndex());
    const fk::Ipv4 host =
        fk::HostAddressFor(card, m_cbNetinfo->currentText().toStdString(), &m_services.tcpipConfig);
    m_selectedCard.store({host, static_cast<int>(card.index)});
    m_ctrlAddrIp->setText(QString::fromStdString(fk::FormatDottedQuad(host)));
}

void TKVUpgradeFrm::m_cbNetinfoChange() {
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

bool TKVUpgradeFrm::RecorderAddressFree() {
    const auto refusal =
        fk::CheckRecorderAddressFree(m_services.adapters, m_adapterInfo, SelectedIfIndex(),
                                     HostAddress(), m_services.neighbours);
    if (!refusal) return true;
    m_services.messageBoxes.Show(refusal->text, refusal->caption, fk::platform::MessageIcon::Stop,
                                 fk::platform::MessageButtons::Ok);
    return false;
}

void TKVUpgradeFrm::SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                                      bool add) {
    m_arpEntry.Set(ifindex, address, mac, add);
}

void TKVUpgradeFrm::ResetArpErrorReport() {
    m_arpEntry.ResetErrorReport();
}
