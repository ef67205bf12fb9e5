#include "app/presenter/window_session.h"

#include <cerrno>

#include "app/presenter/window_presenter.h"
#include "feedback/operator_feedback.h"
#include "net/ipv4.h"
#include "platform/adapter_source.h"

namespace fk::window {

namespace {

constexpr const char* kBroadcastText =
    "Uploading Started by broadcast: Run as administrator for the recorder's entry";

bool ShowsNothing(const OperatorFeedback& feedback) {
    return !feedback.progress && !feedback.status && !feedback.cue && !feedback.box &&
           !feedback.idle;
}

}  // namespace

WindowSession::WindowSession(const WindowServices& services, PostToWindow post, Options options)
    : m_post(std::move(post)),
      m_options(std::move(options)),
      m_adapters(services.adapters),
      m_stationOptions(services.uploadOptions ? *services.uploadOptions : StationOptions{}),
      m_entries(services.neighbours, EntryNotices()),
      m_recording(*this, services.history, "flashkit", FinalTextOf),
      m_station(m_recording, m_entries,
                services.ports ? *services.ports : platform::SystemPortOpener(), services.adapters,
                m_stationOptions) {}

RecorderEntries::Notices WindowSession::EntryNotices() {
    RecorderEntries::Notices notices;
    if (m_options.broadcastFallback) {
        notices.cannotMake = [this] {
            m_post([presenter = m_presenter] { presenter->ShowStatus(kBroadcastText); });
        };
    }
    return notices;
}

void WindowSession::Start(const UploadPlan& plan) {
    if (m_options.broadcastFallback) {
        // The subnet of the card the upload announces on, for replies that cannot be unicast.
        Ipv4 mask = 0;
        for (const auto& card : m_adapters.List().adapters) {
            if (static_cast<int>(card.index) == plan.card.ifindex)
                mask = ParseDottedQuad(card.ipMask);
        }
        m_entries.SetCardMask(mask);
    }
    m_station.StartUpload(plan);
}

bool WindowSession::Running() const {
    const SessionState state = m_station.State();
    return state == SessionState::Announcing || state == SessionState::Transferring;
}

// On the window's thread the feedback takes effect at once, so a press that stops an earlier
// upload and starts a new one sets "&Abort" after the first one's end; from the network thread it
// is queued behind the thread's earlier events. Only what shows is carried over.
void WindowSession::OnEvent(const SessionEvent& event) {
    OperatorFeedback feedback = FeedbackFor(event);
    if (const auto* failed = std::get_if<event::StartFailed>(&event);
        failed && failed->error == EADDRINUSE && m_options.portHeldText) {
        const std::uint16_t port = failed->socket == event::StartFailed::Socket::Bootp
                                       ? m_stationOptions.bootpServerPort
                                       : m_stationOptions.tftpServerPort;
        feedback.box = {m_options.portHeldText(port), "", BoxKind::Stop};
    }
    if (ShowsNothing(feedback)) return;
    m_post([presenter = m_presenter, feedback = std::move(feedback)] {
        presenter->OnFeedback(feedback);
    });
}

}  // namespace fk::window
