#include "history/recording_host.h"

#include <net/if.h>

#include <filesystem>
#include <system_error>

#include "history/sha256.h"
#include "net/address_plan.h"
#include "upgrade/served_image.h"

namespace fk::history {

namespace {

std::string InterfaceName(int ifindex) {
    char name[IF_NAMESIZE] = {};
    if (ifindex > 0 && if_indextoname(static_cast<unsigned>(ifindex), name)) return name;
    return std::to_string(ifindex);
}

}  // namespace

RecordingSessionHost::RecordingSessionHost(SessionHost& inner, UploadHistory* history,
                                           std::string program)
    : m_inner(inner), m_history(history), m_program(std::move(program)) {}

void RecordingSessionHost::SetStopOutcome(const std::string& outcome, const std::string& text) {
    std::lock_guard lock(m_mutex);
    m_stopOutcome = outcome;
    m_stopText = text;
}

void RecordingSessionHost::UploadStarted() {
    if (m_history) {
        const ImagePage page = m_inner.ActivePage();
        const SelectedCard card = m_inner.Card();
        UploadStart start{m_program,
                          InterfaceName(card.ifindex),
                          FormatDottedQuad(card.hostAddress),
                          FormatDottedQuad(DeviceAddressFor(card.hostAddress)),
                          FormatMac(m_inner.DeviceMac()),
                          m_inner.ImagePath(page),
                          page == ImagePage::System ? "system" : "data",
                          0};
        std::error_code error;
        const auto size = std::filesystem::file_size(start.imagePath, error);
        if (!error) start.size = size;
        // The record outlives the working directory it was made in.
        if (const auto absolute = std::filesystem::absolute(start.imagePath, error); !error) {
            start.imagePath = absolute.lexically_normal().string();
        }
        std::lock_guard lock(m_mutex);
        EndRow(m_stopOutcome, m_stopText);
        m_token = m_history->Begin(start);
        m_stopOutcome = kAborted;
        m_stopText = "Uploading Aborted";
        m_image.reset();
        m_size = start.size;
        m_bytesServed = m_blocks = m_resends = 0;
    }
    m_inner.UploadStarted();
}

void RecordingSessionHost::RequestAccepted(const platform::Endpoint& recorder,
                                           std::uint64_t imageSize,
                                           const std::shared_ptr<ServedImage>& image) {
    {
        // A recorder that asks again is served from the start again.
        std::lock_guard lock(m_mutex);
        m_image = image;
        m_size = imageSize;
        m_bytesServed = m_blocks = 0;
    }
    m_inner.RequestAccepted(recorder, imageSize, image);
}

void RecordingSessionHost::BlockServed(std::span<const std::uint8_t> content) {
    {
        std::lock_guard lock(m_mutex);
        m_bytesServed += content.size();
    }
    m_inner.BlockServed(content);
}

void RecordingSessionHost::BlockAcknowledged(std::uint64_t blockNo, std::uint64_t blockTotal) {
    {
        std::lock_guard lock(m_mutex);
        // An acknowledgement of a block never sent (a confused recorder) is no progress.
        if (blockNo > m_blocks && blockNo <= blockTotal) m_blocks = blockNo;
    }
    m_inner.BlockAcknowledged(blockNo, blockTotal);
}

void RecordingSessionHost::BlockResent() {
    {
        std::lock_guard lock(m_mutex);
        ++m_resends;
    }
    m_inner.BlockResent();
}

void RecordingSessionHost::UploadFinished(bool completed, const std::string& text) {
    {
        std::lock_guard lock(m_mutex);
        EndRow(completed ? kCompleted : kFailed, text);
    }
    m_inner.UploadFinished(completed, text);
}

void RecordingSessionHost::SessionEnded() {
    {
        std::lock_guard lock(m_mutex);
        EndRow(m_stopOutcome, m_stopText);
    }
    m_inner.SessionEnded();
}

void RecordingSessionHost::EndRow(const std::string& outcome, const std::string& text) {
    if (!m_token || !m_history) return;
    // Nothing served has no hash worth keeping, except an empty image served whole.
    const bool served = m_bytesServed > 0 || outcome == kCompleted;
    UploadHistory::Later sha256;
    if (served && m_image) {
        sha256 = [image = m_image, length = m_bytesServed] {
            Sha256 hash;
            const bool same = image->ReadBack(length, [&](auto bytes) { hash.Add(bytes); });
            return same ? hash.Hex() : std::string();
        };
    }
    m_history->Finish(*m_token, {outcome, text, m_size, m_bytesServed, {}, m_blocks, m_resends},
                      std::move(sha256));
    m_token.reset();
    m_image.reset();
}

}  // namespace fk::history
