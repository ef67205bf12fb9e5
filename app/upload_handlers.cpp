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
#include "upgrade/upload_station.h"

namespace {

using fk::platform::MessageButtons;
using fk::platform::MessageIcon;

const QString kUploadCaption = QStringLiteral("&Upload");
const QString kAbortCaption = QStringLiteral("&Abort");

}  // namespace

// The window's table: what each event shows and sounds. On the GUI thread it takes effect at
// once, so a press that stops an earlier upload and starts a new one sets "&Abort" after the
// first one's end; from the network thread it is queued behind the thread's earlier events.
void TKVUpgradeFrm::SessionLink::OnEvent(const fk::SessionEvent& event) {
    fk::OperatorFeedback feedback = fk::FeedbackFor(event);
    if (!feedback.progress && !feedback.status && !feedback.cue && !feedback.box &&
        !feedback.idle) {
        return;
    }
    m_window.OnGuiThread([window = &m_window, feedback = std::move(feedback)] {
        if (feedback.progress) window->SetProgress(*feedback.progress);
        if (feedback.status) window->ShowStatus(QString::fromStdString(*feedback.status));
        if (feedback.cue) window->PlayCue(static_cast<int>(*feedback.cue));
        if (feedback.box) {
            const std::string& caption = feedback.box->caption;
            window->ShowMessageFromWorker(
                QString::fromStdString(feedback.box->text),
                QString::fromStdString(caption.empty() ? std::string(kApplicationTitle) : caption),
                feedback.box->icon);
        }
        if (feedback.idle) window->RestoreIdleControls();
    });
}

void TKVUpgradeFrm::CreateUploadSession() {
    m_sessionLink = std::make_unique<SessionLink>(*this);
    m_recordingHost = std::make_unique<fk::history::RecordingSessionHost>(
        *m_sessionLink, m_services.history, "flashkit");
    m_session = std::make_unique<fk::UploadStation>(
        *m_recordingHost, *m_sessionLink,
        m_services.ports ? *m_services.ports : fk::platform::SystemPortOpener(),
        m_services.uploadOptions ? *m_services.uploadOptions : fk::StationOptions{});
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
    if (!CaptureDeviceMac()) return;
    const auto plan = PlanUpload();
    if (!plan) return;
    StopUpload();
    m_session->StartUpload(*plan);
    // Also when the sockets did not open: the tabs wait for the Abort that follows.
    ImgPageCtrl->setEnabled(false);
    BtnUpload->setText(kAbortCaption);
}

std::optional<fk::UploadPlan> TKVUpgradeFrm::PlanUpload() {
    const bool system = ImgPageCtrl->currentIndex() == 0;
    // The file checked is the file served: a path typed before its file existed was not taken
    // when it was typed.
    system ? m_strSysFileChange() : m_strDataFileChange();
    // The plan of the selected card, also after a card of the last upload went away.
    m_awaitedCard.reset();
    UpdateAddressPlan();
    auto planned = fk::MakeUploadPlan(
        {system ? fk::ImagePage::System : fk::ImagePage::Data,
         fk::PathInBox((system ? m_strSysFile : m_strDataFile)->text()), deviceMac, Card()},
        m_services.adapters, m_adapterInfo, m_services.neighbours);
    if (auto* plan = std::get_if<fk::UploadPlan>(&planned)) {
        // The file served is the page's, its path in its real case, as the change above took it.
        plan->file.path = system ? m_sysFilePath : m_dataFilePath;
        plan->file.bootFileName = system ? m_sysFileName : m_dataFileName;
        return std::move(*plan);
    }
    const auto& refusal = std::get<fk::UploadRefusal>(planned);
    using Reason = fk::UploadRefusal::Reason;
    if (!refusal.fileError.empty()) {
        m_services.messageBoxes.Show(refusal.fileError, kApplicationTitle, MessageIcon::None,
                                     MessageButtons::Ok);
    }
    m_services.messageBoxes.Show(refusal.text, refusal.caption, MessageIcon::Stop,
                                 MessageButtons::Ok);
    if (refusal.reason == Reason::ImageMissing || refusal.reason == Reason::WrongRecorder) {
        system ? BtnBrowseSysClick() : BtnBrowseDataClick();
    }
    return std::nullopt;
}

void TKVUpgradeFrm::StopUpload() {
    // A stop leaves no cue of the last upload sounding.
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
