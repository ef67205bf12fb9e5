#pragma once

// The window as the upload session sees it. The workers read only what was captured when
// Upload was pressed (the image tabs are disabled while an upload runs, so it cannot go stale)
// and the address plan's atomics; every report goes through the window's thread-safe feedback.

#include <mutex>
#include <string>

#include "app/kvupgradefrm.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"

// The operator's choices for one upload, taken on the GUI thread at Upload.
struct UploadInputs {
    fk::ImagePage page = fk::ImagePage::System;
    std::string sysFileName, sysFilePath, dataFileName, dataFilePath;
    fk::MacAddress mac = fk::kRecorderMacPrefix;
};

class TKVUpgradeFrm::SessionLink final : public fk::SessionHost, public fk::DeviceArp {
  public:
    explicit SessionLink(TKVUpgradeFrm& window) : m_window(window) {}

    void Capture(UploadInputs inputs);

    fk::ImagePage ActivePage() const override;
    std::string BootFileName(fk::ImagePage page) const override;
    std::string ImagePath(fk::ImagePage page) const override;
    fk::SelectedCard Card() const override { return m_window.Card(); }
    fk::MacAddress DeviceMac() const override;

    void ShowStatus(const std::string& text) override;
    void SetProgress(int percent) override { m_window.SetProgress(percent); }
    void PlayCue(int cue) override { m_window.PlayCue(cue); }
    void ShowMessage(const std::string& text, const std::string& caption,
                     fk::platform::MessageIcon icon) override;
    void SessionEnded() override;

    void SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac,
                           bool add) override {
        m_window.SetDeviceArpEntry(ifindex, address, mac, add);
    }
    void ResetErrorReport() override { m_window.ResetArpErrorReport(); }

  private:
    TKVUpgradeFrm& m_window;
    mutable std::mutex m_mutex;  // m_inputs: written at Upload, read by the workers
    UploadInputs m_inputs;
};
