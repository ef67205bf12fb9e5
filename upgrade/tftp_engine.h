#pragma once

// The TFTP side of an upload: a lock-step server for the boot file, kept as plain state. A
// datagram in, or a deadline reached, gives packets out (through the sink) and events; nothing
// here waits, locks or knows of threads, so the session's one network thread drives it and a
// test or fuzzer drives it by hand.
//
// Transfers are kept per recorder, keyed by the recorder's address; at most maxRecorders run at
// once. DATA block 1 is a header block made here, the file follows from block 2, and an
// acknowledgement of block n is answered with block n + 1. A transfer is complete only when the
// recorder acknowledges the final short block.
//
// Only acknowledged blocks count. Lock-step brings an acknowledgement of the block on the wire or
// a repeat of the one before it, nothing else: any other acknowledgement (of a block never sent,
// or one answered long ago) moves nothing. So blocks go out one after the other, and completed
// means every block was sent and the final one acknowledged.
//
// Repeated acknowledgements. A second acknowledgement of the block whose answer is in flight
// sends nothing: answering it would put every later block on the wire twice, since the recorder
// acknowledges each copy (the duplicate-acknowledgement cascade). Only the resend time-out
// repeats a block.
//
// The resend time-out runs from the read request to the end of the transfer and restarts
// whenever the recorder confirms a block it had not confirmed before. The resend count restarts
// only there too (and at a new read request), so a transfer that no longer moves ends after
// maxResends resends whatever the recorder sends. Two blocks are treated apart:
// - the header block: a recorder may prepare its flash before it acknowledges it (erasing can
//   take minutes), so it is resent without a limit, or for headerWait when one is given;
// - the final block: when its resends run out, every block went out and the recorder may be
//   writing its flash, so the transfer ends unconfirmed rather than failed.
//
// Strangers. Once a transfer runs, only its recorder's address counts: a read request from
// another address is ignored while the transfers are full, and anything else from another
// address is dropped. The port the read request came from is the transfer's identity (RFC 1350's
// TID): a datagram from another port of the recorder's address moves nothing and is answered with
// ERROR 5 "Unknown transfer ID" (a few a second at most), so a host that holds the recorder's
// address cannot acknowledge blocks the recorder never got. A boot loader that really changed its
// source port is followed only once its transfer's port has confirmed the header block and then
// been silent for a resend interval, and the new port acknowledged the block in flight: never
// with the final block, and not when that port then sent anything else (a sweep does). A read
// request from another port while the transfer's port is still heard within a resend interval
// starts nothing: a recorder that asks again does so from its port, or after falling silent on it.
// Reports of stray datagrams (unknown opcodes, requests for another name) come at most once per
// kStrayReportInterval, so a flood cannot bury the status line.
//
// The served image is taken as it is when the request is accepted (ImageStore), and a change to
// it mid-transfer refuses every later block, so such a file is reported instead of being served
// as a mix, or cut short and reported as completed.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/udp_socket.h"
#include "upgrade/served_image.h"
#include "upgrade/session_events.h"
#include "wire/tftp_packet.h"

namespace fk {

inline constexpr int kMaxResends = 20;
inline constexpr std::chrono::milliseconds kStrayReportInterval{1000};
// "Unknown transfer ID" answers: at most this many per interval, so a flood gets few replies.
inline constexpr int kUnknownTransferIdReplies = 4;
inline constexpr std::chrono::milliseconds kUnknownTransferIdInterval{1000};
// Progress events come no closer together than this (the last one, 100, always comes).
inline constexpr std::chrono::milliseconds kProgressInterval{40};

// What the engine serves: the boot file the announcements name, and where its image is.
struct ServedFile {
    ImagePage page = ImagePage::System;
    std::string bootFileName;  // bare name, lower case
    std::string path;          // path to open
};

struct TftpOptions {
    std::chrono::milliseconds sendTimeOut{3000};
    int maxResends = kMaxResends;
    // How long the header block is resent before the transfer fails; none: until a stop.
    std::optional<std::chrono::milliseconds> headerWait;
    std::size_t maxRecorders = 1;
};

// Where the engine's packets and events go.
class TftpSink {
  public:
    virtual ~TftpSink() = default;
    virtual platform::SendResult Send(std::span<const std::uint8_t> datagram,
                                      const platform::Endpoint& to) = 0;
    // recorder: the address of the transfer the event is of; 0 for one of the whole port.
    virtual void Report(Ipv4 recorder, SessionEvent event) = 0;
};

class TftpEngine {
  public:
    using Clock = std::chrono::steady_clock;

    TftpEngine(ServedFile file, ImageStore& images, TftpSink& sink, TftpOptions options = {});

    void OnDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from,
                    Clock::time_point now);
    // Runs every timer due at now.
    void OnDeadline(Clock::time_point now);
    // The receive failed on its own: the transfers end.
    void OnReceiveFailed(int error);
    // The acknowledgement time-out, when a front end starts one: every transfer ends.
    void OnAckTimeOut();
    // The earliest timer of any transfer.
    std::optional<Clock::time_point> Deadline() const;

    // A read request (for any name) has come: the announcements have done their work.
    bool ReadRequestSeen() const { return m_readRequestSeen; }
    // A read request for the boot file has been answered.
    bool TransferAccepted() const { return !m_transfers.empty(); }
    // A transfer came to its end (completed, failed or unconfirmed), or the port failed. A
    // recorder whose transfer ended may ask again and is served afresh.
    bool Ended() const { return m_ended; }

    // Of the transfer of the recorder at address (none: the first), for tests.
    std::uint16_t BlockNo(Ipv4 address = 0) const;
    int RetryCount(Ipv4 address = 0) const;

  private:
    // One recorder's transfer; reset by each read request it makes.
    struct Transfer {
        platform::Endpoint peer;  // where the recorder's datagrams come from, and blocks go
        std::shared_ptr<ImageBlocks> image;
        std::uint64_t imageSize = 0;
        std::uint64_t blockTotal = 0;  // the header block counts; 0 for an unmeasured image
        std::uint16_t blockNo = 1;
        std::array<std::uint8_t, kTftpMaxDataPacket> lastPacket{};
        std::size_t lastPacketLen = 0;
        std::optional<std::uint16_t> lastBlockNo;   // the block of lastPacket, once one went out
        std::optional<std::uint16_t> finalBlockNo;  // the final block, once it has been built
        std::optional<std::uint16_t> answeredAck;   // the acknowledgement that blockNo answers
        int furthestAck = 0;                        // the furthest block the recorder has confirmed
        int retryCount = 0;
        int shownPercent = -1;  // the last percent reported, -1 before any
        Clock::time_point percentShownAt;
        Clock::time_point acceptedAt;
        std::optional<Clock::time_point> resendDue;
        Clock::time_point heardAt;  // the last datagram from peer
        // Another port of the recorder's address that acknowledged the block in flight: the port
        // a boot loader moved to, followed once peer has been silent for a resend interval.
        std::optional<platform::Endpoint> newPort;
        bool ended = false;
    };

    void HandleReadRequest(std::span<const std::uint8_t> datagram, const platform::Endpoint& from,
                           Clock::time_point now);
    void HandleAck(Transfer& transfer, std::uint16_t acknowledged, Clock::time_point now);
    void FromAnotherPort(Transfer& transfer, std::span<const std::uint8_t> datagram, TftpKind kind,
                         const platform::Endpoint& from, Clock::time_point now);
    // Moves the transfer to its new port when its own has been silent long enough.
    bool FollowNewPort(Transfer& transfer, Clock::time_point now);
    void RefuseTransferId(const platform::Endpoint& to, Clock::time_point now);
    void SendDataBlock(Transfer& transfer, Clock::time_point now, bool restartTimer);
    std::optional<std::size_t> ReadFileBlock(Transfer& transfer);
    void ResendTimeOut(Transfer& transfer, Clock::time_point now);
    void Finish(Transfer& transfer, SessionEvent end);
    void StrayReport(event::StrayDatagram::Kind kind, Clock::time_point now);
    void ShowPercent(Transfer& transfer, int percent, Clock::time_point now);
    const Transfer* Find(Ipv4 address) const;

    const ServedFile m_file;
    ImageStore& m_images;
    TftpSink& m_sink;
    const TftpOptions m_options;

    std::map<Ipv4, Transfer> m_transfers;
    std::array<std::uint8_t, kTftpMaxDataPacket> m_packet{};
    std::optional<Clock::time_point> m_lastStrayReport;
    Clock::time_point m_refusalsSince;
    int m_refusals = 0;
    bool m_readRequestSeen = false;
    bool m_ended = false;
};

}  // namespace fk
