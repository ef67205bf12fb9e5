// The TFTP engine against whatever peers may send, whenever, and whatever may happen to the image
// meanwhile; the image is kept in memory and the clock is virtual, so an input runs in
// microseconds. The input is a 4-byte setup and then events, each [tag][length][payload]:
//   tag & 3 == 0: a datagram (the payload, as received) from the recorder's address; tag bits
//                 2-3 pick one of four ports
//   tag & 3 == 1: the same from another address; bits 2-3 pick which address and port
//   tag & 3 == 2: bits 2-3: 0 or 1: the resend timer fires (when one runs); 2: the card starts
//                 or stops refusing sends; 3: the acknowledgement time-out (even length) or a
//                 failed receive (odd length)
//   tag & 3 == 3: the image changes: payload[0] & 7 picks how (replaced, cut or grown,
//                 removed, replaced by a directory, rewritten in place, made unreadable or
//                 readable again, touched, replaced by a copy), payload[1..3] a new size
//                 (times 4 with payload[0] bit 4), payload[0] the new content
//   tag >> 4: how long passes on the clock before the event (kSteps)
// Setup: byte 0 bit 0 picks the data page, bit 1 multiplies the size by 4 (to reach block
// numbers near the 16-bit wrap), bits 2-3 the header wait (none, 0, 5 s, 60 s); bytes 1..3 the
// image size.
//
// After every event: the engine has sent at most one DATA packet, 4..516 bytes long, for the
// block the event asks for, to where the recorder now is; block 1 is the header block (magic,
// version, the page's kind, the size measured when the request was accepted, zeros); block
// b >= 2 carries exactly the bytes at (b - 2) x 512 of the image as it was when accepted, and
// is never sent once the image changed, past its end, or for block 0 (before the file), a
// FileError being reported instead. The first address whose read request is accepted is the
// recorder: nothing from any other address sends anything or moves anything, and a read
// request from another address is ignored. The port of the accepted request is the transfer's:
// anything from another port of the recorder's address moves nothing and is answered with ERROR 5
// (at most four a second); a read request from there is ignored while the transfer's port was heard
// within the resend interval. Another port that acknowledged the block in flight (not the final
// one, and only once the header block was confirmed) is followed once the transfer's port has been
// silent for the resend interval, at that acknowledgement or at the next timer, unless it sent
// anything else meanwhile or the transfer's port spoke again.
// Only an acknowledgement of the block on the wire, or of the one before it, counts: any other
// sends and reports nothing. A repeat of the acknowledgement just answered sends nothing (of the
// header block's acknowledgement 0, only the first brings it again). A resend repeats the last
// packet byte for byte, to where the recorder now is. The header block is resent without a limit,
// or until the header wait has passed (Failed, HeaderWait); any other block stops at the limit,
// counted afresh only when the recorder confirms a block sent and not confirmed before, or asks
// anew, and the transfer then ends Unconfirmed when the final block is the one in flight and
// Failed (SendTimeOut) otherwise. The upload completes only on the acknowledgement of the final
// block sent, and nothing goes out then: completed implies that every block of the image as
// accepted went out, one after the other, and the final one was acknowledged. Progress stays within
// 0..99 and reaches 100 only at completion. Stray datagrams are reported at most once a second. The
// upload ends exactly once, and while it runs a timer is always set. Once the input is spent, the
// timers alone must end the upload, unless the header block waits without a limit.

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "fuzz/memory_image_store.h"
#include "fuzz_require.h"
#include "upgrade/tftp_engine.h"

namespace {

using namespace std::chrono_literals;
using fk::platform::Endpoint;
using Clock = fk::TftpEngine::Clock;

constexpr fk::Ipv4 kRecorderAddress = 0xC0A84D64;
constexpr std::array<std::uint16_t, 4> kRecorderPorts{2070, 2071, 49152, 69};
constexpr std::array<Endpoint, 4> kOthers{Endpoint{0xC0A84D07, 2070}, Endpoint{0xC0A84D07, 4444},
                                          Endpoint{0xC0A84D65, 2070}, Endpoint{0xC0A84D65, 69}};
constexpr std::array<std::chrono::milliseconds, 16> kSteps{
    0ms,   0ms,   1ms,   5ms,    20ms,   39ms,   40ms, 41ms,
    100ms, 500ms, 999ms, 1000ms, 2999ms, 3000ms, 10s,  60s};
constexpr std::array<std::optional<std::chrono::milliseconds>, 4> kHeaderWaits{std::nullopt, 0ms,
                                                                               5s, 60s};
constexpr std::chrono::milliseconds kSendTimeOut = 3000ms;
constexpr std::uint8_t kErrorOpcode = 5;

std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

std::uint64_t SizeFrom(std::span<const std::uint8_t> bytes, bool large) {
    const std::uint64_t size =
        std::uint64_t{bytes[0]} << 16 | std::uint64_t{bytes[1]} << 8 | bytes[2];
    return large ? size * 4 : size;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Where Event stands among the session's events.
template <class Event, class... Events>
constexpr std::size_t IndexIn(const std::variant<Events...>*) {
    std::size_t index = 0;
    (void)((std::is_same_v<Event, Events> || (++index, false)) || ...);
    return index;
}

template <class Event>
const Event* FirstOf(const std::vector<fk::SessionEvent>& events) {
    for (const auto& event : events)
        if (const auto* found = std::get_if<Event>(&event)) return found;
    return nullptr;
}

// The engine, its image and its sink, and the transfer as the recorder's side sees it.
class Harness final : public fk::TftpSink {
  public:
    Harness(bool dataPage, std::uint64_t size, std::optional<std::chrono::milliseconds> headerWait)
        : m_dataPage(dataPage),
          m_headerWait(headerWait),
          m_images(dataPage ? "/img/Font.Fnt" : "/img/FW_2.bin"),
          m_engine(fk::ServedFile{dataPage ? fk::ImagePage::Data : fk::ImagePage::System,
                                  dataPage ? "font.fnt" : "fw_2.bin",
                                  dataPage ? "/img/Font.Fnt" : "/img/FW_2.bin"},
                   m_images, *this, fk::TftpOptions{kSendTimeOut, fk::kMaxResends, headerWait, 1}) {
        m_images.Create(size, 0);
        m_events.reserve(8);
    }

    fk::platform::SendResult Send(std::span<const std::uint8_t> datagram,
                                  const Endpoint& to) override {
        if (datagram.size() >= 2 && datagram[1] == kErrorOpcode) {
            std::array<std::uint8_t, fk::kTftpUnknownTransferIdPacket> refusal{};
            fk::BuildUnknownTransferIdError(refusal);
            FUZZ_REQUIRE(
                std::equal(datagram.begin(), datagram.end(), refusal.begin(), refusal.end()));
            m_refusalTo = to;
            ++m_refusals;
            return {static_cast<std::ptrdiff_t>(datagram.size()), 0};
        }
        FUZZ_REQUIRE(datagram.size() <= m_sent.size());
        std::copy(datagram.begin(), datagram.end(), m_sent.begin());
        m_sentLength = datagram.size();
        m_sentTo = to;
        ++m_sends;
        if (m_refusing) return {-1, ENETUNREACH};
        return {static_cast<std::ptrdiff_t>(datagram.size()), 0};
    }
    void Report(fk::Ipv4, fk::SessionEvent event) override {
        ++m_counts[event.index()];
        m_events.push_back(std::move(event));
    }

    bool Ended() const { return m_ended; }

    void Pass(std::chrono::milliseconds step) { m_now += step; }

    void Datagram(std::span<const std::uint8_t> datagram, const Endpoint& from) {
        Begin();
        const auto kind = fk::ParseTftpOpcode(datagram);
        const bool fromRecorder = m_recorder && from.address == *m_recorder;
        m_readRequestSeen |= kind == fk::TftpKind::ReadRequest;
        const bool anotherPort = kind && fromRecorder && !m_ended && from.port != m_peer.port;
        if (kind == fk::TftpKind::ReadRequest && anotherPort && m_now - m_heardAt < kSendTimeOut) {
            // The transfer's port is still heard: this is not its recorder asking again.
            m_engine.OnDatagram(datagram, from, m_now);
            FUZZ_REQUIRE(m_sends == 0 && m_refusals == 0 && m_events.empty());
            End();
            return;
        }
        if (kind == fk::TftpKind::ReadRequest && (!m_recorder || fromRecorder)) {
            ReadRequest(datagram, from);
            return;
        }
        m_engine.OnDatagram(datagram, from, m_now);
        if (anotherPort) {
            AnotherPort(datagram, from);
            End();
            return;
        }
        if (kind && fromRecorder && !m_ended) {
            m_heardAt = m_now;
            m_newPort.reset();
        }
        const bool acknowledgement = kind == fk::TftpKind::Ack && fk::AckBlockNumber(datagram);
        if (acknowledgement && fromRecorder && !m_ended) m_lastAck = fk::AckBlockNumber(datagram);
        if (!fromRecorder || m_ended) {
            // Strangers steer nothing; before any transfer, an unknown opcode may be told.
            FUZZ_REQUIRE(m_sends == 0 && m_refusals == 0);
            FUZZ_REQUIRE(m_events.size() ==
                         static_cast<std::size_t>(Count<fk::event::StrayDatagram>()));
            FUZZ_REQUIRE(m_events.empty() || (!m_recorder && kind == fk::TftpKind::Other));
        } else if (acknowledgement) {
            Acknowledgement(*fk::AckBlockNumber(datagram), from);
        } else {
            FUZZ_REQUIRE(m_sends == 0);
            FUZZ_REQUIRE(m_events.size() ==
                         static_cast<std::size_t>(Count<fk::event::StrayDatagram>()));
        }
        End();
    }

    // The session runs the timers when the earliest comes due.
    void Timer() {
        const auto due = m_engine.Deadline();
        if (!due) return;
        Begin();
        m_now = std::max(m_now, *due);
        const bool header = m_furthestAck == 0;
        const bool finalInFlight = m_finalBlock == m_inFlight && m_lastSent == m_inFlight;
        m_engine.OnDeadline(m_now);
        if (m_newPort && m_now - m_heardAt >= kSendTimeOut) {
            Follow();
        } else if (header && m_headerWait && m_now - m_acceptedAt >= *m_headerWait) {
            Ending(fk::event::Failed{fk::event::Failed::Reason::HeaderWait});
        } else if (!header && m_resends >= fk::kMaxResends) {
            if (finalInFlight) {
                Ending(fk::event::Unconfirmed{});
            } else {
                Ending(fk::event::Failed{fk::event::Failed::Reason::SendTimeOut});
            }
        } else {
            FUZZ_REQUIRE(m_sends == 1 && m_events.size() == 1);
            FUZZ_REQUIRE(m_sentLength == m_lastPacketLength &&
                         std::equal(m_lastPacket.begin(), m_lastPacket.begin() + m_lastPacketLength,
                                    m_sent.begin()));
            FUZZ_REQUIRE(m_sentTo == m_peer);
            const auto* resent = FirstOf<fk::event::Resent>(m_events);
            FUZZ_REQUIRE(resent && resent->retry == m_resends && resent->sent == !m_refusing);
            ++m_resends;
        }
        End();
    }

    void ToggleRefusing() { m_refusing = !m_refusing; }

    void Stop(bool receiveFailed) {
        Begin();
        if (receiveFailed) {
            m_engine.OnReceiveFailed(EIO);
            Ending(fk::event::Failed{fk::event::Failed::Reason::ReceiveFailed, EIO});
        } else {
            m_engine.OnAckTimeOut();
            Ending(fk::event::Failed{fk::event::Failed::Reason::AckTimeOut});
        }
        End();
    }

    void ChangeImage(std::span<const std::uint8_t> payload) {
        if (payload.size() < 4) return;
        const std::uint64_t size = SizeFrom(payload.subspan(1), payload[0] & 0x10);
        const fk::fuzzing::MemoryFile* before = m_images.File();
        const std::uint64_t writesBefore = before ? before->writes : 0;
        switch (payload[0] & 7) {
            case 0:
                m_images.Create(size, payload[0]);
                break;
            case 1:
                m_images.Resize(size);
                break;
            case 2:
                m_images.Remove();
                break;
            case 3:
                m_images.ReplaceWithDirectory();
                break;
            case 4:
                m_images.Rewrite(payload[0]);
                break;
            case 5:
                // Permissions are no part of the content: the image may go on, or not.
                if (before) m_images.SetReadable(!before->readable);
                m_readableToggled = true;
                return;
            case 6:
                m_images.Touch();
                break;
            default:
                m_images.ReplaceWithCopy();
                break;
        }
        // A change to nothing (a directory cut) is no change.
        const fk::fuzzing::MemoryFile* after = m_images.File();
        m_changed |= after != before || (after && after->writes != writesBefore);
    }

    // Once the input is spent, the recorder says nothing more: the resend timer alone ends the
    // transfer, unless the header block waits without a limit.
    void Drain() {
        if (m_ended || !m_recorder) return;
        const bool waitsForEver = m_furthestAck == 0 && !m_headerWait;
        // A new port followed meanwhile starts the resends afresh, once: twice the limit.
        const int firings =
            m_furthestAck == 0
                ? (m_headerWait ? static_cast<int>(*m_headerWait / kSendTimeOut) + 2 : 3)
                : 2 * (fk::kMaxResends + 1);
        for (int n = 0; n < firings && !m_ended; ++n) Timer();
        FUZZ_REQUIRE(m_ended != waitsForEver);
    }

  private:
    template <class Event>
    int Count() const {
        return m_counts[IndexIn<Event>(static_cast<const fk::SessionEvent*>(nullptr))];
    }

    void Begin() {
        m_sends = m_refusals = 0;
        m_events.clear();
        m_counts.fill(0);
    }

    // The checks made after every event.
    void End() {
        const bool completed = Count<fk::event::Completed>() > 0;
        const int endings = Count<fk::event::Completed>() + Count<fk::event::Failed>() +
                            Count<fk::event::Unconfirmed>();
        for (const auto& event : m_events) {
            if (const auto* progress = std::get_if<fk::event::Progress>(&event)) {
                FUZZ_REQUIRE(progress->percent >= 0 && progress->percent <= (completed ? 100 : 99));
                FUZZ_REQUIRE(!completed || progress->percent == 100);
            } else if (event.index() == IndexIn<fk::event::StrayDatagram>(&event)) {
                FUZZ_REQUIRE(!m_lastStray || m_now - *m_lastStray >= fk::kStrayReportInterval);
                m_lastStray = m_now;
            }
        }
        FUZZ_REQUIRE(endings == (m_ended && !m_endedBefore ? 1 : 0));
        // Completed: every block of the image as accepted went out, the final one acknowledged.
        if (completed) {
            FUZZ_REQUIRE(m_accepted.has_value());
            const auto finalBlock =
                static_cast<std::uint16_t>(m_accepted->size / fk::kTftpBlockSize + 2);
            FUZZ_REQUIRE(m_everySentUpTo == finalBlock && m_lastAck == finalBlock);
        }
        m_endedBefore = m_ended;
        FUZZ_REQUIRE(m_sends <= 1);
        FUZZ_REQUIRE(m_engine.Ended() == m_ended);
        FUZZ_REQUIRE(m_engine.ReadRequestSeen() == m_readRequestSeen);
        // A running transfer always has a timer that ends it; an ended one has none.
        FUZZ_REQUIRE(m_engine.Deadline().has_value() == (m_recorder.has_value() && !m_ended));
    }

    // The ending this event must bring, and nothing else.
    void Ending(const fk::SessionEvent& expected) {
        FUZZ_REQUIRE(m_sends == 0 && m_events.size() == 1);
        FUZZ_REQUIRE(m_events[0].index() == expected.index());
        if (const auto* failed = std::get_if<fk::event::Failed>(&expected)) {
            const auto& got = std::get<fk::event::Failed>(m_events[0]);
            FUZZ_REQUIRE(got.reason == failed->reason && got.error == failed->error);
        }
        m_ended = true;
    }

    // A datagram from another port of the recorder's address, the transfer running.
    void AnotherPort(std::span<const std::uint8_t> datagram, const Endpoint& from) {
        if (m_now - m_refusalsSince >= fk::kUnknownTransferIdInterval) {
            m_refusalsSince = m_now;
            m_refusalCount = 0;
        }
        const bool refused = m_refusalCount < fk::kUnknownTransferIdReplies;
        m_refusalCount += refused;
        FUZZ_REQUIRE(m_refusals == (refused ? 1 : 0));
        FUZZ_REQUIRE(!refused || m_refusalTo == from);
        const auto acknowledged = fk::ParseTftpOpcode(datagram) == fk::TftpKind::Ack
                                      ? fk::AckBlockNumber(datagram)
                                      : std::nullopt;
        const bool blockInFlight = acknowledged == m_inFlight && m_lastSent == m_inFlight &&
                                   m_finalBlock != m_inFlight && m_furthestAck > 0;
        if (blockInFlight) {
            m_newPort = from;
            if (m_now - m_heardAt >= kSendTimeOut) return Follow();
        } else if (m_newPort == from) {
            m_newPort.reset();
        }
        FUZZ_REQUIRE(m_sends == 0 && m_events.empty());
    }

    // The transfer moves to the port that acknowledged the block in flight.
    void Follow() {
        m_peer = *std::exchange(m_newPort, std::nullopt);
        m_heardAt = m_now;
        Acknowledgement(m_inFlight, m_peer);
    }

    void ReadRequest(std::span<const std::uint8_t> datagram, const Endpoint& from) {
        const bool named = SameNameIgnoringCase(fk::ReadRequestFileName(datagram),
                                                m_dataPage ? "font.fnt" : "fw_2.bin");
        const fk::fuzzing::MemoryFile* file = m_images.File();
        const bool measurable = file && file->readable;
        m_engine.OnDatagram(datagram, from, m_now);
        if (!named) {
            FUZZ_REQUIRE(m_sends == 0);
            FUZZ_REQUIRE(m_events.size() ==
                         static_cast<std::size_t>(Count<fk::event::StrayDatagram>()));
            End();
            return;
        }
        m_recorder = from.address;
        m_peer = from;
        m_heardAt = m_now;
        m_newPort.reset();
        m_accepted = measurable ? std::optional(*file) : std::nullopt;
        m_changed = m_readableToggled = false;
        m_acceptedAt = m_now;
        m_inFlight = 1;
        m_answered.reset();
        m_finalBlock.reset();
        m_lastSent.reset();
        m_lastAck.reset();
        m_everySentUpTo = 0;
        m_furthestAck = m_resends = 0;
        m_highestServed = 1;
        const auto* accepted = FirstOf<fk::event::RequestAccepted>(m_events);
        FUZZ_REQUIRE(accepted && accepted->recorder == from && accepted->image);
        FUZZ_REQUIRE(accepted->imageSize == (m_accepted ? m_accepted->size : 0));
        FUZZ_REQUIRE(Count<fk::event::ImageUnmeasurable>() == (m_accepted ? 0 : 1));
        m_image = accepted->image;
        BlockAnswer(1);
        // The resend time-out runs from the request.
        FUZZ_REQUIRE(m_engine.Deadline() == m_now + kSendTimeOut);
        End();
    }

    void Acknowledgement(std::uint16_t acknowledged, const Endpoint& from) {
        FUZZ_REQUIRE(from == m_peer);
        // Lock-step brings nothing else: a forged acknowledgement moves nothing.
        const bool onTheWire = acknowledged == m_inFlight && m_lastSent == m_inFlight;
        if (!onTheWire && static_cast<std::uint16_t>(acknowledged + 1) != m_inFlight) {
            FUZZ_REQUIRE(m_sends == 0 && m_events.empty());
            return;
        }
        const auto* seen = FirstOf<fk::event::Acknowledged>(m_events);
        FUZZ_REQUIRE(seen && seen->blockNo == acknowledged && seen->blockTotal == BlockTotal());
        if (onTheWire && acknowledged == m_finalBlock) {
            FUZZ_REQUIRE(m_sends == 0);
            FUZZ_REQUIRE(Count<fk::event::Completed>() == 1);
            FUZZ_REQUIRE(std::holds_alternative<fk::event::Completed>(m_events.back()));
            if (BlockTotal() > 0) FUZZ_REQUIRE(Count<fk::event::Progress>() == 1);
            m_ended = true;
            CheckRecord();
            return;
        }
        if (acknowledged == m_answered) {
            FUZZ_REQUIRE(m_sends == 0 && m_events.size() == 1);
            return;
        }
        if (onTheWire) {
            m_furthestAck = acknowledged;
            m_resends = 0;
        }
        m_answered = acknowledged;
        m_inFlight = static_cast<std::uint16_t>(acknowledged + 1);
        BlockAnswer(m_inFlight);
    }

    // The answer to a request for block, sent or refused.
    void BlockAnswer(std::uint16_t block) {
        if (!MaySend(block)) {
            FUZZ_REQUIRE(m_sends == 0);
            FUZZ_REQUIRE(Count<fk::event::FileError>() == 1);
            FUZZ_REQUIRE(Count<fk::event::BlockServed>() == 0);
            return;
        }
        // Only a read refused without any change (a file made unreadable meanwhile) may send
        // nothing where the image allows it.
        if (m_sends == 0) {
            FUZZ_REQUIRE(m_readableToggled && Count<fk::event::FileError>() == 1);
            return;
        }
        FUZZ_REQUIRE(Count<fk::event::FileError>() == 0);
        FUZZ_REQUIRE(m_sentTo == m_peer);
        const auto packet = std::span(m_sent).first(m_sentLength);
        CheckBlock(packet, block);
        const bool firstTime = block >= 2 && block == m_highestServed + 1;
        const auto* served = FirstOf<fk::event::BlockServed>(m_events);
        FUZZ_REQUIRE((served != nullptr) == firstTime);
        FUZZ_REQUIRE(!served || served->length == packet.size() - fk::kTftpDataHeaderSize);
        if (firstTime) m_highestServed = block;
        if (block == m_everySentUpTo + 1) m_everySentUpTo = block;
        m_lastSent = block;
        FUZZ_REQUIRE(Count<fk::event::SendFailed>() == (m_refusing ? 1 : 0));
        if (packet.size() < fk::kTftpMaxDataPacket) m_finalBlock = block;
        std::copy(packet.begin(), packet.end(), m_lastPacket.begin());
        m_lastPacketLength = packet.size();
    }

    // Whether the image as accepted still holds block.
    bool MaySend(std::uint16_t block) const {
        if (block == 1) return true;
        if (block == 0 || !m_accepted || m_accepted->directory || m_changed) return false;
        return (std::uint64_t{block} - 2) * fk::kTftpBlockSize <= m_accepted->size;
    }

    std::uint64_t BlockTotal() const {
        return m_accepted ? (m_accepted->size + fk::kTftpBlockSize - 1) / fk::kTftpBlockSize + 1
                          : 0;
    }

    void CheckBlock(std::span<const std::uint8_t> packet, std::uint16_t block) const {
        FUZZ_REQUIRE(packet.size() >= fk::kTftpDataHeaderSize &&
                     packet.size() <= fk::kTftpMaxDataPacket);
        FUZZ_REQUIRE(packet[0] == 0 && packet[1] == 3);
        FUZZ_REQUIRE((packet[2] << 8 | packet[3]) == block);
        const auto content = packet.subspan(fk::kTftpDataHeaderSize);
        if (block == 1) {
            FUZZ_REQUIRE(content.size() == fk::kTftpBlockSize);
            FUZZ_REQUIRE(U32At(content, 0) == 0x20030409 && U32At(content, 4) == 1);
            FUZZ_REQUIRE(U32At(content, 8) == 0);
            FUZZ_REQUIRE(U32At(content, 12) == (m_dataPage ? 2u : 1u));
            FUZZ_REQUIRE(U32At(content, 16) ==
                         static_cast<std::uint32_t>(m_accepted ? m_accepted->size : 0));
            for (std::size_t i = 20; i < content.size(); ++i) FUZZ_REQUIRE(content[i] == 0);
            return;
        }
        const std::uint64_t offset = (std::uint64_t{block} - 2) * fk::kTftpBlockSize;
        FUZZ_REQUIRE(content.size() ==
                     std::min<std::uint64_t>(fk::kTftpBlockSize, m_accepted->size - offset));
        if (content.empty()) return;
        std::array<std::uint8_t, fk::kTftpBlockSize> expected;
        m_accepted->Copy(offset, std::span(expected).first(content.size()));
        FUZZ_REQUIRE(std::memcmp(content.data(), expected.data(), content.size()) == 0);
        // The copy is checked against the byte-wise definition at both ends.
        FUZZ_REQUIRE(content.front() == m_accepted->At(offset));
        FUZZ_REQUIRE(content.back() == m_accepted->At(offset + content.size() - 1));
    }

    // What the upload's record reads back after completion is what was accepted.
    void CheckRecord() const {
        if (!m_accepted) return;
        const std::uint64_t length = std::min<std::uint64_t>(m_accepted->size, 2048);
        std::uint64_t offset = 0;
        bool same = true;
        const bool untouched = m_image->ReadBack(length, [&](std::span<const std::uint8_t> bytes) {
            for (const std::uint8_t byte : bytes) same &= byte == m_accepted->At(offset++);
        });
        // Replaced or removed, the file served still holds what was served; written to, not.
        FUZZ_REQUIRE(untouched || m_changed);
        FUZZ_REQUIRE(!untouched || (same && offset == length));
    }

    const bool m_dataPage;
    const std::optional<std::chrono::milliseconds> m_headerWait;
    fk::fuzzing::MemoryImageStore m_images;
    fk::TftpEngine m_engine;
    Clock::time_point m_now = Clock::time_point{} + std::chrono::hours(1);

    // What the engine did during the current event.
    std::array<std::uint8_t, fk::kTftpMaxDataPacket> m_sent{};
    std::size_t m_sentLength = 0;
    Endpoint m_sentTo;
    int m_sends = 0;
    int m_refusals = 0;  // "Unknown transfer ID" answers
    Endpoint m_refusalTo;
    std::vector<fk::SessionEvent> m_events;
    std::array<int, std::variant_size_v<fk::SessionEvent>> m_counts{};
    bool m_refusing = false;

    // The run so far.
    bool m_readRequestSeen = false;
    bool m_ended = false;
    bool m_endedBefore = false;
    std::optional<Clock::time_point> m_lastStray;
    Clock::time_point m_refusalsSince;
    int m_refusalCount = 0;

    // The transfer, as the recorder's side sees it.
    std::optional<fk::Ipv4> m_recorder;
    Endpoint m_peer;
    Clock::time_point m_heardAt;        // the last datagram from m_peer
    std::optional<Endpoint> m_newPort;  // another port that acknowledged the block in flight
    std::optional<fk::fuzzing::MemoryFile> m_accepted;  // none: not measurable when accepted
    std::shared_ptr<fk::ImageBlocks> m_image;
    bool m_changed = false;          // the content or the file at the path changed since
    bool m_readableToggled = false;  // its permissions changed since
    Clock::time_point m_acceptedAt;
    std::uint16_t m_inFlight = 1;
    std::optional<std::uint16_t> m_answered;
    std::optional<std::uint16_t> m_finalBlock;
    std::uint16_t m_highestServed = 1;
    std::optional<std::uint16_t> m_lastSent;  // the block of the last DATA packet
    std::uint16_t m_everySentUpTo = 0;        // blocks 1 to this one all went out
    std::optional<std::uint16_t> m_lastAck;   // the recorder's latest acknowledgement
    int m_furthestAck = 0;
    int m_resends = 0;
    std::array<std::uint8_t, fk::kTftpMaxDataPacket> m_lastPacket{};
    std::size_t m_lastPacketLength = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    if (input.size() < 4) return 0;
    Harness harness(input[0] & 1, SizeFrom(input.subspan(1), input[0] & 2),
                    kHeaderWaits[(input[0] >> 2) & 3]);
    input = input.subspan(4);
    // The session stops handing anything over once the upload has ended: so does this loop.
    while (input.size() >= 2 && !harness.Ended()) {
        const std::uint8_t tag = input[0];
        const std::size_t length = std::min<std::size_t>(input[1], input.size() - 2);
        const auto payload = input.subspan(2, length);
        input = input.subspan(2 + length);
        harness.Pass(kSteps[tag >> 4]);
        const unsigned pick = (tag >> 2) & 3;
        switch (tag & 3) {
            case 0:
                harness.Datagram(payload, {kRecorderAddress, kRecorderPorts[pick]});
                break;
            case 1:
                harness.Datagram(payload, kOthers[pick]);
                break;
            case 2:
                if (pick < 2) {
                    harness.Timer();
                } else if (pick == 2) {
                    harness.ToggleRefusing();
                } else {
                    harness.Stop(length % 2 == 1);
                }
                break;
            default:
                harness.ChangeImage(payload);
                break;
        }
    }
    harness.Drain();
    return 0;
}
