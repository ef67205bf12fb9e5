#pragma once

// The TFTP server of one upload: a lock-step server on the port-69 socket. DATA block 1 is a
// header block made here, the file follows from block 2, and every acknowledgement of block n is
// answered with block n + 1. The upload ends as soon as the final short block has been sent.
//
// Transfer timers. The resend time-out (SendTimeOut) is started after every successful DATA
// send that is not the final one, so a lost packet is sent again every interval and a silent
// recorder ends the upload after 20 resends. The timer is not a GUI timer: it is a deadline
// kept here and used as the timeout of the worker's receive, so the per-block path posts
// nothing to the GUI thread and a due timer runs on the worker between two datagrams. The
// deadline is atomic so that StopUpload can switch it off from any thread. The acknowledgement
// time-out (AckTimeOut) is never started; its handler, like SendTimeOutTimer, can still be run
// from outside (the window's timer hooks) under the same state mutex as the worker.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/udp_socket.h"
#include "upgrade/session_host.h"
#include "upgrade/tftp_packet.h"

namespace fk {

inline constexpr int kMaxResends = 20;

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
    void HandleReadRequest(std::span<const std::uint8_t> datagram);
    bool MeasureImageFile();
    void HandleAck(std::span<const std::uint8_t> datagram);
    void SendDataBlock();

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
    void ShowPercent(int percent);
    void StartSendTimeOut();
    void GiveUp(const char* text);
    void ReportReceiveFailure(int error);
    // Reads the block's content straight into the packet; its length, or nothing on a failure
    // already reported.
    std::optional<std::size_t> ReadFileBlock();

    Links m_links;
    const std::chrono::milliseconds m_sendTimeOut;

    std::array<std::uint8_t, kTftpReceiveBufferSize> m_receiveBuffer{};
    platform::Endpoint m_peer;
    std::string m_bootFileName;
    std::string m_servedFilePath;
    std::uint64_t m_imageSize = 0;
    std::uint64_t m_fileBlocks = 0;
    std::uint64_t m_blockTotal = 0;
    std::uint16_t m_blockNo = 1;
    std::int64_t m_blockOffset = 0;
    std::array<std::uint8_t, kTftpMaxDataPacket> m_packet{};
    std::array<std::uint8_t, kTftpMaxDataPacket> m_lastPacket{};
    std::size_t m_lastPacketLen = 0;
    platform::Endpoint m_lastPeer;  // where the last packet went: resends follow it
    bool m_lastBlockSent = false;
    int m_retryCount = 0;
    int m_shownPercent = -1;  // the progress text now on the status line, -1 for another text
    std::atomic<bool> m_transferAccepted{false};
    std::atomic<Clock::rep> m_sendTimeOutDue{kTimerOff};
};

}  // namespace fk
