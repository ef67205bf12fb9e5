#include "history/recording_host.h"

#include <filesystem>
#include <system_error>

#include "history/sha256.h"
#include "net/address_plan.h"
#include "platform/network_watch.h"
#include "upgrade/served_image.h"
#include "upgrade/transfer_percent.h"
#include "upgrade/upload_outcome.h"

namespace fk::history {

namespace {

std::string InterfaceName(int ifindex) {
    const std::string name = platform::CardName(ifindex);
    return name.empty() ? std::to_string(ifindex) : name;
}

}  // namespace

RecordingSessionHost::RecordingSessionHost(SessionHost& inner, UploadHistory* history,
                                           std::string program, FinalText finalText)
    : m_inner(inner),
      m_history(history),
      m_program(std::move(program)),
      m_finalText(std::move(finalText)),
      m_stopText(m_finalText(nullptr)) {}

void RecordingSessionHost::SetStopOutcome(Outcome outcome, const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_stopOutcome = outcome;
    m_stopText = text;
}

void RecordingSessionHost::Begin(const event::Started& started) {
    if (!m_history) return;
    UploadStart start{
        m_program,
        InterfaceName(started.card.ifindex),
        FormatDottedQuad(started.card.hostAddress),
        FormatDottedQuad(started.recorderAddress != 0 ? started.recorderAddress
                                                      : DeviceAddressFor(started.card.hostAddress)),
        FormatMac(started.mac),
        started.imagePath,
        started.page == ImagePage::System ? "system" : "data",
        0};
    std::error_code error;
    const auto size = std::filesystem::file_size(start.imagePath, error);
    if (!error) start.size = size;
    // The record outlives the working directory it was made in.
    if (const auto absolute = std::filesystem::absolute(start.imagePath, error); !error) {
        start.imagePath = absolute.lexically_normal().string();
    }
    std::string abortText = m_finalText(nullptr);
    std::lock_guard lock(m_mutex);
    EndRow(m_stopOutcome, m_stopText);
    m_token = m_history->Begin(start);
    m_stopOutcome = Outcome::Aborted;
    m_stopText = std::move(abortText);
    m_image.reset();
    m_size = start.size;
    m_bytesServed = m_blocks = m_resends = 0;
}

void RecordingSessionHost::OnEvent(const SessionEvent& event) {
    if (const auto* started = std::get_if<event::Started>(&event)) {
        Begin(*started);
    } else {
        // The front end's words are asked for before the lock: nothing is called under it.
        const auto outcome = OutcomeOf(event);
        const std::string finalText = outcome ? m_finalText(&event) : std::string();
        std::lock_guard lock(m_mutex);
        if (const auto* accepted = std::get_if<event::RequestAccepted>(&event)) {
            // A recorder that asks again is served from the start again.
            m_image = accepted->image;
            m_size = accepted->imageSize;
            m_bytesServed = m_blocks = 0;
        } else if (const auto* served = std::get_if<event::BlockServed>(&event)) {
            m_bytesServed += served->length;
        } else if (const auto* acked = std::get_if<event::Acknowledged>(&event)) {
            if (AcknowledgementMovesOn(acked->blockNo, m_blocks, acked->blockTotal))
                m_blocks = acked->blockNo;
        } else if (const auto* resent = std::get_if<event::Resent>(&event)) {
            m_resends += resent->sent;
        } else if (outcome) {
            EndRow(*outcome, finalText);
        } else if (std::holds_alternative<event::Ended>(event)) {
            EndRow(m_stopOutcome, m_stopText);
        }
    }
    m_inner.OnEvent(event);
}

void RecordingSessionHost::EndRow(Outcome outcome, const std::string& text) {
    if (!m_token || !m_history) return;
    // Nothing served has no hash worth keeping, except an empty image served whole.
    const bool served = m_bytesServed > 0 || outcome == Outcome::Completed;
    UploadHistory::Later sha256;
    if (served && m_image) {
        sha256 = [image = m_image, length = m_bytesServed] {
            Sha256 hash;
            const bool same = image->ReadBack(length, [&](auto bytes) { hash.Add(bytes); });
            return same ? hash.Hex() : std::string();
        };
    }
    m_history->Finish(*m_token,
                      {OutcomeName(outcome), text, m_size, m_bytesServed, {}, m_blocks, m_resends},
                      std::move(sha256));
    m_token.reset();
    m_image.reset();
}

}  // namespace fk::history
