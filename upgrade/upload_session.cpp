#include "upgrade/upload_session.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "net/address_plan.h"
#include "platform/network_watch.h"
#include "upgrade/bootp_packet.h"
#include "upgrade/neighbour_keeper.h"
#include "upgrade/tftp_engine.h"

namespace fk {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams taken from the port per round, so that a flood cannot hold up the deadlines.
constexpr int kDatagramsPerRound = 64;

}  // namespace

// Everything one upload owns. Its thread holds it, so it lives until the thread ends.
struct UploadSession::Run final : TftpSink {
    explicit Run(const UploadPlan& plan) : plan(plan) {}

    platform::SendResult Send(std::span<const std::uint8_t> datagram,
                              const platform::Endpoint& to) override {
        return tftpPort->SendTo(datagram, to);
    }
    void Report(Ipv4, SessionEvent event) override { pending.push_back(std::move(event)); }

    const UploadPlan plan;
    std::shared_ptr<platform::DatagramPort> bootpPort;
    std::shared_ptr<platform::DatagramPort> tftpPort;
    int portsCard = 0;  // the card both ports serve
    // Every entry this upload added, on every card it announced on.
    std::vector<std::pair<int, Ipv4>> entries;
    std::pair<int, Ipv4> lastEntry{0, 0};
    platform::Wakeup wakeup;
    std::atomic<SessionState> state{SessionState::Idle};
    std::atomic<bool> stopAsked{false};
    std::atomic<bool> ackTimeOutAsked{false};
    std::atomic<bool> sendTimeOutAsked{false};
    std::atomic<bool> tidied{false};
    std::atomic<bool> endReported{false};
    std::unique_ptr<TftpEngine> engine;
    std::unique_ptr<NeighbourKeeper> keeper;
    // The network thread's own.
    std::vector<SessionEvent> pending;
    std::vector<SessionEvent> delivering;
    bool awaitingAddress = false;
};

UploadSession::UploadSession(SessionHost& host, DeviceArp& arp, platform::PortOpener& ports,
                             UploadSessionOptions options)
    : m_host(host), m_arp(arp), m_ports(ports), m_options(options) {}

UploadSession::~UploadSession() {
    Shutdown();
}

void UploadSession::StartUpload(const UploadPlan& plan) {
    std::lock_guard control(m_controlMutex);
    StopLocked();
    auto run = std::make_shared<Run>(plan);
    {
        std::lock_guard lock(m_runMutex);
        m_run = run;
    }
    m_arp.ResetErrorReport();
    m_host.OnEvent(event::Started{plan.card, plan.mac, plan.file.path, plan.file.page});
    // Both serve the planned card alone; a card change moves them (BootpTurn).
    run->portsCard = plan.card.ifindex;
    auto bootp = m_ports.Open(m_options.bootpServerPort, run->portsCard);
    auto tftp = bootp.port ? m_ports.Open(m_options.tftpServerPort, run->portsCard)
                           : platform::PortOpener::Opened{};
    if (!bootp.port || !tftp.port) {
        if (bootp.port) bootp.port->Close();
        const bool bootpFailed = !bootp.port;
        const auto& failed = bootpFailed ? bootp : tftp;
        run->state.store(SessionState::StartFailed);
        m_host.OnEvent(event::StartFailed{
            bootpFailed ? event::StartFailed::Socket::Bootp : event::StartFailed::Socket::Tftp,
            failed.step, failed.error, platform::LastNetHelperProblem()});
        return;
    }
    run->bootpPort = std::move(bootp.port);
    run->tftpPort = std::move(tftp.port);
    run->engine = std::make_unique<TftpEngine>(
        plan.file, m_images, *run,
        TftpOptions{m_options.sendTimeOut, kMaxResends, m_options.headerWait, 1});
    run->keeper = std::make_unique<NeighbourKeeper>(m_arp, platform::MakeSystemNetworkWatch(),
                                                    m_options.entryRefresh);
    run->state.store(SessionState::Announcing);
    m_host.OnEvent(event::Announcing{});
    m_thread = std::thread(&UploadSession::NetworkThread, this, run);
}

void UploadSession::StopUpload() {
    std::lock_guard control(m_controlMutex);
    StopLocked();
}

void UploadSession::Shutdown() {
    StopUpload();
}

void UploadSession::StopLocked() {
    const auto run = CurrentRun();
    if (!run) return;
    run->stopAsked.store(true);
    run->wakeup.Signal();
    if (m_thread.joinable()) m_thread.join();
    Tidy(*run);
    ReportEnded(*run);
}

void UploadSession::AckTimeOutTimer() {
    if (const auto run = CurrentRun()) {
        run->ackTimeOutAsked.store(true);
        run->wakeup.Signal();
    }
}

void UploadSession::SendTimeOutTimer() {
    if (const auto run = CurrentRun()) {
        run->sendTimeOutAsked.store(true);
        run->wakeup.Signal();
    }
}

SessionState UploadSession::State() const {
    const auto run = CurrentRun();
    return run ? run->state.load() : SessionState::Idle;
}

void UploadSession::NetworkThread(const std::shared_ptr<Run>& run) {
    TftpEngine& engine = *run->engine;
    // Absolute deadlines, so the period does not drift by the time a turn takes.
    auto nextTurn = Clock::now();
    while (!run->stopAsked.load()) {
        auto now = Clock::now();
        if (!engine.ReadRequestSeen() && now >= nextTurn) {
            BootpTurn(*run);
            nextTurn += m_options.bootpPeriod;
            // After a stall, start afresh rather than send a burst of late replies.
            if (nextTurn + m_options.bootpPeriod < now) nextTurn = now;
        }
        if (run->ackTimeOutAsked.exchange(false)) engine.OnAckTimeOut();
        if (run->sendTimeOutAsked.exchange(false))
            engine.OnDeadline(engine.Deadline().value_or(now));
        if (const auto due = engine.Deadline(); due && *due <= now) engine.OnDeadline(now);
        Deliver(*run);
        if (engine.Ended()) {
            Tidy(*run);
            ReportEnded(*run);
            return;
        }
        std::optional<Clock::time_point> deadline = engine.Deadline();
        if (!engine.ReadRequestSeen()) deadline = std::min(deadline.value_or(nextTurn), nextTurn);
        const std::array descriptors{run->tftpPort->Descriptor(), run->wakeup.Descriptor()};
        if (platform::WaitReadable(descriptors, deadline)[0]) ReceiveDatagrams(*run);
    }
}

void UploadSession::ReceiveDatagrams(Run& run) {
    using Status = platform::ReceiveResult::Status;
    std::array<std::uint8_t, kTftpReceiveBufferSize> buffer{};
    for (int n = 0; n < kDatagramsPerRound && !run.engine->Ended(); ++n) {
        // A deadline already past: only what waits is taken.
        const auto received = run.tftpPort->Receive(buffer, Clock::time_point{});
        if (received.status == Status::Failed) {
            run.engine->OnReceiveFailed(received.error);
            return;
        }
        if (received.status != Status::Datagram) return;
        run.engine->OnDatagram({buffer.data(), received.length}, received.from, Clock::now());
        if (run.engine->TransferAccepted()) run.state.store(SessionState::Transferring);
    }
}

void UploadSession::BootpTurn(Run& run) {
    const SelectedCard card = m_host.Card();
    // A card without an address (a network manager takes it while the link is down) gives no
    // server address to offer: the turns wait for it to come back.
    if (card.hostAddress == 0) {
        if (!std::exchange(run.awaitingAddress, true)) {
            run.Report(0, event::WaitingForAddress{platform::CardName(card.ifindex)});
        }
        return;
    }
    if (std::exchange(run.awaitingAddress, false)) run.Report(0, event::AddressBack{});
    const Ipv4 device = DeviceAddressFor(card.hostAddress);
    m_deviceIp.store(device);
    run.lastEntry = {card.ifindex, device};
    // Another card picked while announcing: the ports follow it, as the reply does.
    if (card.ifindex != run.portsCard &&
        m_ports.Move(*run.bootpPort, m_options.bootpServerPort, card.ifindex) == 0 &&
        m_ports.Move(*run.tftpPort, m_options.tftpServerPort, card.ifindex) == 0) {
        run.portsCard = card.ifindex;
    }
    if (std::find(run.entries.begin(), run.entries.end(), run.lastEntry) == run.entries.end()) {
        run.entries.push_back(run.lastEntry);
    }
    m_arp.SetDeviceArpEntry(card.ifindex, device, run.plan.mac, true);
    run.keeper->Keep(card.ifindex, device, run.plan.mac);
    BootpReply reply =
        BuildBootpReply(device, card.hostAddress, run.plan.mac, run.plan.file.bootFileName);
    const auto to = BootpReplyDestination(device, card.hostAddress, m_arp.BroadcastFallbackMask());
    if (to.broadcast) SetBootpBroadcastFlag(reply);
    run.bootpPort->SendTo(reply, {to.address, m_options.bootpClientPort});
}

void UploadSession::Deliver(Run& run) {
    // Swapped out first, into a vector kept for it, so a round of blocks allocates nothing.
    run.delivering.swap(run.pending);
    for (const auto& event : run.delivering) m_host.OnEvent(event);
    run.delivering.clear();
}

void UploadSession::Tidy(Run& run) {
    if (run.tidied.exchange(true)) return;
    // No add of the keeper follows the deletes.
    run.keeper.reset();
    for (const auto& [card, address] : run.entries)
        m_arp.SetDeviceArpEntry(card, address, {}, false);
    if (run.lastEntry.first != 0) m_arp.SetDeviceArpEntry(run.lastEntry.first, 0, {}, false);
    for (const auto& port : {run.bootpPort, run.tftpPort}) {
        if (port) port->Close();
    }
    run.state.store(SessionState::Idle);
}

void UploadSession::ReportEnded(Run& run) {
    if (!run.endReported.exchange(true)) m_host.OnEvent(event::Ended{});
}

std::shared_ptr<UploadSession::Run> UploadSession::CurrentRun() const {
    std::lock_guard lock(m_runMutex);
    return m_run;
}

}  // namespace fk
