#include "upgrade/station_session.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <utility>

#include "net/adapter_list.h"
#include "net/address_plan.h"
#include "wire/bootp_packet.h"
#include "wire/tftp_packet.h"

namespace fk {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams taken from a port per round, so that a flood cannot hold up the deadlines.
constexpr int kDatagramsPerRound = 64;
// New MACs learnt: a few at once, then one per interval, so that forged requests cannot take
// every place before a real recorder asks.
constexpr int kLearnBurst = 4;
constexpr std::chrono::milliseconds kLearnInterval{500};
constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFF;

// The end a transfer's last fact gives its recorder's upload; nothing for any other event.
std::optional<event::RecorderEnded> TransferEnd(const SessionEvent& event) {
    using Ended = event::RecorderEnded;
    if (const auto* completed = std::get_if<event::Completed>(&event))
        return Ended{Outcome::Completed, *completed};
    if (const auto* failed = std::get_if<event::Failed>(&event))
        return Ended{Outcome::Failed, *failed};
    if (const auto* unconfirmed = std::get_if<event::Unconfirmed>(&event))
        return Ended{Outcome::Unconfirmed, *unconfirmed};
    return std::nullopt;
}

}  // namespace

// Everything one run owns. Its thread holds it, so it lives until the thread ends; the thread
// alone touches what is not atomic while it runs.
struct StationSession::Run final : TftpSink {
    struct Member {
        StationRecorder recorder;
        bool named = false;
        bool endsAfterTransfer = false;
        bool uploading = false;        // its upload began (Started) and has not ended
        bool waiting = false;          // named, its turn not yet come
        bool announcing = false;       // named and its read request not yet come
        bool asked = false;            // a read request of it came
        bool headerConfirmed = false;  // its transfer's header block was acknowledged
        int entryCard = 0;             // the card its neighbour entry is on; 0: none
        int probeCard = 0;             // the card its address is being asked on for a first entry
        bool done = false;             // its last transfer ended
        Clock::time_point nextAnnounce;
        Clock::time_point answeredAt;        // learnt: its first answer
        Clock::time_point nextAsk;           // when its first entry is asked for again
        std::optional<BootpXid> unanswered;  // its boot request, answered once its entry stands
        std::set<Ipv4> offered;              // the addresses its boot replies gave

        // It takes one of the places served at once.
        bool Holds() const { return !done && (announcing || asked || !named); }
    };

    // The card a card source gives, as it was last read, and its name once known (found by its
    // index till then); read again at the next announcement when stale.
    struct FollowedCard {
        platform::AdapterSource& source;
        SelectedCard card;
        std::string name;
        bool stale = true;
        bool awaitingAddress = false;
    };

    Run(const StationPlan& plan, DeviceArp& arp) : plan(plan), card(plan.card), arp(arp) {
        if (plan.followCard) followed.emplace(FollowedCard{*plan.followCard, plan.card, {}});
    }

    platform::SendResult Send(std::span<const std::uint8_t> datagram,
                              const platform::Endpoint& to) override {
        return tftpPort->SendTo(datagram, to);
    }
    void Report(Ipv4 address, SessionEvent event) override {
        const auto end = TransferEnd(event);
        Member* member = MemberOf(address);
        if (!member) {
            pending.emplace_back(StationRecorder{}, std::move(event));
            // The port failed: the upload of a recorder that ends after its transfer ends with it.
            for (auto& each : members) {
                if (!end || address != 0 || !each.endsAfterTransfer) continue;
                DropEntry(each);
                each.done = true;
                EndUpload(each, *end);
            }
            return;
        }
        if (end) {
            DropEntry(*member);
            // A named one whose transfer ended before its recorder confirmed the header block
            // was not served: a stranger asked from its address, or a restart died. It is
            // announced to again.
            member->done = member->endsAfterTransfer || !member->named || member->headerConfirmed;
            member->asked = member->asked && member->done;
        } else if (std::holds_alternative<event::RequestAccepted>(event)) {
            member->done = false;
            member->headerConfirmed = false;
            // A station's recorder that asks again mid-transfer leaves that transfer's upload;
            // each request begins one.
            if (!member->endsAfterTransfer) {
                EndUpload(*member, {Outcome::Restarted, event::RecorderEnded::AskedAgain{}});
                BeginUpload(*member);
            }
        } else if (const auto* acked = std::get_if<event::Acknowledged>(&event);
                   acked && acked->blockNo >= 1 && !member->headerConfirmed) {
            // Its recorder has the header block: the announcements have done their work.
            member->headerConfirmed = true;
            member->announcing = false;
        }
        pending.emplace_back(member->recorder, std::move(event));
        if (end) EndUpload(*member, *end);
    }

    // The member's upload begins, from its address now and the card served now.
    void BeginUpload(Member& member) {
        member.uploading = true;
        pending.emplace_back(member.recorder,
                             event::Started{card, member.recorder.mac, plan.file.path,
                                            plan.file.page, member.recorder.address});
    }
    // The member's upload, if one runs, ends.
    void EndUpload(Member& member, event::RecorderEnded ended) {
        if (!std::exchange(member.uploading, false)) return;
        pending.emplace_back(member.recorder, std::move(ended));
    }
    // Another device answers for the member's address, and it has no other: its upload ends.
    void Held(Member& member) {
        member.announcing = member.waiting = false;
        member.done = true;
        pending.emplace_back(member.recorder, event::Admission{event::Admission::Kind::AddressHeld,
                                                               member.recorder.address});
        EndUpload(member,
                  {Outcome::Failed, event::RecorderEnded::AddressHeld{member.recorder.address}});
    }
    // Every recorder ends after its transfer, and every one's has ended: the station is over.
    bool Over() const {
        return !members.empty() && std::all_of(members.begin(), members.end(), [](const Member& m) {
            return m.endsAfterTransfer && m.done;
        });
    }

    // Makes the members' entries, together. Another device answering for a station recorder's
    // address gives the recorder the next one (said); with none left it is not served (said). An
    // address still being asked on the wire leaves the member without an entry, to be asked for
    // again from askAgain on: nothing here waits for the wire.
    void MakeEntries(std::vector<Member*> wanted, Clock::time_point askAgain) {
        for (Member* member : wanted) member->nextAsk = askAgain;
        while (!wanted.empty()) {
            std::vector<platform::NeighbourTable::Wanted> entries;
            for (const Member* member : wanted)
                entries.push_back({member->recorder.address, member->recorder.mac});
            const std::vector<int> errors = arp.AddDeviceArpEntries(card.ifindex, entries);
            std::vector<Member*> again;
            for (std::size_t n = 0; n < wanted.size(); ++n) {
                Member& member = *wanted[n];
                member.probeCard = errors[n] == EINPROGRESS ? card.ifindex : 0;
                if (errors[n] == EINPROGRESS) continue;
                if (errors[n] != EADDRINUSE) {
                    member.entryCard = card.ifindex;
                } else if (!plan.nextAddress) {
                    Held(member);
                } else if (Readdress(member)) {
                    again.push_back(&member);
                }
            }
            wanted = std::move(again);
        }
    }
    // Another device answered for the member's address: the next one, if any is left.
    bool Readdress(Member& member) {
        taken.insert(member.recorder.address);
        const auto next = plan.nextAddress(member.recorder.mac, Given());
        if (!next) {
            member.announcing = member.waiting = false;
            member.done = true;
            pending.emplace_back(member.recorder,
                                 event::Admission{event::Admission::Kind::NoAddress});
            return false;
        }
        const Ipv4 previous = member.recorder.address;
        member.recorder.address = *next;
        pending.emplace_back(member.recorder,
                             event::Admission{event::Admission::Kind::Readdressed, previous});
        return true;
    }
    // The addresses of the run so far, and those other devices answered for.
    std::set<Ipv4> Given() const {
        std::set<Ipv4> given = taken;
        for (const auto& member : members) given.insert(member.recorder.address);
        return given;
    }
    void DropEntry(Member& member) {
        // A probe still waiting ends too.
        const int card = member.entryCard ? member.entryCard : member.probeCard;
        if (card == 0) return;
        arp.SetDeviceArpEntry(card, member.recorder.address, {}, false);
        member.entryCard = member.probeCard = 0;
    }
    // It is to be served, and its entry is still to be made (while the card is followed, the
    // entry is made with each announcement, on the card of that moment).
    bool WantsEntry(const Member& member) const {
        return member.entryCard == 0 && !member.done &&
               ((member.announcing && !followed) || member.waiting || member.asked ||
                member.unanswered);
    }
    Member* ByAddress(Ipv4 address) {
        const auto found = std::find_if(members.begin(), members.end(), [&](const Member& m) {
            return m.recorder.address == address && address != 0;
        });
        return found == members.end() ? nullptr : &*found;
    }
    // The member at address, or the one a boot reply gave it to before (a card followed moves
    // its recorder's address).
    Member* MemberOf(Ipv4 address) {
        if (Member* member = ByAddress(address)) return member;
        const auto found = std::find_if(members.begin(), members.end(), [&](const Member& m) {
            return m.offered.contains(address);
        });
        return found == members.end() ? nullptr : &*found;
    }
    // The member's boot reply (an announcement, or the answer to its request with its xid): to
    // the recorder, or by broadcast where its entry cannot be made here.
    void SendBootpReply(Member& member, std::uint16_t clientPort,
                        const BootpXid& xid = kAnnounceXid) {
        const Ipv4 address = member.recorder.address;
        member.offered.insert(address);
        BootpReply reply = BuildBootpReply(address, card.hostAddress, member.recorder.mac,
                                           plan.file.bootFileName, xid);
        const auto to =
            BootpReplyDestination(address, card.hostAddress, arp.BroadcastFallbackMask());
        if (to.broadcast) SetBootpBroadcastFlag(reply);
        bootpPort->SendTo(reply, {to.address, clientPort});
    }
    Member* ByMac(const MacAddress& mac) {
        const auto found = std::find_if(members.begin(), members.end(),
                                        [&](const Member& m) { return m.recorder.mac == mac; });
        return found == members.end() ? nullptr : &*found;
    }
    // The port failed: the transfers end (said once, for the whole port), and so does the thread.
    void PortFailed(int error) {
        engine->OnReceiveFailed(error);
        portFailed = true;
    }
    // Takes what waits on the port, a round's worth at most, handing each datagram to take while
    // it asks for more; a receive that fails ends the port.
    template <typename Take>
    void Drain(platform::DatagramPort& port, Take take) {
        using Status = platform::ReceiveResult::Status;
        std::array<std::uint8_t, kTftpReceiveBufferSize> buffer{};
        for (int n = 0; n < kDatagramsPerRound; ++n) {
            const auto received = port.Receive(buffer);
            if (received.status == Status::Failed) return PortFailed(received.error);
            if (received.status != Status::Datagram) return;
            if (!take(received, std::span<const std::uint8_t>{buffer.data(), received.length}))
                return;
        }
    }

    const StationPlan plan;
    SelectedCard card;  // the card served now: the plan's, or the one followed with an address
    std::optional<FollowedCard> followed;
    std::atomic<int> pickedCard{0};  // the operator's pick not yet taken; 0: none
    DeviceArp& arp;
    std::shared_ptr<platform::DatagramPort> bootpPort;
    std::shared_ptr<platform::DatagramPort> tftpPort;
    std::unique_ptr<platform::NetworkWatch> watch;
    platform::Wakeup wakeup;
    std::unique_ptr<TftpEngine> engine;
    std::vector<Member> members;
    // Entries a card change left behind: not deleted by the change, as the window never did,
    // but at the end.
    std::vector<std::pair<int, Ipv4>> leftEntries;
    std::set<MacAddress> turnedAway;  // told once each
    std::set<Ipv4> taken;             // addresses another device answered for
    Clock::time_point learnClock;     // the rate limit's: when the next MAC may be learnt
    int portsCard = 0;                // the card both ports serve
    bool portFailed = false;
    Clock::time_point nextRefresh;
    std::vector<std::pair<StationRecorder, SessionEvent>> pending;
    std::vector<std::pair<StationRecorder, SessionEvent>> delivering;
    std::atomic<SessionState> state{SessionState::Idle};
    std::atomic<bool> stopAsked{false};
    std::atomic<bool> ackTimeOutAsked{false};
    std::atomic<bool> sendTimeOutAsked{false};
    std::atomic<bool> tidied{false};
    std::atomic<bool> endReported{false};
};

StationSession::StationSession(StationHost& host, DeviceArp& arp, platform::PortOpener& ports,
                               StationOptions options, WatchMaker makeWatch)
    : m_host(host),
      m_arp(arp),
      m_ports(ports),
      m_options(options),
      m_makeWatch(std::move(makeWatch)) {}

StationSession::~StationSession() {
    Stop();
}

bool StationSession::Start(const StationPlan& plan) {
    Stop();
    auto run = std::make_shared<Run>(plan, m_arp);
    m_arp.ResetErrorReport();
    // Each named recorder's turn falls at its own share of the period.
    const auto now = Clock::now();
    const auto count = static_cast<long long>(plan.named.size());
    for (long long n = 0; n < count; ++n) {
        const NamedRecorder& named = plan.named[static_cast<std::size_t>(n)];
        Run::Member member;
        member.recorder = named;
        member.named = true;
        member.endsAfterTransfer = named.endsAfterTransfer;
        member.waiting =
            static_cast<std::size_t>(n) >= std::max<std::size_t>(1, m_options.maxRecorders);
        member.announcing = !member.waiting;
        member.nextAnnounce = now + m_options.bootpPeriod * n / count;
        run->members.push_back(member);
    }
    // The upload of a recorder that ends after its transfer begins with the station.
    for (auto& member : run->members) {
        if (member.endsAfterTransfer) run->BeginUpload(member);
    }
    Deliver(*run);
    // Both serve the planned card; a station that follows the card moves them (FollowCard).
    run->portsCard = plan.card.ifindex;
    auto bootp = m_ports.Open(m_options.bootpServerPort, run->portsCard);
    auto tftp = bootp.port ? m_ports.Open(m_options.tftpServerPort, run->portsCard)
                           : platform::PortOpener::Opened{};
    if (!bootp.port || !tftp.port) {
        if (bootp.port) bootp.port->Close();
        const bool bootpFailed = !bootp.port;
        const auto& failed = bootpFailed ? bootp : tftp;
        run->tidied = true;
        run->state = SessionState::StartFailed;
        const event::StartFailed startFailed{
            bootpFailed ? event::StartFailed::Socket::Bootp : event::StartFailed::Socket::Tftp,
            failed.step, failed.error, platform::LastNetHelperProblem()};
        run->pending.emplace_back(StationRecorder{}, startFailed);
        for (auto& member : run->members) {
            member.done = true;
            run->EndUpload(member, {Outcome::Failed, startFailed});
        }
        {
            std::lock_guard lock(m_mutex);
            m_run = run;
        }
        Deliver(*run);
        return false;
    }
    run->bootpPort = std::move(bootp.port);
    run->tftpPort = std::move(tftp.port);
    // As many transfers at once as recorders may be served: the named ones alone when none is
    // learnt.
    const std::size_t places = std::max<std::size_t>(1, m_options.maxRecorders);
    run->engine = std::make_unique<TftpEngine>(
        plan.file, m_images, *run,
        TftpOptions{m_options.sendTimeOut, kMaxResends, m_options.headerWait,
                    plan.learn ? places : std::clamp<std::size_t>(plan.named.size(), 1, places)});
    if (m_makeWatch) run->watch = m_makeWatch();
    run->nextRefresh = now + m_options.entryRefresh;
    run->state = SessionState::Announcing;
    m_host.OnEvent({}, event::Announcing{});
    for (const auto& member : run->members) {
        if (member.waiting) m_host.OnEvent(member.recorder, event::Admission{});
    }
    std::lock_guard lock(m_mutex);
    m_run = run;
    m_thread = std::thread(&StationSession::NetworkThread, this, std::ref(*run));
    return true;
}

void StationSession::Stop(Outcome why) {
    std::shared_ptr<Run> run;
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        run = std::exchange(m_run, nullptr);
        thread = std::move(m_thread);
    }
    if (!run) return;
    run->stopAsked = true;
    run->wakeup.Signal();
    if (thread.joinable()) thread.join();
    for (auto& member : run->members)
        run->EndUpload(member, {why, event::RecorderEnded::Stopped{}});
    Deliver(*run);
    Tidy(*run);
    if (!run->endReported.exchange(true)) m_host.OnEvent({}, event::Ended{});
}

void StationSession::PickCard(int ifindex) {
    if (const auto run = CurrentRun()) run->pickedCard = ifindex;
}

void StationSession::AckTimeOut() {
    if (const auto run = CurrentRun()) {
        run->ackTimeOutAsked = true;
        run->wakeup.Signal();
    }
}

void StationSession::SendTimeOut() {
    if (const auto run = CurrentRun()) {
        run->sendTimeOutAsked = true;
        run->wakeup.Signal();
    }
}

SessionState StationSession::State() const {
    const auto run = CurrentRun();
    return run ? run->state.load() : SessionState::Idle;
}

void StationSession::NetworkThread(Run& run) {
    TftpEngine& engine = *run.engine;
    while (!run.stopAsked && !run.portFailed) {
        const auto now = Clock::now();
        Round(run, now);
        Deliver(run);
        if (run.Over()) break;
        std::optional<Clock::time_point> deadline = engine.Deadline();
        const auto sooner = [&](Clock::time_point at) {
            deadline = std::min(deadline.value_or(at), at);
        };
        sooner(run.nextRefresh);
        for (const auto& member : run.members) {
            if (member.announcing) sooner(member.nextAnnounce);
            if (run.WantsEntry(member)) sooner(member.nextAsk);
        }
        const std::array descriptors{run.tftpPort->Descriptor(), run.bootpPort->Descriptor(),
                                     run.watch ? run.watch->Descriptor() : -1,
                                     run.wakeup.Descriptor()};
        const auto readable = platform::WaitReadable(descriptors, deadline);
        if (readable[0]) ReceiveTftp(run);
        if (readable[1] && !run.portFailed) ReceiveBootp(run);
        if (readable[2]) ReceiveNotices(run);
    }
    Deliver(run);
    // A station whose recorders all end after their transfers ends by itself with the last.
    if (run.Over() && !run.stopAsked) {
        Tidy(run);
        if (!run.endReported.exchange(true)) m_host.OnEvent({}, event::Ended{});
    }
}

void StationSession::Round(Run& run, Clock::time_point now) {
    TftpEngine& engine = *run.engine;
    LetGoSilent(run, now);
    GiveTurns(run, now);
    Announce(run, now);
    if (now >= run.nextRefresh) {
        // A watch that cannot be polled beside the ports is asked here, for the card followed.
        if (run.followed && run.watch && run.watch->Descriptor() < 0) ReceiveNotices(run);
        RefreshEntries(run);
        run.nextRefresh = now + m_options.entryRefresh;
    }
    if (run.ackTimeOutAsked.exchange(false)) engine.OnAckTimeOut();
    if (run.sendTimeOutAsked.exchange(false)) engine.OnDeadline(engine.Deadline().value_or(now));
    if (const auto due = engine.Deadline(); due && *due <= now) engine.OnDeadline(now);
}

void StationSession::Announce(Run& run, Clock::time_point now) {
    const auto period = m_options.bootpPeriod;
    std::vector<Run::Member*> due;
    std::vector<Run::Member*> standing;  // asked already: its entry stands and is refreshed
    for (auto& member : run.members) {
        if (!member.announcing || now < member.nextAnnounce) continue;
        member.nextAnnounce += period;
        // After a stall, it keeps its share of the period rather than send a burst of late replies.
        if (member.nextAnnounce <= now)
            member.nextAnnounce += period * ((now - member.nextAnnounce) / period + 1);
        if (run.followed && !FollowCard(run)) continue;
        if (member.asked && member.entryCard != 0) {
            standing.push_back(&member);
            continue;
        }
        // Added again before every reply, as the window always has: an add the system refused
        // is tried anew.
        member.entryCard = 0;
        due.push_back(&member);
    }
    for (Run::Member* member : standing) run.SendBootpReply(*member, m_options.bootpClientPort);
    // The first entries still to be made are asked for with these, those waiting for a place
    // too: a bench's probes run side by side, and a place that frees mid-run finds its entry
    // made. Each is asked again once a period until the wire has answered.
    std::vector<Run::Member*> wanted = due;
    for (auto& member : run.members) {
        if (run.WantsEntry(member) && now >= member.nextAsk &&
            std::find(due.begin(), due.end(), &member) == due.end())
            wanted.push_back(&member);
    }
    if (wanted.empty()) return;
    run.MakeEntries(wanted, now + period);
    for (Run::Member* member : due) {
        if (member->entryCard != 0) run.SendBootpReply(*member, m_options.bootpClientPort);
    }
    // Boot requests that came while their recorder's address was asked on the wire.
    for (auto& member : run.members) {
        if (!member.unanswered || member.entryCard == 0) continue;
        run.SendBootpReply(member, m_options.bootpClientPort,
                           *std::exchange(member.unanswered, std::nullopt));
    }
}

// A place freed goes to the next named recorder waiting: its announcements begin.
void StationSession::GiveTurns(Run& run, Clock::time_point now) {
    auto held = static_cast<std::size_t>(std::count_if(
        run.members.begin(), run.members.end(), [](const Run::Member& m) { return m.Holds(); }));
    for (auto& member : run.members) {
        if (held >= m_options.maxRecorders) return;
        if (!member.waiting) continue;
        member.waiting = false;
        member.announcing = true;
        member.nextAnnounce = now;
        ++held;
        run.Report(member.recorder.address, event::Announcing{});
    }
}

// A recorder learnt whose answer brought no read request in time: its place and address are free.
void StationSession::LetGoSilent(Run& run, Clock::time_point now) {
    std::erase_if(run.members, [&](Run::Member& member) {
        if (member.named || member.asked || now - member.answeredAt < m_options.learntWait)
            return false;
        run.DropEntry(member);
        run.pending.emplace_back(member.recorder, event::Admission{event::Admission::Kind::LetGo});
        return true;
    });
}

// The card followed as it is now, taken whole: its address, the recorder's address the rule
// gives for it, the ports and the entry move with it. False while it has no address to offer (a
// network manager takes it while the link is down) or is gone: the turns wait for it to come back.
bool StationSession::FollowCard(Run& run) {
    Run::FollowedCard& followed = *run.followed;
    if (const int picked = run.pickedCard.exchange(0)) {
        followed.card = {0, picked};
        followed.name.clear();
        followed.stale = true;
    }
    if (std::exchange(followed.stale, false)) ReadCard(run);
    const SelectedCard card = followed.card;
    if (card.hostAddress == 0) {
        if (!std::exchange(followed.awaitingAddress, true)) {
            run.Report(0, event::WaitingForAddress{platform::CardName(card.ifindex)});
        }
        return false;
    }
    if (std::exchange(followed.awaitingAddress, false)) run.Report(0, event::AddressBack{});
    run.card = card;
    if (card.ifindex != run.portsCard) {
        if (m_ports.Move(*run.bootpPort, m_options.bootpServerPort, card.ifindex) == 0) {
            if (const int error =
                    m_ports.Move(*run.tftpPort, m_options.tftpServerPort, card.ifindex)) {
                // Both ports serve one card, or the run ends: never one on each.
                if (m_ports.Move(*run.bootpPort, m_options.bootpServerPort, run.portsCard) != 0)
                    run.PortFailed(error);
            } else {
                run.portsCard = card.ifindex;
            }
        }
    }
    Run::Member& member = run.members.front();
    const Ipv4 device = DeviceAddressFor(card.hostAddress);
    if (member.recorder.address != device || member.entryCard != card.ifindex) {
        if (member.entryCard != 0) {
            const std::pair left{member.entryCard, member.recorder.address};
            if (std::find(run.leftEntries.begin(), run.leftEntries.end(), left) ==
                run.leftEntries.end())
                run.leftEntries.push_back(left);
            member.entryCard = 0;
        }
        member.recorder.address = device;
    }
    return !run.portFailed;
}

// Only an address the card holds is announced: not the one its stored configuration would give
// it, which a network manager takes away with the carrier.
void StationSession::ReadCard(Run& run) {
    Run::FollowedCard& followed = *run.followed;
    const auto query = followed.source.List();
    if (!query.ok) {
        followed.stale = true;  // asked again at the next announcement
        return;
    }
    const AdapterList cards = BuildAdapterList(query);
    const auto found = std::find_if(cards.begin(), cards.end(), [&](const AdapterRecord& card) {
        return followed.name.empty() ? static_cast<int>(card.index) == followed.card.ifindex
                                     : card.adapterName == followed.name;
    });
    if (found == cards.end()) {
        followed.card.hostAddress = 0;
        return;
    }
    followed.name = found->adapterName;
    followed.card = {ParseDottedQuad(found->ipAddress), static_cast<int>(found->index)};
}

void StationSession::RefreshEntries(Run& run) {
    // The kernel ages an entry out that a silent boot loader never confirms, and a lost carrier
    // flushes it: each live one is added again, and one that is gone is asked on the wire first,
    // to be made on a later turn.
    for (auto& member : run.members) {
        if (member.entryCard == 0) continue;
        const int error = m_arp.SetDeviceArpEntry(member.entryCard, member.recorder.address,
                                                  member.recorder.mac, true);
        if (error == EINPROGRESS) {
            member.probeCard = std::exchange(member.entryCard, 0);
            member.nextAsk = Clock::now() + m_options.bootpPeriod;
        } else if (error == EADDRINUSE && !run.plan.nextAddress) {
            // The entry there is the other device's now: not deleted as the recorder's.
            member.entryCard = 0;
            run.Held(member);
        }
    }
}

void StationSession::ReceiveNotices(Run& run) {
    // The notices waiting (the descriptor said so, or the watch is polled): this does not wait.
    const auto changes = run.watch->Wait(Clock::now());
    const bool carrierBack =
        std::any_of(changes.begin(), changes.end(), [&](const platform::NetworkChange& change) {
            return change.kind == platform::NetworkChange::Kind::Missed ||
                   (change.kind == platform::NetworkChange::Kind::Link &&
                    change.ifindex == run.card.ifindex && change.carrier);
        });
    if (carrierBack) RefreshEntries(run);
    if (!changes.empty() && run.followed) run.followed->stale = true;
}

void StationSession::ReceiveTftp(Run& run) {
    // A station that ends with its transfers takes nothing after them.
    const auto over = [&] { return run.Over(); };
    if (over()) return;
    const auto take = [&](const platform::ReceiveResult& received,
                          std::span<const std::uint8_t> datagram) {
        // Only the station's recorders are served, from an address a boot reply gave: a read
        // request from any other is a stranger's, which would take the image and end the upload.
        Run::Member* member = run.MemberOf(received.from.address);
        if (!member || !member->offered.contains(received.from.address)) return true;
        // A named one waiting its turn is served once it comes: its place is not yet free.
        if (member->waiting) return true;
        if (ParseTftpOpcode(datagram) == TftpKind::ReadRequest) {
            // A station's recorder is announced to until it confirms the header block: a
            // stranger's request from its address must not silence its announcements. One that
            // ends after its transfer has no later one to be announced to for.
            if (member->endsAfterTransfer) member->announcing = false;
            member->asked = true;
            if (!run.followed && member->entryCard == 0)
                run.MakeEntries({member}, Clock::now() + m_options.bootpPeriod);
        }
        run.engine->OnDatagram(datagram, received.from, Clock::now());
        if (run.engine->TransferAccepted()) run.state = SessionState::Transferring;
        return !over();
    };
    run.Drain(*run.tftpPort, take);
}

void StationSession::ReceiveBootp(Run& run) {
    std::vector<std::pair<MacAddress, BootpXid>> asking;
    const auto take = [&](const platform::ReceiveResult& received,
                          std::span<const std::uint8_t> datagram) {
        const auto request = ParseBootpRequest(datagram);
        if (!request || !IsRecorderMac(request->mac)) return true;
        Run::Member* member = run.ByMac(request->mac);
        // Learnt only from a request broadcast on the card's own link (where the system tells):
        // one sent to this PC, or routed here, is nobody's to steer the bench with.
        const bool onLink =
            (received.to == 0 && received.ifindex == 0) ||
            (received.to == kLimitedBroadcast && received.ifindex == run.card.ifindex);
        if (!member && run.plan.learn && run.plan.nextAddress && onLink) {
            Learn(run, request->mac);
            member = run.ByMac(request->mac);
        }
        // A named one waiting its turn is answered when it comes; an upload waiting for the
        // card's address has none to give.
        if (member && !member->waiting && member->recorder.address != 0 &&
            run.card.hostAddress != 0)
            asking.emplace_back(request->mac, request->xid);
        return true;
    };
    run.Drain(*run.bootpPort, take);
    // Their entries are made together: recorders learnt in one round wait for one probe.
    std::vector<Run::Member*> wanted;
    for (const auto& [mac, xid] : asking) {
        Run::Member* member = run.ByMac(mac);
        if (member && member->entryCard == 0 &&
            std::find(wanted.begin(), wanted.end(), member) == wanted.end())
            wanted.push_back(member);
    }
    run.MakeEntries(wanted, Clock::now() + m_options.bootpPeriod);
    for (const auto& [mac, xid] : asking) {
        Run::Member* member = run.ByMac(mac);
        if (!member) continue;
        if (member->entryCard != 0) {
            // Answered now, with its latest xid: an earlier request still waiting is not.
            member->unanswered.reset();
            run.SendBootpReply(*member, m_options.bootpClientPort, xid);
        } else if (member->probeCard != 0) {
            member->unanswered = xid;  // answered once the wire has answered for its address
        }
    }
}

void StationSession::Learn(Run& run, const MacAddress& mac) {
    using Kind = event::Admission::Kind;
    const auto now = Clock::now();
    const auto turnAway = [&](Kind kind) {
        if (run.turnedAway.insert(mac).second)
            run.pending.emplace_back(StationRecorder{mac, 0}, event::Admission{kind});
    };
    const auto held = static_cast<std::size_t>(std::count_if(
        run.members.begin(), run.members.end(), [](const Run::Member& m) { return m.Holds(); }));
    if (held >= m_options.maxRecorders) return turnAway(Kind::NoPlace);
    run.learnClock = std::max(run.learnClock, now - kLearnBurst * kLearnInterval);
    if (run.learnClock + kLearnInterval > now) return;
    const auto address = run.plan.nextAddress(mac, run.Given());
    if (!address) return turnAway(Kind::NoAddress);
    run.learnClock += kLearnInterval;
    run.turnedAway.erase(mac);
    Run::Member newcomer;
    newcomer.recorder = {mac, *address};
    newcomer.answeredAt = now;
    run.members.push_back(newcomer);
    // A recorder learnt is answered from now on.
    run.Report(*address, event::Announcing{});
}

void StationSession::Deliver(Run& run) {
    // Swapped out first, into a vector kept for it, so a round of blocks does not allocate.
    run.delivering.swap(run.pending);
    for (const auto& [recorder, event] : run.delivering) m_host.OnEvent(recorder, event);
    run.delivering.clear();
}

void StationSession::Tidy(Run& run) {
    if (run.tidied.exchange(true)) return;
    for (auto& member : run.members) run.DropEntry(member);
    for (const auto& [card, address] : run.leftEntries)
        m_arp.SetDeviceArpEntry(card, address, {}, false);
    // The window's stop deletes the entry of the address 0.0.0.0 as well.
    if (run.followed) m_arp.SetDeviceArpEntry(run.card.ifindex, 0, {}, false);
    run.bootpPort->Close();
    run.tftpPort->Close();
    run.state = SessionState::Idle;
}

std::shared_ptr<StationSession::Run> StationSession::CurrentRun() const {
    std::lock_guard lock(m_mutex);
    return m_run;
}

}  // namespace fk
