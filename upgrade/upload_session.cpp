#include "upgrade/upload_session.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "net/address_plan.h"
#include "platform/format_text.h"
#include "platform/net_privileges.h"
#include "platform/network_watch.h"
#include "platform/udp_socket.h"
#include "upgrade/bootp_packet.h"
#include "upgrade/neighbour_keeper.h"
#include "upgrade/tftp_engine.h"

namespace fk {

std::optional<NetHelperBox> NetHelperProblemBox(platform::NetHelperProblem problem) {
    switch (problem) {
        case platform::NetHelperProblem::NotPermitted:
            return NetHelperBox{
                "Uploading needs the network privileges of the group \"flashkit\", and this user "
                "is "
                "not a member of it. Ask the administrator to add you to the group \"flashkit\", "
                "then "
                "log out and in again: group membership is read at login.",
                "Group flashkit needed"};
        case platform::NetHelperProblem::Mismatch:
            return NetHelperBox{"Uploading needs the network helper " + platform::NetHelperPath() +
                                    ", and the network helper does not match this FlashKit: "
                                    "reinstall FlashKit.",
                                "Network helper mismatch"};
        case platform::NetHelperProblem::Missing:
            return NetHelperBox{
                "The network helper " + platform::NetHelperPath() +
                    " is missing, so the ports of an upload cannot be opened. Ask the "
                    "administrator to install FlashKit again.",
                "Network helper missing"};
        default:
            return std::nullopt;
    }
}

// Everything one upload owns. Its workers hold it, so it lives until the last of them ends.
struct UploadSession::Run {
    MacAddress mac{};  // the recorder's, captured at Upload: the entry and the reply agree
    std::shared_ptr<platform::UdpSocket> bootpSocket;
    std::shared_ptr<platform::UdpSocket> tftpSocket;
    int socketsCard = 0;  // the card both sockets serve (written under the turn mutex)
    // Every entry this upload added, on every card it announced on (under the turn mutex).
    std::vector<std::pair<int, Ipv4>> entries;
    std::atomic<bool> uploading{false};    // the sockets are open
    std::atomic<bool> startFailed{false};  // a socket step failed; the controls wait for a stop
    std::atomic<bool> bootpRunning{false};
    std::atomic<bool> tftpRunning{false};
    // Held for a whole BOOTP turn, so the last ARP delete of a stop follows any add.
    std::mutex turnMutex;
    // Guards the TFTP transfer state between the worker and the timer hooks.
    std::mutex engineMutex;
    std::unique_ptr<TftpEngine> engine;  // set before the workers start, when the sockets opened
    std::unique_ptr<NeighbourKeeper> keeper;  // likewise
    bool awaitingAddress = false;             // the BOOTP worker's: the card has no address
};

UploadSession::UploadSession(SessionHost& host, DeviceArp& arp, UploadSessionOptions options)
    : m_host(host), m_arp(arp), m_options(options) {}

UploadSession::~UploadSession() {
    Shutdown();
}

void UploadSession::StartUpload() {
    if (const auto previous = CurrentRun(); previous && previous->uploading.load()) {
        StopFromOutside(previous.get());
    }
    JoinWorkers();
    auto run = std::make_shared<Run>();
    run->mac = m_host.DeviceMac();
    {
        std::lock_guard lock(m_runMutex);
        m_run = run;
    }
    m_arp.ResetErrorReport();
    m_host.UploadStarted();
    m_host.ShowStatus("Uploading Started");
    m_host.PlayCue(1);
    if (!OpenSockets(*run)) {
        run->startFailed.store(true);
        return;
    }
    run->bootpRunning.store(true);
    run->tftpRunning.store(true);
    run->engine = std::make_unique<TftpEngine>(
        TftpEngine::Links{*run->tftpSocket, m_host, run->bootpRunning, run->tftpRunning,
                          [this, raw = run.get()] { StopRun(raw); }},
        m_options.sendTimeOut);
    run->keeper = std::make_unique<NeighbourKeeper>(m_arp, platform::MakeSystemNetworkWatch(),
                                                    m_options.entryRefresh);
    run->uploading.store(true);
    m_host.SetProgress(0);
    m_tftpThread = std::thread([run] { run->engine->Serve(run->engineMutex); });
    m_bootpThread = std::thread(&UploadSession::BootpWorker, this, run);
}

bool UploadSession::OpenSockets(Run& run) {
    // Linux sockets need no start-up, so of the seven steps only socket() and bind() can fail.
    const char* failedStep = nullptr;
    int error = 0;
    // Both serve the selected card alone; a card change moves them (SendBootpReply).
    run.socketsCard = m_host.Card().ifindex;
    run.bootpSocket = platform::UdpSocket::Create(error);
    if (!run.bootpSocket) {
        failedStep = "Step 2 bootp socket error: error code (%d)";
    } else if ((error = run.bootpSocket->Bind(m_options.bootpServerPort, run.socketsCard)) != 0) {
        failedStep = "Step 3 bootp socket error: error code (%d)";
    } else if (run.tftpSocket = platform::UdpSocket::Create(error); !run.tftpSocket) {
        failedStep = "Step 2 tftp socket error: error code (%d)";
    } else if ((error = run.tftpSocket->Bind(m_options.tftpServerPort, run.socketsCard)) != 0) {
        failedStep = "Step 3 tftp socket error: error code (%d)";
    }
    if (!failedStep) return true;
    for (auto* socket : {&run.bootpSocket, &run.tftpSocket}) {
        if (*socket) (*socket)->Close();
        socket->reset();
    }
    const std::string text = FormatText(failedStep, error);
    m_host.ShowStatus(text);
    m_host.UploadFinished(false, text);
    m_host.PlayCue(3);
    // A refused bind may be the helper that could not be asked: then the operator is told why.
    if (const auto box = error == EACCES ? NetHelperProblemBox(platform::LastNetHelperProblem())
                                         : std::nullopt) {
        m_host.ShowMessage(box->text, box->caption, platform::MessageIcon::Stop);
    }
    return false;
}

void UploadSession::StopUpload() {
    StopFromOutside(CurrentRun().get());
}

void UploadSession::StopFromOutside(Run* run) {
    // Waits for the datagram or resend the TFTP worker is handling, so that none of its sends or
    // reports can follow the stop. The worker never waits for this thread while it holds the
    // mutex (its reports are queued, its cues play on its own thread).
    std::unique_lock<std::mutex> engine;
    if (run) engine = std::unique_lock(run->engineMutex);
    StopRun(run);
}

void UploadSession::StopRun(Run* run) {
    m_host.ShowStatus("Uploading Completed");
    std::optional<std::unique_lock<std::mutex>> turn;
    if (run) {
        if (run->engine) run->engine->SwitchTimersOff();
        run->bootpRunning.store(false);
        turn.emplace(run->turnMutex);
        // Under the turn mutex, as the turns use it; no add of the keeper follows the deletes.
        run->keeper.reset();
    }
    // On the card the last turn added the entry to, whatever is selected now (before any turn,
    // interface index 0, the selected one).
    int ifindex = m_entryIfindex.load();
    if (ifindex == 0) ifindex = m_host.Card().ifindex;
    if (run) {
        for (const auto& [card, address] : run->entries) {
            m_arp.SetDeviceArpEntry(card, address, {}, false);
        }
    }
    m_arp.SetDeviceArpEntry(ifindex, m_deviceIp.load(), {}, false);
    m_arp.SetDeviceArpEntry(ifindex, 0, {}, false);
    turn.reset();
    if (!run) return;
    if (run->uploading.exchange(false)) {
        run->bootpSocket->Close();
        run->tftpRunning.store(false);
        run->tftpSocket->Close();
        m_host.SessionEnded();
    } else if (run->startFailed.exchange(false)) {
        // Nothing was open, but the window disabled its image pages for this upload.
        m_host.SessionEnded();
    }
}

void UploadSession::Shutdown() {
    if (const auto run = CurrentRun(); run && run->uploading.load()) StopFromOutside(run.get());
    JoinWorkers();
}

void UploadSession::AckTimeOutTimer() {
    const auto run = CurrentRun();
    if (!run || !run->engine) return;
    std::lock_guard lock(run->engineMutex);
    if (run->tftpRunning.load()) run->engine->AckTimeOutTimer();
}

void UploadSession::SendTimeOutTimer() {
    const auto run = CurrentRun();
    if (!run || !run->engine) return;
    std::lock_guard lock(run->engineMutex);
    if (run->tftpRunning.load()) run->engine->SendTimeOutTimer();
}

SessionState UploadSession::State() const {
    const auto run = CurrentRun();
    if (!run) return SessionState::Idle;
    if (run->uploading.load()) {
        return run->engine->TransferAccepted() ? SessionState::Transferring
                                               : SessionState::Announcing;
    }
    return run->startFailed.load() ? SessionState::StartFailed : SessionState::Idle;
}

void UploadSession::BootpWorker(std::shared_ptr<Run> run) {
    using Clock = platform::DatagramPort::Clock;
    // Absolute deadlines, so the period does not drift by the time a turn takes.
    auto next = Clock::now();
    while (run->bootpRunning.load()) {
        {
            std::lock_guard turn(run->turnMutex);
            if (!run->bootpRunning.load()) break;
            SendBootpReply(*run);
        }
        next += m_options.bootpPeriod;
        // After a stall, start afresh rather than send a burst of late replies.
        if (const auto now = Clock::now(); next + m_options.bootpPeriod < now) next = now;
        if (run->bootpSocket->WaitForStop(next)) break;
    }
}

void UploadSession::SendBootpReply(Run& run) {
    const SelectedCard card = m_host.Card();
    // A card without an address (a network manager takes it while the link is down) gives no
    // server address to offer: the turns wait for it to come back.
    if (card.hostAddress == 0) {
        if (!std::exchange(run.awaitingAddress, true)) {
            const std::string name = platform::CardName(card.ifindex);
            m_host.ShowStatus(name.empty() ? "Waiting for the network card to come back"
                                           : "Waiting for an IPv4 address on " + name);
        }
        return;
    }
    if (std::exchange(run.awaitingAddress, false)) m_host.ShowStatus("Uploading Started");
    const Ipv4 device = DeviceAddressFor(card.hostAddress);
    m_deviceIp.store(device);
    m_entryIfindex.store(card.ifindex);
    // Another card picked while announcing: the sockets follow it, as the reply does.
    if (card.ifindex != run.socketsCard &&
        run.bootpSocket->Bind(m_options.bootpServerPort, card.ifindex) == 0 &&
        run.tftpSocket->Bind(m_options.tftpServerPort, card.ifindex) == 0) {
        run.socketsCard = card.ifindex;
    }
    if (std::find(run.entries.begin(), run.entries.end(), std::pair{card.ifindex, device}) ==
        run.entries.end()) {
        run.entries.emplace_back(card.ifindex, device);
    }
    m_arp.SetDeviceArpEntry(card.ifindex, device, run.mac, true);
    if (run.keeper) run.keeper->Keep(card.ifindex, device, run.mac);
    const BootpReply reply = BuildBootpReply(device, card.hostAddress, run.mac,
                                             m_host.BootFileName(m_host.ActivePage()));
    run.bootpSocket->SendTo(reply, {device, m_options.bootpClientPort});
}

void UploadSession::JoinWorkers() {
    if (m_tftpThread.joinable()) m_tftpThread.join();
    if (m_bootpThread.joinable()) m_bootpThread.join();
}

std::shared_ptr<UploadSession::Run> UploadSession::CurrentRun() const {
    std::lock_guard lock(m_runMutex);
    return m_run;
}

}  // namespace fk
