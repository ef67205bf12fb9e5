#include "tools/recorder-sim/tftp_fetch.h"

#include <algorithm>
#include <cctype>

#include "tools/recorder-sim/tftp_packet.h"

namespace fk::sim {

namespace {

using std::chrono::milliseconds;

constexpr std::uint16_t kFirstFileBlock = 2;
constexpr std::uint16_t kErrorNotDefined = 0;

milliseconds Until(const TftpTransport& transport, Clock::time_point end) {
    const auto left = std::chrono::ceil<milliseconds>(end - transport.Now());
    return std::max(left, milliseconds{0});
}

class Fetch {
  public:
    Fetch(TftpTransport& transport, const FetchPlan& plan, Clock::time_point deadline)
        : m_transport(transport), m_plan(plan), m_deadline(deadline) {}

    FetchResult Run() {
        if (m_plan.misbehaviour.wrongName && !AskForWrongName()) return m_result;
        if (!SendRemembered(BuildReadRequest(RequestedName()), 1)) return m_result;
        while (m_transport.Now() < m_deadline) {
            if (m_held && m_transport.Now() >= m_held->until) {
                if (!ReleaseHeldAck()) return m_result;
                if (m_result.status == FetchStatus::Complete) return m_result;
            }
            auto wait = Until(m_transport, m_deadline);
            if (Retrying()) wait = std::min(wait, Until(m_transport, m_retryDue));
            if (m_held) wait = std::min(wait, Until(m_transport, m_held->until));
            std::optional<Datagram> datagram;
            if (!m_transport.Receive(wait, datagram)) {
                Fail("receive failed");
                return m_result;
            }
            if (datagram && !Handle(*datagram)) return m_result;
            if (m_result.status == FetchStatus::Complete) return m_result;
            // Due since the last send whatever came meanwhile: repeats of the block already
            // taken must not put off the repeat of an acknowledgement that was lost.
            if (Retrying() && m_transport.Now() >= m_retryDue && m_transport.Now() < m_deadline) {
                ++m_result.retries;
                if (!SendRemembered(m_lastSent, 1)) return m_result;
            }
        }
        if (m_silent) {
            m_result.status = FetchStatus::Stopped;
            return m_result;
        }
        m_result.status = FetchStatus::TimedOut;
        m_result.message = "timed out waiting for DATA block " + std::to_string(m_expected);
        return m_result;
    }

  private:
    struct HeldAck {
        std::uint16_t block;
        bool final;
        Clock::time_point until;
    };

    std::string RequestedName() const {
        std::string name = m_plan.fileName;
        if (m_plan.misbehaviour.upperCaseName) {
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        }
        return name;
    }

    // Asks for a name the server must not serve, then checks that nothing but an error comes.
    bool AskForWrongName() {
        if (!SendRemembered(BuildReadRequest(*m_plan.misbehaviour.wrongName), 1)) return false;
        const auto pauseEnd = std::min(m_transport.Now() + m_plan.wrongNamePause, m_deadline);
        while (m_transport.Now() < pauseEnd) {
            std::optional<Datagram> datagram;
            if (!m_transport.Receive(Until(m_transport, pauseEnd), datagram))
                return Fail("receive failed");
            if (!datagram) continue;
            if (!datagram->fromServer) {
                ++m_result.strangers;
                continue;
            }
            const auto packet = ParseServerPacket(datagram->bytes);
            if (packet.kind == ServerPacket::Kind::Data)
                return Fail("server answered the request for \"" + *m_plan.misbehaviour.wrongName +
                            "\" with DATA block " + std::to_string(packet.block));
            if (packet.kind == ServerPacket::Kind::Error)
                ++m_result.serverErrors;
            else
                ++m_result.malformed;
        }
        return true;
    }

    bool Handle(const Datagram& datagram) {
        if (!datagram.fromServer) {
            ++m_result.strangers;
            return true;
        }
        const auto packet = ParseServerPacket(datagram.bytes);
        switch (packet.kind) {
            case ServerPacket::Kind::Data:
                return HandleData(packet);
            case ServerPacket::Kind::Error:
                ++m_result.serverErrors;
                return true;
            case ServerPacket::Kind::Unexpected:
            case ServerPacket::Kind::Malformed:
                ++m_result.malformed;
                return true;
        }
        return true;
    }

    bool HandleData(const ServerPacket& packet) {
        ++m_result.data;
        if (m_silent) {
            ++m_result.silentData;
            return true;
        }
        const bool final = packet.data.size() < kTftpBlockSize;
        if (m_result.blocks > 0 && packet.block == m_result.lastBlock) {
            if (!m_held && m_ackOwed) {
                m_ackOwed = false;
                return Acknowledge(packet.block, final);
            }
            ++m_result.duplicates;
            // Unless told otherwise a repeat is not acknowledged: a server that answers every
            // acknowledgement would then repeat every later block too.
            if (!m_plan.misbehaviour.ackRepeats) return true;
            // The held acknowledgement, late on the wire, arrives just before the new one.
            if (m_held && m_held->block == packet.block) {
                if (!ReleaseHeldAck()) return false;
                if (m_result.status == FetchStatus::Complete) return true;
            }
            return Acknowledge(packet.block, final);
        }
        if (packet.block != m_expected) {
            ++m_result.stale;
            return true;
        }
        const auto& restart = m_plan.misbehaviour.restartAt;
        if (restart && *restart == packet.block && m_result.restarts == 0) return Restart();
        m_result.received.insert(m_result.received.end(), packet.data.begin(), packet.data.end());
        ++m_result.blocks;
        m_result.lastBlock = packet.block;
        ++m_expected;  // 16-bit: wraps from 65535 to 0 as the block numbers do
        if (packet.block == kFirstFileBlock && !FireMidTransferFaults()) return false;
        const auto& lose = m_plan.misbehaviour.loseAck;
        if (lose && *lose == packet.block && !m_lostOnce) {
            m_lostOnce = true;
            m_ackOwed = true;
            return true;
        }
        const auto& drop = m_plan.misbehaviour.dropFinalAck;
        if (final && drop) {
            // Once: acknowledged when it comes again. Always: never, and nothing more is taken.
            m_ackOwed = *drop == FinalAckDrop::Once;
            m_silent = *drop == FinalAckDrop::Always;
            return true;
        }
        if (!FireLinkFaults(packet.block)) return false;
        const auto& hold = m_plan.misbehaviour.holdAck;
        if (hold && *hold == packet.block && !m_heldOnce) {
            m_heldOnce = true;
            m_held = HeldAck{packet.block, final, m_transport.Now() + m_plan.misbehaviour.hold};
            return true;
        }
        return Acknowledge(packet.block, final);
    }

    bool Acknowledge(std::uint16_t block, bool final) {
        if (m_plan.misbehaviour.ackDelay.count() > 0)
            m_transport.Pause(m_plan.misbehaviour.ackDelay);
        if (!SendRemembered(BuildAck(block), std::max(1u, m_plan.misbehaviour.duplicateAcks)))
            return false;
        m_result.acksSent += std::max(1u, m_plan.misbehaviour.duplicateAcks);
        if (final) {
            m_result.status = FetchStatus::Complete;
        } else if (m_plan.misbehaviour.stopAfter && *m_plan.misbehaviour.stopAfter == block) {
            m_silent = true;
        }
        return true;
    }

    // Asks for the file again, as a recorder that restarts its download, and drops what it got.
    bool Restart() {
        ++m_result.restarts;
        m_result.received.clear();
        m_result.blocks = 0;
        m_result.lastBlock = 0;
        m_expected = 1;
        return SendRemembered(BuildReadRequest(RequestedName()), 1);
    }

    bool ReleaseHeldAck() {
        const HeldAck held = *m_held;
        m_held.reset();
        return Acknowledge(held.block, held.final);
    }

    bool FireMidTransferFaults() {
        const auto& faults = m_plan.misbehaviour;
        if (faults.sendError && !Send(BuildError(kErrorNotDefined, "simulated recorder error")))
            return false;
        if (faults.ackZero && !Send(BuildAck(0))) return false;
        if (faults.ack65535 && !Send(BuildAck(65535))) return false;
        return true;
    }

    // Each fires once, when its block first arrives and before that block is acknowledged.
    bool FireLinkFaults(std::uint16_t block) {
        const auto& faults = m_plan.misbehaviour;
        if (faults.linkDropAt && *faults.linkDropAt == block && m_result.linkDrops == 0) {
            ++m_result.linkDrops;
            if (!m_transport.DropLink(faults.linkDrop))
                return Fail("cannot take the link down and up");
        }
        if (faults.newPortAt && *faults.newPortAt == block && !m_portChanged) {
            m_portChanged = true;
            if (!m_transport.NewSourcePort()) return Fail("cannot open a new source port");
        }
        return true;
    }

    // A held acknowledgement is deliberate silence, not a loss to repair.
    bool Retrying() const { return m_plan.retryAfter.count() > 0 && !m_silent && !m_held; }

    bool SendRemembered(std::vector<std::uint8_t> packet, unsigned times) {
        m_lastSent = std::move(packet);
        m_retryDue = m_transport.Now() + m_plan.retryAfter;
        for (unsigned i = 0; i < times; ++i)
            if (!Send(m_lastSent)) return false;
        return true;
    }

    bool Send(Bytes packet) {
        if (m_transport.Send(packet)) return true;
        Fail("send failed");
        return false;
    }

    bool Fail(std::string message) {
        m_result.status = FetchStatus::Failed;
        m_result.message = std::move(message);
        return false;
    }

    TftpTransport& m_transport;
    const FetchPlan& m_plan;
    Clock::time_point m_deadline;
    FetchResult m_result;
    std::vector<std::uint8_t> m_lastSent;
    Clock::time_point m_retryDue{};
    std::uint16_t m_expected = 1;
    bool m_ackOwed = false;
    bool m_lostOnce = false;
    bool m_heldOnce = false;
    bool m_portChanged = false;
    std::optional<HeldAck> m_held;
    bool m_silent = false;
};

}  // namespace

FetchResult FetchFile(TftpTransport& transport, const FetchPlan& plan, Clock::time_point deadline) {
    return Fetch(transport, plan, deadline).Run();
}

}  // namespace fk::sim
