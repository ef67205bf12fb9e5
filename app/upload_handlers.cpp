#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include "app/kvupgradefrm.h"
#include "app/session_link.h"
#include "history/recording_host.h"
#include "image/file_name_text.h"
#include "image/image_files.h"
#include "platform/message_box.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_session.h"

namespace {

using fk::platform::MessageButtons;
using fk::platform::MessageIcon;

const QString kUploadCaption = QStringLiteral("&Upload");
const QString kAbortCaption = QStringLiteral("&Abort");

}  // namespace

void TKVUpgradeFrm::SessionLink::Capture(UploadInputs inputs) {
    std::lock_guard lock(m_mutex);
    m_inputs = std::move(inputs);
}

fk::ImagePage TKVUpgradeFrm::SessionLink::ActivePage() const {
    std::lock_guard lock(m_mutex);
    return m_inputs.page;
}

std::string TKVUpgradeFrm::SessionLink::BootFileName(fk::ImagePage page) const {
    std::lock_guard lock(m_mutex);
    return page == fk::ImagePage::System ? m_inputs.sysFileName : m_inputs.dataFileName;
}

std::string TKVUpgradeFrm::SessionLink::ImagePath(fk::ImagePage page) const {
    std::lock_guard lock(m_mutex);
    return page == fk::ImagePage::System ? m_inputs.sysFilePath : m_inputs.dataFilePath;
}

fk::MacAddress TKVUpgradeFrm::SessionLink::DeviceMac() const {
    std::lock_guard lock(m_mutex);
    return m_inputs.mac;
}

void TKVUpgradeFrm::SessionLink::ShowStatus(const std::string& text) {
    m_window.ShowStatus(QString::fromStdString(text));
}

void TKVUpgradeFrm::SessionLink::ShowMessage(const std::string& text, const std::string& caption,
                                             fk::platform::MessageIcon icon) {
    m_window.ShowMessageFromWorker(
        QString::fromStdString(text),
        QString::fromStdString(caption.empty() ? std::string(kApplicationTitle) : caption), icon);
}

// On the GUI thread this takes effect at once, so a press that stops an earlier upload and
// starts a new one sets "&Abort" after it; from a worker it is queued behind its other reports.
void TKVUpgradeFrm::SessionLink::SessionEnded() {
    m_window.OnGuiThread([window = &m_window] { window->RestoreIdleControls(); });
}

void TKVUpgradeFrm::CreateUploadSession() {
    m_sessionLink = std::make_unique<SessionLink>(*this);
    m_recordingHost = std::make_unique<fk::history::RecordingSessionHost>(
        *m_sessionLink, m_services.history, "flashkit");
    m_session = std::make_unique<fk::UploadSession>(
        *m_recordingHost, *m_sessionLink,
        m_services.uploadOptions ? *m_services.uploadOptions : fk::UploadSessionOptions{});
}

bool TKVUpgradeFrm::Uploading() const {
    const fk::SessionState state = m_session->State();
    return state == fk::SessionState::Announcing || state == fk::SessionState::Transferring;
}

void TKVUpgradeFrm::BtnUploadClick() {
    if (BtnUpload->text() != kUploadCaption) {
        StopUpload();
        BtnUpload->setText(kUploadCaption);
        ShowStatus(QStringLiteral("Uploading Aborted"));
        return;
    }
    if (!CaptureDeviceMac() || !ImageReady() || !RecorderAddressFree()) return;
    const bool system = ImgPageCtrl->currentIndex() == 0;
    m_sessionLink->Capture({system ? fk::ImagePage::System : fk::ImagePage::Data, m_sysFileName,
                            m_sysFilePath, m_dataFileName, m_dataFilePath, deviceMac});
    StopUpload();
    // The last upload's workers are joined in here; a cue one of them still sounds ends at once.
    EndWorkerCues();
    m_session->StartUpload();
    AllowWorkerCues();
    // Also when the sockets did not open: the tabs wait for the Abort that follows.
    ImgPageCtrl->setEnabled(false);
    BtnUpload->setText(kAbortCaption);
}

bool TKVUpgradeFrm::ImageReady() {
    const bool system = ImgPageCtrl->currentIndex() == 0;
    const std::string path = fk::PathInBox((system ? m_strSysFile : m_strDataFile)->text());
    // The file checked is the file served: a path typed before its file existed was not taken
    // when it was typed.
    system ? m_strSysFileChange() : m_strDataFileChange();
    const auto refusal =
        fk::CheckUploadImage(system ? fk::ImagePage::System : fk::ImagePage::Data, path, deviceMac);
    if (!refusal) return true;
    if (!refusal->fileError.empty()) {
        m_services.messageBoxes.Show(refusal->fileError, kApplicationTitle, MessageIcon::None,
                                     MessageButtons::Ok);
    }
    m_services.messageBoxes.Show(refusal->text, refusal->caption, MessageIcon::Stop,
                                 MessageButtons::Ok);
    if (refusal->reason != fk::UploadRefusal::Reason::NotServable) {
        system ? BtnBrowseSysClick() : BtnBrowseDataClick();
    }
    return false;
}

void TKVUpgradeFrm::StopUpload() {
    // The stop waits for the block the TFTP worker is handling, and that worker may be sounding a
    // cue meanwhile (the completion tones, an error): the cue ends at once, so the stop does too.
    EndWorkerCues();
    m_session->StopUpload();
    AllowWorkerCues();
}

void TKVUpgradeFrm::RestoreIdleControls() {
    ImgPageCtrl->setEnabled(true);
    if (BtnUpload->text() == kAbortCaption) BtnUpload->setText(kUploadCaption);
}

void TKVUpgradeFrm::AckTimeOutTimer() {
    m_session->AckTimeOutTimer();
}

void TKVUpgradeFrm::SendTimeOutTimer() {
    m_session->SendTimeOutTimer();
}
