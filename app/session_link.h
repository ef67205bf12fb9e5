#pragma once

// The window as the upload session sees it: the selected card, read from the address plan's
// atomic, and the events, each turned into the window's texts, cues and boxes on the GUI thread
// in call order. Nothing here waits: a worker's event is queued.

#include "app/kvupgradefrm.h"
#include "upgrade/device_arp.h"
#include "upgrade/operator_feedback.h"
#include "upgrade/session_host.h"

class TKVUpgradeFrm::SessionLink final : public fk::SessionHost, public fk::DeviceArp {
  public:
    explicit SessionLink(TKVUpgradeFrm& window) : m_window(window) {}

    fk::SelectedCard Card() const override { return m_window.Card(); }
    void OnEvent(const fk::SessionEvent& event) override;

    int SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                          bool add) override {
        m_window.SetDeviceArpEntry(ifindex, address, mac, add);
        return 0;
    }
    void ResetErrorReport() override { m_window.ResetArpErrorReport(); }

  private:
    TKVUpgradeFrm& m_window;
};
