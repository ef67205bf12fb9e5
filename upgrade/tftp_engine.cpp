#include "upgrade/tftp_engine.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "upgrade/transfer_percent.h"

namespace fk {

namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

TftpEngine::TftpEngine(ServedFile file, ImageStore& images, TftpSink& sink, TftpOptions options)
    : m_file(std::move(file)), m_images(images), m_sink(sink), m_options(options) {}

void TftpEngine::OnDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from,
                            Clock::time_point now) {
    const auto kind = ParseTftpOpcode(datagram);
    if (!kind) return;
    if (*kind == TftpKind::ReadRequest) {
        m_readRequestSeen = true;
        HandleReadRequest(datagram, from, now);
        return;
    }
    const auto found = m_transfers.find(from.address);
    if (found == m_transfers.end()) {
        // Before any transfer, an error or unknown packet is told; once one runs, anything from
        // another address is a stranger's and steers nothing.
        if (*kind == TftpKind::Other && m_transfers.empty()) {
            StrayReport(event::StrayDatagram::Kind::Unknown, now);
        }
        return;
    }
    Transfer& transfer = found->second;
    if (transfer.ended) return;
    if (from.port != transfer.peer.port)
        return FromAnotherPort(transfer, datagram, *kind, from, now);
    transfer.heardAt = now;
    // Its own port speaks again: it has not moved.
    transfer.newPort.reset();
    if (*kind == TftpKind::Ack) {
        if (const auto acknowledged = AckBlockNumber(datagram))
            HandleAck(transfer, *acknowledged, now);
    } else if (*kind == TftpKind::Other) {
        StrayReport(event::StrayDatagram::Kind::Unknown, now);
    }
}

void TftpEngine::FromAnotherPort(Transfer& transfer, std::span<const std::uint8_t> datagram,
                                 TftpKind kind, const platform::Endpoint& from,
                                 Clock::time_point now) {
    RefuseTransferId(from, now);
    const auto acknowledged = kind == TftpKind::Ack ? AckBlockNumber(datagram) : std::nullopt;
    // Not before the transfer's port confirmed the header block: while a recorder prepares its
    // flash it may be silent for minutes, and anyone holding its address could step in.
    const bool blockInFlight = acknowledged && *acknowledged == transfer.blockNo &&
                               transfer.lastBlockNo == transfer.blockNo &&
                               transfer.finalBlockNo != transfer.blockNo &&
                               transfer.furthestAck > 0;
    if (blockInFlight) {
        transfer.newPort = from;
        FollowNewPort(transfer, now);
    } else if (transfer.newPort == from) {
        transfer.newPort.reset();
    }
}

bool TftpEngine::FollowNewPort(Transfer& transfer, Clock::time_point now) {
    if (!transfer.newPort || now - transfer.heardAt < m_options.sendTimeOut) return false;
    transfer.peer = *std::exchange(transfer.newPort, std::nullopt);
    transfer.heardAt = now;
    HandleAck(transfer, transfer.blockNo, now);
    return true;
}

void TftpEngine::RefuseTransferId(const platform::Endpoint& to, Clock::time_point now) {
    if (now - m_refusalsSince >= kUnknownTransferIdInterval) {
        m_refusalsSince = now;
        m_refusals = 0;
    }
    if (m_refusals >= kUnknownTransferIdReplies) return;
    ++m_refusals;
    std::array<std::uint8_t, kTftpUnknownTransferIdPacket> packet{};
    m_sink.Send({packet.data(), BuildUnknownTransferIdError(packet)}, to);
}

void TftpEngine::HandleReadRequest(std::span<const std::uint8_t> datagram,
                                   const platform::Endpoint& from, Clock::time_point now) {
    const auto existing = m_transfers.find(from.address);
    const bool known = existing != m_transfers.end();
    // Another port of the address while the transfer's port is still heard: not its recorder
    // asking again, which asks from its port or after falling silent on it.
    if (known && !existing->second.ended && from.port != existing->second.peer.port &&
        now - existing->second.heardAt < m_options.sendTimeOut)
        return;
    // While the transfers are full, only their own recorders may start afresh: a newcomer that
    // guessed the name would otherwise take the image and cost the recorder its upload.
    const auto running = std::count_if(m_transfers.begin(), m_transfers.end(),
                                       [](const auto& entry) { return !entry.second.ended; });
    if (!known && static_cast<std::size_t>(running) >= m_options.maxRecorders) return;
    if (!SameNameIgnoringCase(ReadRequestFileName(datagram), m_file.bootFileName)) {
        StrayReport(event::StrayDatagram::Kind::WrongFileName, now);
        return;
    }
    auto image = m_images.Accept(m_file.path);
    const auto size = image->Size();
    if (!size) m_sink.Report(from.address, event::ImageUnmeasurable{});
    Transfer& transfer = m_transfers[from.address];
    transfer = Transfer{};
    transfer.peer = from;
    transfer.image = image;
    transfer.imageSize = size.value_or(0);
    transfer.blockTotal = size ? (*size + kTftpBlockSize - 1) / kTftpBlockSize + 1 : 0;
    transfer.acceptedAt = now;
    transfer.heardAt = now;
    m_sink.Report(from.address, event::RequestAccepted{from, transfer.imageSize, std::move(image)});
    SendDataBlock(transfer, now, true);
}

void TftpEngine::HandleAck(Transfer& transfer, std::uint16_t acknowledged, Clock::time_point now) {
    // Lock-step brings only an acknowledgement of the block on the wire, or a repeat of the one
    // before it. Any other names a block that never went out, or one answered long ago: taking
    // it would let a forged acknowledgement skip the image and end in "completed".
    const bool inFlight = acknowledged == transfer.blockNo && acknowledged == transfer.lastBlockNo;
    const bool before = static_cast<std::uint16_t>(acknowledged + 1) == transfer.blockNo;
    if (!inFlight && !before) return;
    m_sink.Report(transfer.peer.address, event::Acknowledged{acknowledged, transfer.blockTotal});
    if (inFlight && acknowledged == transfer.finalBlockNo) {
        if (transfer.blockTotal > 0) ShowPercent(transfer, 100, now);
        Finish(transfer, event::Completed{});
        return;
    }
    if (acknowledged == transfer.answeredAck) return;
    // The header block's acknowledgement 0 asks for it again; only a confirmation is progress.
    if (inFlight) {
        transfer.furthestAck = acknowledged;
        transfer.retryCount = 0;
    }
    transfer.answeredAck = acknowledged;
    transfer.blockNo = static_cast<std::uint16_t>(acknowledged + 1);
    if (transfer.blockTotal > 0) {
        ShowPercent(transfer, TransferPercent(acknowledged, transfer.blockTotal), now);
    }
    SendDataBlock(transfer, now, inFlight);
}

void TftpEngine::SendDataBlock(Transfer& transfer, Clock::time_point now, bool restartTimer) {
    const auto content = std::span(m_packet).subspan<kTftpDataHeaderSize, kTftpBlockSize>();
    std::size_t length = 0;
    if (transfer.blockNo == 1) {
        BuildHeaderBlock(m_file.page == ImagePage::System ? ImageKind::System : ImageKind::Data,
                         static_cast<std::uint32_t>(transfer.imageSize), content);
        length = kTftpBlockSize;
    } else {
        // Nothing is sent for a block that cannot be read: the resend time-out repeats the last
        // block that went out, and its limit ends the transfer.
        const auto read = ReadFileBlock(transfer);
        if (!read) return;
        length = *read;
        m_sink.Report(transfer.peer.address, event::BlockServed{length});
    }
    const std::size_t packetLength =
        BuildDataPacket(transfer.blockNo, content.first(length), m_packet);
    const auto sent = m_sink.Send({m_packet.data(), packetLength}, transfer.peer);
    std::copy_n(m_packet.begin(), packetLength, transfer.lastPacket.begin());
    transfer.lastPacketLen = packetLength;
    transfer.lastBlockNo = transfer.blockNo;
    if (packetLength < kTftpMaxDataPacket) transfer.finalBlockNo = transfer.blockNo;
    // Also after a failed send: the resend timer repeats the block that did not go out, as the
    // recorder already has the one before and would wait for ever.
    if (restartTimer || !transfer.resendDue) transfer.resendDue = now + m_options.sendTimeOut;
    if (sent.count < 0) {
        transfer.shownPercent = -1;
        m_sink.Report(transfer.peer.address, event::SendFailed{});
    }
}

std::optional<std::size_t> TftpEngine::ReadFileBlock(Transfer& transfer) {
    using Kind = event::FileError::Kind;
    const auto refuse = [&](Kind kind, int error) {
        transfer.shownPercent = -1;
        m_sink.Report(transfer.peer.address,
                      event::FileError{kind, m_file.path, error, transfer.blockNo});
        return std::nullopt;
    };
    const std::int64_t offset =
        std::int64_t{transfer.blockNo} * kTftpBlockSize - 2 * std::int64_t{kTftpBlockSize};
    if (offset < 0) return refuse(Kind::SeekFailed, 0);
    using Outcome = ImageBlocks::Outcome;
    const auto block =
        transfer.image->Read(static_cast<std::uint64_t>(offset),
                             std::span(m_packet).subspan<kTftpDataHeaderSize, kTftpBlockSize>());
    switch (block.outcome) {
        case Outcome::Read:
            return block.length;
        case Outcome::OpenFailed:
            return refuse(Kind::OpenFailed, block.error);
        case Outcome::NotRegular:
            return refuse(Kind::NotRegular, 0);
        case Outcome::Changed:
            return refuse(Kind::Changed, 0);
        case Outcome::ReadFailed:
            // Also a read past the end, with no error code.
            return refuse(Kind::ReadFailed, block.error);
    }
    return std::nullopt;
}

void TftpEngine::OnDeadline(Clock::time_point now) {
    for (auto& [address, transfer] : m_transfers) {
        if (transfer.ended || !transfer.resendDue || *transfer.resendDue > now) continue;
        // Periodic: the timer stays on until a send, the limit or the end stops it.
        transfer.resendDue = *transfer.resendDue + m_options.sendTimeOut;
        if (!FollowNewPort(transfer, now)) ResendTimeOut(transfer, now);
    }
}

void TftpEngine::ResendTimeOut(Transfer& transfer, Clock::time_point now) {
    const bool header = transfer.furthestAck == 0;
    if (header) {
        if (m_options.headerWait && now - transfer.acceptedAt >= *m_options.headerWait) {
            Finish(transfer, event::Failed{event::Failed::Reason::HeaderWait, 0});
            return;
        }
    } else if (transfer.retryCount >= m_options.maxResends) {
        const bool finalInFlight =
            transfer.finalBlockNo == transfer.blockNo && transfer.lastBlockNo == transfer.blockNo;
        if (finalInFlight) {
            Finish(transfer, event::Unconfirmed{});
        } else {
            Finish(transfer, event::Failed{event::Failed::Reason::SendTimeOut, 0});
        }
        return;
    }
    const auto sent =
        m_sink.Send({transfer.lastPacket.data(), transfer.lastPacketLen}, transfer.peer);
    transfer.shownPercent = -1;
    m_sink.Report(transfer.peer.address, event::Resent{transfer.retryCount, sent.count > 0});
    ++transfer.retryCount;
}

void TftpEngine::OnReceiveFailed(int error) {
    for (auto& [address, transfer] : m_transfers) transfer.resendDue.reset();
    m_ended = true;
    m_sink.Report(0, event::Failed{event::Failed::Reason::ReceiveFailed, error});
}

void TftpEngine::OnAckTimeOut() {
    for (auto& [address, transfer] : m_transfers) transfer.resendDue.reset();
    m_ended = true;
    m_sink.Report(0, event::Failed{event::Failed::Reason::AckTimeOut, 0});
}

std::optional<TftpEngine::Clock::time_point> TftpEngine::Deadline() const {
    std::optional<Clock::time_point> earliest;
    for (const auto& [address, transfer] : m_transfers) {
        if (transfer.ended || !transfer.resendDue) continue;
        if (!earliest || *transfer.resendDue < *earliest) earliest = transfer.resendDue;
    }
    return earliest;
}

void TftpEngine::Finish(Transfer& transfer, SessionEvent end) {
    transfer.ended = true;
    transfer.resendDue.reset();
    m_ended = true;
    m_sink.Report(transfer.peer.address, std::move(end));
}

void TftpEngine::StrayReport(event::StrayDatagram::Kind kind, Clock::time_point now) {
    if (m_lastStrayReport && now - *m_lastStrayReport < kStrayReportInterval) return;
    m_lastStrayReport = now;
    for (auto& [address, transfer] : m_transfers) transfer.shownPercent = -1;
    m_sink.Report(0, event::StrayDatagram{kind});
}

void TftpEngine::ShowPercent(Transfer& transfer, int percent, Clock::time_point now) {
    // Repeated acknowledgements give the same percent again: the operator sees no difference.
    if (percent == transfer.shownPercent) return;
    // A fast transfer passes a percent every few milliseconds, quicker than anyone reads and
    // dearer for the window than the transfer itself; 100 always comes.
    if (transfer.shownPercent >= 0 && percent < 100 &&
        now - transfer.percentShownAt < kProgressInterval) {
        return;
    }
    m_sink.Report(transfer.peer.address, event::Progress{percent});
    transfer.shownPercent = percent;
    transfer.percentShownAt = now;
}

const TftpEngine::Transfer* TftpEngine::Find(Ipv4 address) const {
    if (m_transfers.empty()) return nullptr;
    if (address == 0) return &m_transfers.begin()->second;
    const auto found = m_transfers.find(address);
    return found == m_transfers.end() ? nullptr : &found->second;
}

std::uint16_t TftpEngine::BlockNo(Ipv4 address) const {
    const Transfer* transfer = Find(address);
    return transfer ? transfer->blockNo : 1;
}

int TftpEngine::RetryCount(Ipv4 address) const {
    const Transfer* transfer = Find(address);
    return transfer ? transfer->retryCount : 0;
}

}  // namespace fk
