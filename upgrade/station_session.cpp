#include "upgrade/station_session.h"

#include <algorithm>
#include <array>
#include <map>
#include <utility>

#include "upgrade/bootp_packet.h"
#include "upgrade/tftp_packet.h"

namespace fk {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams taken from a port per round, so that a flood cannot hold up the deadlines.
constexpr int kDatagramsPerRound = 64;

bool EndsTransfer(const SessionEvent& event) {
    return std::holds_alternative<event::Completed>(event) ||
           std::holds_alternative<event::Failed>(event) ||
           std::holds_alternative<event::Unconfirmed>(event);
}

}  // namespace

// Everything the station owns; the network thread's alone while it runs.
struct StationSession::Run final : TftpSink {
    struct Member {
        StationRecorder recorder;
        bool named = false;
        bool announcing = false;  // named and its read request not yet come
        bool entry = false;       // its neighbour entry is in the table
        bool done = false;        // its last transfer ended
        Clock::time_point nextAnnounce;
    };

    Run(const StationPlan& plan, DeviceArp& arp) : plan(plan), arp(arp) {}

    platform::SendResult Send(std::span<const std::uint8_t> datagram,
                              const platform::Endpoint& to) override {
        return tftpPort->SendTo(datagram, to);
    }
    void Report(Ipv4 address, SessionEvent event) override {
        StationRecorder recorder;
        if (const auto found = members.find(address); found != members.end()) {
            Member& member = found->second;
            recorder = member.recorder;
            if (EndsTransfer(event)) {
                member.done = true;
                DropEntry(member);
            } else if (std::holds_alternative<event::RequestAccepted>(event)) {
                member.done = false;
            }
        }
        pending.emplace_back(recorder, std::move(event));
    }

    void MakeEntry(Member& member) {
        if (member.entry) return;
        arp.SetDeviceArpEntry(plan.card.ifindex, member.recorder.address, member.recorder.mac,
                              true);
        member.entry = true;
    }
    void DropEntry(Member& member) {
        if (!member.entry) return;
        arp.SetDeviceArpEntry(plan.card.ifindex, member.recorder.address, {}, false);
        member.entry = false;
    }
    // To the recorder, or by broadcast where its entry cannot be made here.
    void SendBootpReply(BootpReply reply, Ipv4 address, std::uint16_t clientPort) {
        const auto to =
            BootpReplyDestination(address, plan.card.hostAddress, arp.BroadcastFallbackMask());
        if (to.broadcast) SetBootpBroadcastFlag(reply);
        bootpPort->SendTo(reply, {to.address, clientPort});
    }
    Member* ByMac(const MacAddress& mac) {
        for (auto& [address, member] : members) {
            if (member.recorder.mac == mac) return &member;
        }
        return nullptr;
    }

    const StationPlan plan;
    DeviceArp& arp;
    std::shared_ptr<platform::DatagramPort> bootpPort;
    std::shared_ptr<platform::DatagramPort> tftpPort;
    platform::Wakeup wakeup;
    std::unique_ptr<TftpEngine> engine;
    std::map<Ipv4, Member> members;  // by address
    Clock::time_point nextRefresh;
    std::vector<std::pair<StationRecorder, SessionEvent>> pending;
    std::vector<std::pair<StationRecorder, SessionEvent>> delivering;
    bool tidied = false;
};

StationSession::StationSession(StationHost& host, DeviceArp& arp, platform::PortOpener& ports,
                               StationOptions options)
    : m_host(host), m_arp(arp), m_ports(ports), m_options(options) {}

StationSession::~StationSession() {
    Stop();
}

bool StationSession::Start(const StationPlan& plan) {
    std::lock_guard control(m_controlMutex);
    if (m_run) return false;
    m_run = std::make_unique<Run>(plan, m_arp);
    Run& run = *m_run;
    m_arp.ResetErrorReport();
    auto bootp = m_ports.Open(m_options.bootpServerPort, plan.card.ifindex);
    auto tftp = bootp.port ? m_ports.Open(m_options.tftpServerPort, plan.card.ifindex)
                           : platform::PortOpener::Opened{};
    if (!bootp.port || !tftp.port) {
        if (bootp.port) bootp.port->Close();
        const bool bootpFailed = !bootp.port;
        const auto& failed = bootpFailed ? bootp : tftp;
        run.tidied = true;
        m_host.OnEvent(
            {}, event::StartFailed{bootpFailed ? event::StartFailed::Socket::Bootp
                                               : event::StartFailed::Socket::Tftp,
                                   failed.step, failed.error, platform::LastNetHelperProblem()});
        return false;
    }
    run.bootpPort = std::move(bootp.port);
    run.tftpPort = std::move(tftp.port);
    run.engine = std::make_unique<TftpEngine>(
        plan.file, m_images, run,
        TftpOptions{m_options.sendTimeOut, kMaxResends, m_options.headerWait,
                    std::max<std::size_t>(1, m_options.maxRecorders)});
    // Each named recorder's turn falls at its own share of the period.
    const auto now = Clock::now();
    const auto count = static_cast<long long>(plan.named.size());
    for (long long n = 0; n < count; ++n) {
        const StationRecorder& recorder = plan.named[static_cast<std::size_t>(n)];
        run.members[recorder.address] = {recorder, true,  true,
                                         false,    false, now + m_options.bootpPeriod * n / count};
    }
    run.nextRefresh = now + m_options.entryRefresh;
    m_host.OnEvent({}, event::Announcing{});
    m_thread = std::thread(&StationSession::NetworkThread, this);
    return true;
}

void StationSession::Stop() {
    std::lock_guard control(m_controlMutex);
    if (!m_run || m_stopAsked.exchange(true)) return;
    m_run->wakeup.Signal();
    if (m_thread.joinable()) m_thread.join();
    Run& run = *m_run;
    Deliver();
    if (!run.tidied) {
        run.tidied = true;
        for (auto& [address, member] : run.members) run.DropEntry(member);
        run.bootpPort->Close();
        run.tftpPort->Close();
    }
    m_host.OnEvent({}, event::Ended{});
}

void StationSession::NetworkThread() {
    Run& run = *m_run;
    while (!m_stopAsked.load() && !m_portFailed) {
        const auto now = Clock::now();
        Announce(now);
        RefreshEntries(now);
        if (const auto due = run.engine->Deadline(); due && *due <= now)
            run.engine->OnDeadline(now);
        Deliver();
        std::optional<Clock::time_point> deadline = run.engine->Deadline();
        const auto sooner = [&](Clock::time_point at) {
            deadline = std::min(deadline.value_or(at), at);
        };
        sooner(run.nextRefresh);
        for (const auto& [address, member] : run.members) {
            if (member.announcing) sooner(member.nextAnnounce);
        }
        const std::array descriptors{run.tftpPort->Descriptor(), run.bootpPort->Descriptor(),
                                     run.wakeup.Descriptor()};
        const auto readable = platform::WaitReadable(descriptors, deadline);
        if (readable[0]) ReceiveTftp(Clock::now());
        if (readable[1] && !m_portFailed) ReceiveBootp();
    }
    Deliver();
}

void StationSession::Announce(Clock::time_point now) {
    Run& run = *m_run;
    for (auto& [address, member] : run.members) {
        if (!member.announcing || now < member.nextAnnounce) continue;
        run.MakeEntry(member);
        run.SendBootpReply(BuildBootpReply(address, run.plan.card.hostAddress, member.recorder.mac,
                                           run.plan.file.bootFileName),
                           address, m_options.bootpClientPort);
        member.nextAnnounce += m_options.bootpPeriod;
        // After a stall, start afresh rather than send a burst of late replies.
        if (member.nextAnnounce + m_options.bootpPeriod < now) member.nextAnnounce = now;
    }
}

void StationSession::RefreshEntries(Clock::time_point now) {
    Run& run = *m_run;
    if (now < run.nextRefresh) return;
    // The kernel ages an entry out that a silent boot loader never confirms, and a lost carrier
    // flushes it: each live one is added again well inside the reachable time.
    for (auto& [address, member] : run.members) {
        if (member.entry) {
            m_arp.SetDeviceArpEntry(run.plan.card.ifindex, address, member.recorder.mac, true);
        }
    }
    run.nextRefresh = now + m_options.entryRefresh;
}

void StationSession::ReceiveTftp(Clock::time_point now) {
    using Status = platform::ReceiveResult::Status;
    Run& run = *m_run;
    std::array<std::uint8_t, kTftpReceiveBufferSize> buffer{};
    for (int n = 0; n < kDatagramsPerRound; ++n) {
        const auto received = run.tftpPort->Receive(buffer, Clock::time_point{});
        if (received.status == Status::Failed) {
            PortFailed(received.error);
            return;
        }
        if (received.status != Status::Datagram) return;
        // Only the station's recorders are served.
        const auto found = run.members.find(received.from.address);
        if (found == run.members.end()) continue;
        const std::span<const std::uint8_t> datagram{buffer.data(), received.length};
        if (ParseTftpOpcode(datagram) == TftpKind::ReadRequest) {
            found->second.announcing = false;
            run.MakeEntry(found->second);
        }
        run.engine->OnDatagram(datagram, received.from, now);
    }
}

void StationSession::ReceiveBootp() {
    using Status = platform::ReceiveResult::Status;
    Run& run = *m_run;
    std::array<std::uint8_t, kTftpReceiveBufferSize> buffer{};
    for (int n = 0; n < kDatagramsPerRound; ++n) {
        const auto received = run.bootpPort->Receive(buffer, Clock::time_point{});
        if (received.status == Status::Failed) {
            PortFailed(received.error);
            return;
        }
        if (received.status != Status::Datagram) return;
        const auto request = ParseBootpRequest({buffer.data(), received.length});
        if (!request || !IsRecorderMac(request->mac)) continue;
        Run::Member* member = run.ByMac(request->mac);
        if (!member && run.plan.learn && run.plan.nextAddress) {
            const auto learnt = std::count_if(
                run.members.begin(), run.members.end(),
                [](const auto& entry) { return !entry.second.named && !entry.second.done; });
            if (static_cast<std::size_t>(learnt) >= m_options.maxRecorders) continue;
            std::set<Ipv4> given;
            for (const auto& [address, known] : run.members) given.insert(address);
            const auto address = run.plan.nextAddress(request->mac, given);
            if (!address) continue;
            member = &run.members[*address];
            member->recorder = {request->mac, *address};
            // A recorder learnt is answered from now on: its announcements begin.
            run.Report(*address, event::Announcing{});
        }
        if (!member) continue;
        run.MakeEntry(*member);
        const Ipv4 address = member->recorder.address;
        run.SendBootpReply(BuildBootpReply(address, run.plan.card.hostAddress, request->mac,
                                           run.plan.file.bootFileName, request->xid),
                           address, m_options.bootpClientPort);
    }
}

void StationSession::PortFailed(int error) {
    // A port that fails would fail every round: the transfers end (said once, for the whole
    // port), and so does the thread.
    m_run->engine->OnReceiveFailed(error);
    m_portFailed = true;
}

void StationSession::Deliver() {
    // Swapped out first, into a vector kept for it, so a round of blocks allocates nothing.
    m_run->delivering.swap(m_run->pending);
    for (const auto& [recorder, event] : m_run->delivering) m_host.OnEvent(recorder, event);
    m_run->delivering.clear();
}

}  // namespace fk
