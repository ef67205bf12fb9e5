#include "history/recording_host.h"

#include <filesystem>
#include <system_error>

#include "history/sha256.h"
#include "net/address_plan.h"
#include "platform/network_watch.h"
#include "upgrade/overloaded.h"
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
      m_finalText(std::move(finalText)) {}

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
    // The history is called without the lock.
    const std::uint64_t token = m_history->Begin(start);
    std::lock_guard lock(m_mutex);
    m_token = token;
    m_image.reset();
    m_size = start.size;
    m_bytesServed = m_blocks = m_resends = 0;
}

void RecordingSessionHost::OnEvent(const SessionEvent& event) {
    // The front end's words are asked for before the lock, the history after it: nothing is
    // called under it.
    std::optional<RowEnd> ended;
    const auto locked = [&](auto change) {
        std::lock_guard lock(m_mutex);
        change();
    };
    std::visit(Overloaded{
                   [&](const event::Started& started) { Begin(started); },
                   [](const event::StartFailed&) {},
                   [](const event::Announcing&) {},
                   [](const event::WaitingForAddress&) {},
                   [](const event::AddressBack&) {},
                   [&](const event::RequestAccepted& accepted) {
                       // A recorder that asks again is served from the start again.
                       locked([&] {
                           m_image = accepted.image;
                           m_size = accepted.imageSize;
                           m_bytesServed = m_blocks = 0;
                       });
                   },
                   [](const event::ImageUnmeasurable&) {},
                   [](const event::StrayDatagram&) {},
                   [&](const event::BlockServed& served) {
                       locked([&] { m_bytesServed += served.length; });
                   },
                   [&](const event::Acknowledged& acked) {
                       locked([&] {
                           if (AcknowledgementMovesOn(acked.blockNo, m_blocks, acked.blockTotal))
                               m_blocks = acked.blockNo;
                       });
                   },
                   [](const event::Progress&) {},
                   [&](const event::Resent& resent) { locked([&] { m_resends += resent.sent; }); },
                   [](const event::SendFailed&) {},
                   [](const event::FileError&) {},
                   [](const event::Completed&) {},
                   [](const event::Failed&) {},
                   [](const event::Unconfirmed&) {},
                   [](const event::Admission&) {},
                   [&](const event::RecorderEnded& end) {
                       const std::string text = m_finalText(end);
                       locked([&] { ended = EndRow(*OutcomeOf(event), text); });
                   },
                   [](const event::Ended&) {},
               },
               event);
    Finish(std::move(ended));
    m_inner.OnEvent(event);
}

std::optional<RecordingSessionHost::RowEnd> RecordingSessionHost::EndRow(Outcome outcome,
                                                                         const std::string& text) {
    if (!m_token || !m_history) return std::nullopt;
    // Nothing served has no hash worth keeping, except an empty image served whole.
    const bool served = m_bytesServed > 0 || outcome == Outcome::Completed;
    RowEnd row{
        *m_token, {OutcomeName(outcome), text, m_size, m_bytesServed, {}, m_blocks, m_resends}, {}};
    if (served && m_image) {
        row.sha256 = [image = m_image, length = m_bytesServed] {
            Sha256 hash;
            const bool same = image->ReadBack(length, [&](auto bytes) { hash.Add(bytes); });
            return same ? hash.Hex() : std::string();
        };
    }
    m_token.reset();
    m_image.reset();
    return row;
}

void RecordingSessionHost::Finish(std::optional<RowEnd> row) {
    if (row) m_history->Finish(row->token, row->end, std::move(row->sha256));
}

}  // namespace fk::history
