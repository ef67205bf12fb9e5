#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

using Clock = std::chrono::steady_clock;

struct Datagram {
    std::vector<std::uint8_t> bytes;
    bool fromServer = false;  // came from the server's address and port 69
};

// What the fetch needs from the network, so that it runs against a scripted peer in tests.
class TftpTransport {
  public:
    virtual ~TftpTransport() = default;
    // Sends to the server's port 69; false when the send failed.
    virtual bool Send(Bytes datagram) = 0;
    // Waits at most `wait` for one datagram; `out` stays empty when none came. False on a
    // receive failure.
    virtual bool Receive(std::chrono::milliseconds wait, std::optional<Datagram>& out) = 0;
    virtual Clock::time_point Now() const = 0;
    // Faults that act on the link or the socket; a scripted peer has neither and lets them pass.
    virtual void Pause(std::chrono::microseconds /*length*/) {}
    // Takes the link down for `length`, then up again; false when that failed.
    virtual bool DropLink(std::chrono::milliseconds /*length*/) { return true; }
    // Goes on from another local port; false when that failed.
    virtual bool NewSourcePort() { return true; }
};

// Once: the final block is acknowledged when it comes again. Always: never; the simulator goes
// silent with the whole file, as a recorder whose acknowledgements cannot get through.
enum class FinalAckDrop { Once, Always };

// Deliberate faults, each fired once at a fixed point so tests can predict the server's answer.
struct Misbehaviour {
    std::optional<std::string> wrongName;  // requested first; the right name after a pause
    unsigned duplicateAcks = 1;            // every ACK is sent this many times
    std::optional<std::uint16_t> loseAck;  // that block is not acknowledged until it comes again
    bool sendError = false;                // these three go out when block 2 arrives,
    bool ackZero = false;                  // before its acknowledgement, in this order
    bool ack65535 = false;
    std::optional<std::uint16_t> stopAfter;  // silent after acknowledging that block
    bool upperCaseName = false;              // the offered name requested in upper case
    std::optional<std::uint16_t> holdAck;    // that block acknowledged only after `hold`;
    std::chrono::milliseconds hold{1000};    // repeats meanwhile are not acknowledged
    // As the TFTP clients of boot loaders do: every repeated block is acknowledged again. An
    // acknowledgement held meanwhile then stands for one delayed on the wire: it goes out just
    // before the acknowledgement of the repeat, so the server gets two.
    bool ackRepeats = false;
    std::optional<FinalAckDrop> dropFinalAck;  // the acknowledgement of the final block
    std::optional<std::uint16_t> restartAt;    // a new read request instead of this block's ACK
    std::chrono::microseconds ackDelay{0};     // a pause before every acknowledgement
    std::optional<std::uint16_t> linkDropAt;   // the link goes down when that block first
    std::chrono::milliseconds linkDrop{2000};  // arrives, for this long, before its ACK
    std::optional<std::uint16_t> newPortAt;    // that block's ACK and all after from a new port
};

struct FetchPlan {
    std::string fileName;
    Misbehaviour misbehaviour;
    std::chrono::milliseconds wrongNamePause{500};
    // Repeat the last request or ACK when no new DATA came for this long; zero: never.
    std::chrono::milliseconds retryAfter{0};
};

enum class FetchStatus { Complete, Stopped, TimedOut, Failed };

struct FetchResult {
    FetchStatus status = FetchStatus::Failed;
    std::string message;                 // why it failed or timed out
    std::vector<std::uint8_t> received;  // header block and image, as accepted in block order
    std::uint32_t blocks = 0;            // DATA blocks accepted (since the last restart)
    std::uint16_t lastBlock = 0;         // number of the last accepted block
    std::uint32_t acksSent = 0;
    std::uint32_t duplicates = 0;    // the last accepted block again, not acknowledged
    std::uint32_t stale = 0;         // any other block number than the next one
    std::uint32_t strangers = 0;     // datagrams from another address or port
    std::uint32_t malformed = 0;     // unreadable or unexpected packets from the server
    std::uint32_t serverErrors = 0;  // ERROR packets from the server
    std::uint32_t silentData = 0;    // DATA that came after going silent (--stop-after)
    std::uint32_t retries = 0;       // repeated requests or ACKs (retryAfter)
    std::uint32_t data = 0;          // every DATA packet from the server, whatever became of it
    std::uint32_t restarts = 0;      // read requests made again mid-transfer (restartAt)
    std::uint32_t linkDrops = 0;     // times the link was taken down (linkDropAt)
};

// Reads one file lock-step: the read request, then every DATA block acknowledged, until a
// block shorter than 512 bytes has been acknowledged or the deadline passes.
FetchResult FetchFile(TftpTransport& transport, const FetchPlan& plan, Clock::time_point deadline);

}  // namespace fk::sim
