#pragma once

// The TFTP server of one upload: a lock-step server on the port-69 socket. DATA block 1 is a
// header block made here, the file follows from block 2, and an acknowledgement of block n is
// answered with block n + 1. The upload is complete only when the recorder acknowledges the
// final short block: until then that block is resent like any other, and a lost one ends in the
// send time-out, never in "Uploading Completed".
//
// Repeated acknowledgements. A second acknowledgement of the block whose answer is in flight
// sends nothing: answering it would put every later block on the wire twice, since the recorder
// acknowledges each copy (the duplicate-acknowledgement cascade). Only the resend time-out
// repeats a block.
//
// Transfer timers. The resend time-out (SendTimeOut) runs from the read request to the end of
// the transfer and restarts whenever the recorder confirms a block it had not confirmed before,
// so a lost packet is sent again every interval. The resend count restarts only there too (and
// at a new read request): acknowledgements that go back, or repeat, cannot keep a transfer that
// no longer moves alive, so an unreadable block ends in the send time-out after 20 resends
// whatever the recorder sends. The timer is not a GUI timer: it is a deadline
// kept here and used as the timeout of the worker's receive, so the per-block path posts
// nothing to the GUI thread and a due timer runs on the worker between two datagrams. The
// deadline is atomic so that StopUpload can switch it off from any thread. The acknowledgement
// time-out (AckTimeOut) is never started; its handler, like SendTimeOutTimer, can still be run
// from outside (the window's timer hooks) under the same state mutex as the worker.
//
// Strangers. Once a read request has been accepted, acknowledgements and other packets count
// only from the address and port that made it: anything else on port 69 (a second client, a
// flood of junk) could otherwise steer the lock-step or redirect the DATA. A read request from
// anyone is still handled, so a recorder that restarts from a new port is served afresh.
// Reports of stray datagrams (unknown opcodes, requests for another name) are shown at most once
// per kStrayReportInterval, so a flood cannot bury the status line or queue error cues.
//
// The served file's identity (device, inode, size, modification time) is taken when the request
// is accepted, and ServedImage refuses every block once the file is replaced, truncated, grown
// or rewritten, so such a file is reported instead of being served as a mix, or cut short and
// reported as completed.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/udp_socket.h"
#include "upgrade/served_image.h"
#include "upgrade/session_host.h"
#include "upgrade/tftp_packet.h"

namespace fk {

inline constexpr int kMaxResends = 20;
inline constexpr std::chrono::milliseconds kStrayReportInterval{1000};
// Progress texts come no closer together than this (the last one, 100, always shows).
inline constexpr std::chrono::milliseconds kProgressInterval{40};

class TftpEngine {
  public:
    using Clock = std::chrono::steady_clock;

    // What the engine works with; all of it outlives the engine.
    struct Links {
        platform::DatagramPort& port;
        SessionHost& host;
        std::atomic<bool>& bootpRunning;
        std::atomic<bool>& tftpRunning;
        std::function<void()> stopUpload;  // the session's StopUpload for this upload
    };

    TftpEngine(Links links, std::chrono::milliseconds sendTimeOut)
        : m_links(std::move(links)), m_sendTimeOut(sendTimeOut) {}

    enum class End { Stopped, ReceiveFailed };

    // The worker loop: runs until the run flag is cleared, the port is closed or a receive
    // fails on its own. stateMutex guards the transfer state against the timer hooks; it is
    // never held while the worker waits for a datagram.
    End Serve(std::mutex& stateMutex);

    // One received datagram from a peer. Callers hold the state mutex.
    void HandleDatagram(std::span<const std::uint8_t> datagram, const platform::Endpoint& from);
    void HandleReadRequest(std::span<const std::uint8_t> datagram, const platform::Endpoint& from);
    bool MeasureImageFile();
    void HandleAck(std::span<const std::uint8_t> datagram);
    // Builds and sends block m_blockNo. The resend time-out restarts when restartTimer is set,
    // and starts when it is off; otherwise it keeps its deadline.
    void SendDataBlock(bool restartTimer = true);

    // Transfer timers.
    void SwitchTimersOff() { m_sendTimeOutDue.store(kTimerOff); }  // any thread
    std::optional<Clock::time_point> SendTimeOutDue() const;
    void AckTimeOutTimer();
    void SendTimeOutTimer();

    std::uint16_t BlockNo() const { return m_blockNo; }
    int RetryCount() const { return m_retryCount; }
    // A read request for the boot file has been answered in this upload.
    bool TransferAccepted() const { return m_transferAccepted.load(); }

  private:
    static constexpr Clock::rep kTimerOff = 0;

    void Status(const std::string& text);
    void StrayReport(const char* text);
    void ReportFileError(const std::string& text);
    void ShowPercent(int percent);
    void StartSendTimeOut();
    void Complete();
    void GiveUp(const char* text);
    void ReportReceiveFailure(int error);
    // Reads the block's content straight into the packet; its length, or nothing on a failure
    // already reported.
    std::optional<std::size_t> ReadFileBlock();

    Links m_links;
    const std::chrono::milliseconds m_sendTimeOut;

    std::array<std::uint8_t, kTftpReceiveBufferSize> m_receiveBuffer{};
    platform::Endpoint m_peer;  // who made the accepted read request
    std::string m_bootFileName;
    std::string m_servedFilePath;
    std::uint64_t m_imageSize = 0;
    std::optional<FileIdentity> m_measured;      // by the last MeasureImageFile
    std::shared_ptr<ServedImage> m_servedImage;  // of the accepted request
    std::uint64_t m_fileBlocks = 0;
    std::uint64_t m_blockTotal = 0;
    std::uint16_t m_blockNo = 1;
    std::uint16_t m_highestServed = 1;  // the last block whose content went to BlockServed
    std::int64_t m_blockOffset = 0;
    std::array<std::uint8_t, kTftpMaxDataPacket> m_packet{};
    std::array<std::uint8_t, kTftpMaxDataPacket> m_lastPacket{};
    std::size_t m_lastPacketLen = 0;
    platform::Endpoint m_lastPeer;  // where the last packet went: resends follow it
    // Where the transfer stands; reset by every accepted read request.
    std::optional<std::uint16_t> m_finalBlockNo;  // the final block, once it has been built
    std::optional<std::uint16_t> m_answeredAck;   // the acknowledgement that m_blockNo answers
    int m_furthestSent = 0;                       // the furthest block built so far
    int m_furthestAck = 0;  // the furthest of those the recorder has confirmed
    int m_retryCount = 0;
    int m_shownPercent = -1;  // the progress text now on the status line, -1 for another text
    Clock::time_point m_percentShownAt;
    std::optional<Clock::time_point> m_lastStrayReport;
    std::atomic<bool> m_transferAccepted{false};
    std::atomic<Clock::rep> m_sendTimeOutDue{kTimerOff};
};

}  // namespace fk
