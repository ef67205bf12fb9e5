#include "upgrade/tftp_engine.h"

#include <algorithm>
#include <cctype>

#include "platform/format_text.h"
#include "upgrade/transfer_percent.h"

namespace fk {

namespace {

using platform::MessageIcon;

// An empty caption asks the window for its plain box, captioned with the application title.
constexpr const char* kPlainBox = "";

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

TftpEngine::End TftpEngine::Serve(std::mutex& stateMutex) {
    using Status = platform::ReceiveResult::Status;
    while (m_links.tftpRunning.load()) {
        const auto due = SendTimeOutDue();
        const auto received = m_links.port.Receive(m_receiveBuffer, due);
        std::lock_guard lock(stateMutex);
        // A stop takes the state mutex too: once it has run, nothing of this upload is sent,
        // shown or sounded any more, whatever arrived meanwhile.
        if (!m_links.tftpRunning.load()) return End::Stopped;
        switch (received.status) {
            case Status::Stopped:
                return End::Stopped;
            case Status::Failed:
                ReportReceiveFailure(received.error);
                return End::ReceiveFailed;
            case Status::TimedOut: {
                const auto stillDue = SendTimeOutDue();
                if (!stillDue || *stillDue > Clock::now()) break;
                // Periodic: the timer stays on until a send, the limit or a stop ends it.
                m_sendTimeOutDue.store((*stillDue + m_sendTimeOut).time_since_epoch().count());
                SendTimeOutTimer();
                break;
            }
            case Status::Datagram:
                HandleDatagram({m_receiveBuffer.data(), received.length}, received.from);
                break;
        }
    }
    return End::Stopped;
}

void TftpEngine::HandleDatagram(std::span<const std::uint8_t> datagram,
                                const platform::Endpoint& from) {
    const auto kind = ParseTftpOpcode(datagram);
    if (!kind) return;
    if (*kind != TftpKind::ReadRequest && m_transferAccepted.load() && !(from == m_peer)) return;
    switch (*kind) {
        case TftpKind::ReadRequest:
            m_links.bootpRunning.store(false);
            HandleReadRequest(datagram, from);
            break;
        case TftpKind::Ack:
            HandleAck(datagram);
            break;
        case TftpKind::WriteRequest:
        case TftpKind::Data:
            break;
        case TftpKind::Other:
            StrayReport("Tftp error received");
            break;
    }
}

void TftpEngine::HandleReadRequest(std::span<const std::uint8_t> datagram,
                                   const platform::Endpoint& from) {
    MeasureImageFile();
    const std::string_view requested = ReadRequestFileName(datagram);
    const ImagePage page = m_links.host.ActivePage();
    if (!SameNameIgnoringCase(requested, m_links.host.BootFileName(page))) {
        StrayReport("Tftp file request error: file name is not same between Bootp and Tftp.");
        return;
    }
    m_bootFileName = m_links.host.BootFileName(page);
    m_servedFilePath = m_links.host.ImagePath(page);
    m_servedImage = std::make_shared<ServedImage>(m_servedFilePath, m_measured);
    m_peer = from;
    m_blockOffset = 0;
    m_links.bootpRunning.store(false);
    m_transferAccepted.store(true);
    m_finalBlockNo.reset();
    m_answeredAck.reset();
    m_furthestSent = 0;
    m_furthestAck = 0;
    m_retryCount = 0;
    m_blockNo = 1;
    m_highestServed = 1;
    m_links.host.RequestAccepted(from, m_imageSize, m_servedImage);
    SendDataBlock();
}

bool TftpEngine::MeasureImageFile() {
    m_blockTotal = 0;
    m_imageSize = 0;
    m_measured.reset();
    m_measured = MeasureFile(m_links.host.ImagePath(m_links.host.ActivePage()));
    if (!m_measured) {
        m_links.host.ShowMessage("Image file open error", "File open error", MessageIcon::Stop);
        return false;
    }
    m_imageSize = m_measured->size;
    m_fileBlocks = (m_imageSize + kTftpBlockSize - 1) / kTftpBlockSize;
    m_blockTotal = m_fileBlocks + 1;
    return true;
}

void TftpEngine::HandleAck(std::span<const std::uint8_t> datagram) {
    const auto acknowledged = AckBlockNumber(datagram);
    // Before a read request of this upload was answered there is no transfer to go on with.
    if (!acknowledged || !m_transferAccepted.load()) return;
    m_links.host.BlockAcknowledged(*acknowledged, m_blockTotal);
    if (*acknowledged == m_finalBlockNo) {
        Complete();
        return;
    }
    if (*acknowledged == m_answeredAck) return;
    // Only a block that went out and was not confirmed before counts as progress.
    const bool forward = *acknowledged > m_furthestAck && *acknowledged <= m_furthestSent;
    if (forward) {
        m_furthestAck = *acknowledged;
        m_retryCount = 0;
    }
    m_answeredAck = *acknowledged;
    m_blockNo = static_cast<std::uint16_t>(*acknowledged + 1);
    if (m_blockTotal > 0) {
        ShowPercent(TransferPercent(*acknowledged, m_blockTotal));
    }
    SendDataBlock(forward);
}

void TftpEngine::Complete() {
    SwitchTimersOff();
    if (m_blockTotal > 0) ShowPercent(100);
    m_links.tftpRunning.store(false);
    m_links.host.UploadFinished(true, "Uploading Completed");
    m_links.stopUpload();
    m_links.host.PlayCue(2);
}

void TftpEngine::SendDataBlock(bool restartTimer) {
    std::size_t length = 0;
    if (m_blockNo == 1) {
        const ImageKind kind =
            m_links.host.ActivePage() == ImagePage::System ? ImageKind::System : ImageKind::Data;
        BuildHeaderBlock(kind, static_cast<std::uint32_t>(m_imageSize),
                         std::span(m_packet).subspan<kTftpDataHeaderSize, kTftpBlockSize>());
        length = kTftpBlockSize;
    } else if (m_servedImage) {
        const auto read = ReadFileBlock();
        if (!read) return;
        length = *read;
        // A repeated acknowledgement asks for a block again: it is served, but counted once.
        if (m_blockNo == m_highestServed + 1) {
            m_highestServed = m_blockNo;
            m_links.host.BlockServed(std::span(m_packet).subspan(kTftpDataHeaderSize, length));
        }
    }
    const std::size_t packetLength = BuildDataPacket(
        m_blockNo, std::span(m_packet).subspan(kTftpDataHeaderSize, length), m_packet);
    const auto sent = m_links.port.SendTo({m_packet.data(), packetLength}, m_peer);
    m_lastPacket = m_packet;
    m_lastPacketLen = packetLength;
    m_lastPeer = m_peer;
    m_furthestSent = std::max<int>(m_furthestSent, m_blockNo);
    if (packetLength < kTftpMaxDataPacket) m_finalBlockNo = m_blockNo;
    // Also after a failed send: the resend timer repeats the block that did not go out, as the
    // recorder already has the one before and would wait for ever.
    if (restartTimer || !SendTimeOutDue()) StartSendTimeOut();
    if (sent.count < 0) Status("Data transfer error");
}

std::optional<std::size_t> TftpEngine::ReadFileBlock() {
    m_blockOffset = std::int64_t{m_blockNo} * 512 - 1024;
    if (m_blockOffset < 0) {
        ReportFileError(FormatText("File (%s) Read Error, fseek() block = %d",
                                   m_servedFilePath.c_str(), int{m_blockNo}));
        return std::nullopt;
    }
    using Outcome = ServedImage::Outcome;
    const auto block =
        m_servedImage->Read(static_cast<std::uint64_t>(m_blockOffset),
                            std::span(m_packet).subspan<kTftpDataHeaderSize, kTftpBlockSize>());
    switch (block.outcome) {
        case Outcome::Read:
            return block.length;
        case Outcome::OpenFailed:
            ReportFileError(FormatText("File (%s) Open Error (Error Code = %d)",
                                       m_servedFilePath.c_str(), block.error));
            break;
        case Outcome::Changed:
            ReportFileError(FormatText("File (%s) Read Error, the file changed during the upload",
                                       m_servedFilePath.c_str()));
            break;
        case Outcome::ReadFailed:
            // Also a read past the end, with no error code.
            Status(FormatText("File read error, fread(), %d", block.error));
            break;
    }
    return std::nullopt;
}

std::optional<TftpEngine::Clock::time_point> TftpEngine::SendTimeOutDue() const {
    const auto due = m_sendTimeOutDue.load();
    if (due == kTimerOff) return std::nullopt;
    return Clock::time_point(Clock::duration(due));
}

void TftpEngine::StartSendTimeOut() {
    m_sendTimeOutDue.store((Clock::now() + m_sendTimeOut).time_since_epoch().count());
}

void TftpEngine::AckTimeOutTimer() {
    SwitchTimersOff();
    GiveUp("TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)");
}

void TftpEngine::SendTimeOutTimer() {
    if (m_retryCount >= kMaxResends) {
        SwitchTimersOff();
        GiveUp("TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)");
        return;
    }
    // Not to m_peer: any stray datagram since the last send has moved it.
    const auto sent = m_links.port.SendTo({m_lastPacket.data(), m_lastPacketLen}, m_lastPeer);
    Status(sent.count > 0 ? FormatText("retry transfer %d", m_retryCount)
                          : std::string("Data transfer error"));
    if (sent.count > 0) m_links.host.BlockResent();
    ++m_retryCount;
}

void TftpEngine::GiveUp(const char* text) {
    m_links.tftpRunning.store(false);
    m_links.host.UploadFinished(false, text);
    m_links.stopUpload();
    Status(text);
    m_links.host.ShowMessage(text, "FlashPilot Transmission Error", MessageIcon::Stop);
}

void TftpEngine::ReportReceiveFailure(int error) {
    const auto text = FormatText("Step 2: Tftp receive data error: error code (%d)", error);
    m_links.tftpRunning.store(false);
    m_links.host.UploadFinished(false, text);
    m_links.stopUpload();
    Status(text);
    m_links.host.ShowMessage(text, kPlainBox, MessageIcon::None);
}

void TftpEngine::StrayReport(const char* text) {
    const auto now = Clock::now();
    if (m_lastStrayReport && now - *m_lastStrayReport < kStrayReportInterval) return;
    m_lastStrayReport = now;
    Status(text);
}

void TftpEngine::ReportFileError(const std::string& text) {
    Status(text);
    m_links.host.ShowMessage(text, kPlainBox, MessageIcon::None);
}

void TftpEngine::Status(const std::string& text) {
    m_shownPercent = -1;
    m_links.host.ShowStatus(text);
}

void TftpEngine::ShowPercent(int percent) {
    // Repeated acknowledgements give the same text again: the operator sees no difference.
    if (percent == m_shownPercent) return;
    // A fast transfer passes a percent every few milliseconds, quicker than anyone reads and
    // dearer for the window than the transfer itself; the texts keep their order, and 100 is
    // always shown.
    const auto now = Clock::now();
    if (m_shownPercent >= 0 && percent < 100 && now - m_percentShownAt < kProgressInterval) return;
    m_links.host.SetProgress(percent);
    m_links.host.ShowStatus(FormatText("Upload %d (%%) Completed", percent));
    m_shownPercent = percent;
    m_percentShownAt = now;
}

}  // namespace fk
