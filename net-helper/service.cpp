#include "net-helper/service.h"

#include <fcntl.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net-helper/rtnetlink.h"

namespace fk::nethelper {

namespace {

// How long a probe gives a device to answer for the address: an answer on a local link takes
// milliseconds, and each recorder's first entry costs this once.
constexpr std::chrono::milliseconds kProbeWait{500};
// A probe nobody asked after is dropped, its entry with it, this long after it began.
constexpr std::chrono::seconds kProbeForgotten{5};
// How often a service looks for entries whose maker is gone: they go within this long.
constexpr std::chrono::seconds kSweepEvery{5};

bool SendReply(int channel, const Reply& reply, int socketToPass) {
    iovec part{const_cast<Reply*>(&reply), sizeof reply};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (socketToPass >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &socketToPass, sizeof(int));
    }
    for (;;) {
        if (sendmsg(channel, &message, MSG_NOSIGNAL) == sizeof reply) return true;
        if (errno != EINTR) return false;
    }
}

// Deletes what a service that did not end its own way left behind.
void SweepLeftOverEntries() {
    std::vector<NeighbourAt> entries;
    if (ListNeighbours(0, entries) != 0) return;
    for (const NeighbourAt& at : entries) {
        if (IsLeftOverEntry(at.entry)) DeleteNeighbour(at.ifindex, at.address);
    }
}

// The entries any FlashKit process made on the card, but for the one at the address (which the
// add replaces).
int CountTaggedEntries(int ifindex, std::uint32_t address, std::size_t& count) {
    std::vector<NeighbourAt> entries;
    if (const int error = ListNeighbours(ifindex, entries)) return error;
    count = static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [&](auto& at) {
        return at.entry.protocol == kEntryProtocol && at.address != address;
    }));
    return 0;
}

// What a refused or failed add leaves at the address goes: the probe's entry, resolved or not.
// A fixed entry an administrator made meanwhile stays.
void DeleteUnlessFixed(int ifindex, std::uint32_t address) {
    std::optional<Neighbour> entry;
    if (FindNeighbour(ifindex, address, entry) != 0 || !entry) return;
    if (!(entry->state & (NUD_PERMANENT | NUD_NOARP))) DeleteNeighbour(ifindex, address);
}

int CheckCard(int ifindex) {
    Card card;
    if (const int error = ReadCard(ifindex, card)) return error;
    return CheckEthernetCard(card);
}

}  // namespace

NetService::~NetService() {
    for (const auto& joined : m_joined) close(joined->lock);
}

int NetService::JoinNamespace() {
    constexpr const char* kNamespace = "/proc/thread-self/ns/net";
    struct stat joined {};
    if (stat(kNamespace, &joined) != 0) return errno;
    std::lock_guard lock(m_mutex);
    for (const auto& each : m_joined) {
        if (each->inode == joined.st_ino) {
            m_current = each.get();
            return 0;
        }
    }
    const int fd = open(kNamespace, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) SweepLeftOverEntries();
    // Going from exclusive to shared lets the lock go for a moment; this service has made
    // nothing yet that another one's sweep could take.
    while (flock(fd, LOCK_SH) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        close(fd);
        return error;
    }
    m_joined.push_back(std::make_unique<Joined>());
    m_current = m_joined.back().get();
    m_current->inode = joined.st_ino;
    m_current->lock = fd;
    // Opened now, before the helper's system call filter: the file calls are not in it.
    m_current->record.Open(joined.st_dev, joined.st_ino);
    SweepGone(Clock::now());
    return 0;
}

std::vector<Reply> NetService::HandleAll(std::span<const Request> requests,
                                         std::vector<int>& boundSockets) {
    // Each add asks the kernel several things: one socket serves the whole batch.
    const NetlinkBatch batch;
    boundSockets.assign(requests.size(), -1);
    std::vector<Reply> replies;
    for (std::size_t n = 0; n < requests.size(); ++n)
        replies.push_back(Handle(requests[n], boundSockets[n]));
    RunTimers();
    return replies;
}

std::optional<std::chrono::steady_clock::duration> NetService::RunTimers() {
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    DropForgottenProbes(now);
    std::optional<Clock::time_point> next;
    if (Record()) {
        if (now >= m_current->sweepDue) SweepGone(now);
        next = m_current->sweepDue;
    }
    ReleaseUnused();
    for (const Probe& probe : m_probes) {
        if (!next || probe.began + kProbeForgotten < *next) next = probe.began + kProbeForgotten;
    }
    if (!next) return std::nullopt;
    return std::max(*next - now, Clock::duration::zero());
}

Reply NetService::Handle(const Request& request, int& boundSocket) {
    boundSocket = -1;
    Reply reply;
    if (request.magic != kMagic || request.version != kVersion) {
        reply.error = kOtherVersion;
        return reply;
    }
    switch (static_cast<Op>(request.op)) {
        case Op::BindUdp:
            reply.error = Bind(request.port, request.ifindex, boundSocket);
            break;
        case Op::AddNeighbour:
            reply.error = Add(request.ifindex, request.address, request.mac);
            break;
        case Op::RemoveNeighbour:
            reply.error = Remove(request.ifindex, request.address);
            break;
        default:
            reply.error = EINVAL;
    }
    return reply;
}

int NetService::Bind(std::uint16_t port, int ifindex, int& boundSocket) {
    if (const int refused = CheckBindPort(port)) return refused;
    if (const int refused = CheckCard(ifindex)) return refused;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    // Bound to the one card before it has a port: it never serves, nor blocks, any other.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &ifindex, sizeof ifindex) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    boundSocket = fd;
    return 0;
}

int NetService::Add(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6]) {
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    DropForgottenProbes(now);
    auto probe = FindProbe(ifindex, address);
    // Asked for another recorder meanwhile: that one's probe starts afresh.
    if (probe != m_probes.end() && !std::equal(std::begin(mac), std::end(mac), probe->mac)) {
        DropProbe(ifindex, address);
        probe = m_probes.end();
    }
    const bool probing = probe != m_probes.end();
    const Step step = Check(ifindex, address, mac, probing);
    if (step.error) {
        if (probing) DropProbe(ifindex, address);
        return step.error;
    }
    if (step.settled) {
        // The recorder itself answered the probe: its entry is made over the probe's.
        if (probing) m_probes.erase(probe);
        return Finish(ifindex, address, mac, step, false, std::nullopt);
    }
    if (!probing) return StartProbe(ifindex, address, mac, step.ours, now);
    // The probe's entry resolved is the answer; unresolved, it is none once its time is up.
    std::optional<Neighbour> answer;
    if (step.existing && step.existing->hasMac && (step.existing->state & kResolvedStates))
        answer = step.existing;
    if (!answer && now < probe->began + kProbeWait) return kProbing;
    m_probes.erase(probe);
    return Finish(ifindex, address, mac, step, true, answer);
}

NetService::Step NetService::Check(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                                   bool probing) {
    const auto ended = [](int error) {
        Step step;
        step.error = error;
        return step;
    };
    if (const int refused = CheckRecorderMac(mac)) return ended(refused);
    if (const int refused = CheckCard(ifindex)) return ended(refused);
    std::vector<InterfaceAddress> addresses;
    if (const int error = ListAddresses(addresses)) return ended(error);
    std::vector<CardAddress> own;
    std::vector<std::uint32_t> local;
    for (const InterfaceAddress& each : addresses) {
        local.push_back(each.address.address);
        if (each.ifindex == ifindex) own.push_back(each.address);
    }
    if (const int refused = CheckSubnetAddress(address, own)) return ended(refused);
    if (const int refused = CheckNotLocal(address, local)) return ended(refused);
    std::vector<std::uint32_t> gateways;
    if (const int error = ListCardGateways(ifindex, gateways)) return ended(error);
    if (const int refused = CheckNotAGateway(address, gateways)) return ended(refused);

    Step step;
    if (const int error = FindNeighbour(ifindex, address, step.existing)) return ended(error);
    auto made = FindMade(ifindex, address);
    step.ours = made != m_made.end() && StillAsMade(*made, step.existing);
    if (!step.ours) {
        // Whatever it once made there has been replaced by someone else.
        if (made != m_made.end()) m_made.erase(made);
        // The probe's own entry is judged as its answer, when it is due.
        const int refused =
            probing ? CheckProbeAnswer(step.existing && (step.existing->state & kResolvedStates)
                                           ? step.existing
                                           : std::nullopt)
                    : CheckExistingEntry(step.existing);
        if (refused) return ended(refused);
    }
    // A recorder has one address on a card: the entry it made for this MAC at another address is
    // the recorder's old one, deleted once the new one stands. Moving it, rather than refusing,
    // lets a window whose card changed address go on; either way the entries never outnumber the
    // recorders, and it only ever deletes an entry it made.
    for (const Made& each : m_made) {
        if (each.ifindex == ifindex && each.address != address &&
            std::equal(std::begin(mac), std::end(mac), each.mac)) {
            step.previous = each.address;
        }
    }
    // Only an entry it made that still stands resolved is taken as proof that the address is the
    // recorder's; anything else is asked on the wire first.
    step.settled = step.ours && (step.existing->state & kResolvedStates);
    return step;
}

int NetService::StartProbe(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                           bool ours, Clock::time_point now) {
    // The probe's entry takes one of the card's places, whoever asks and for whatever MAC (a
    // recorder's old entry keeps its own until the new one stands). The places are counted, and
    // the entry recorded and made, under the record's lock: helpers asking at the same moment
    // cannot pass the cap together.
    EntryRecord* record = Record();
    std::optional<EntryRecord::Hold> hold;
    if (record && !hold.emplace(*record).Held()) return EBUSY;
    std::size_t held = 0;
    if (const int error = CountTaggedEntries(ifindex, address, held)) return error;
    if (held >= kMaxRecorderEntries) return ENOSPC;
    if (record) {
        if (const int error = record->Claim({ifindex, address})) return error;
    }
    if (const int error = AskNeighbour(ifindex, address)) {
        if (ours) m_made.erase(FindMade(ifindex, address));
        DeleteUnlessFixed(ifindex, address);
        return error;
    }
    Probe asked{ifindex, address, {}, now};
    std::copy(std::begin(mac), std::end(mac), asked.mac);
    m_probes.push_back(asked);
    return kProbing;
}

int NetService::Finish(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                       const Step& step, bool probed, const std::optional<Neighbour>& answer) {
    // Unanswered, the probe's entry is unresolved: a device that answers after all, before the
    // entry below is made, keeps its own.
    const bool overrideResolved = !probed || answer.has_value();
    if (const int error = SetNeighbour(ifindex, address, mac, overrideResolved)) {
        if (probed) {
            if (step.ours) m_made.erase(FindMade(ifindex, address));
            DeleteUnlessFixed(ifindex, address);
        }
        return error;
    }
    if (step.ours) {
        std::copy(std::begin(mac), std::end(mac), FindMade(ifindex, address)->mac);
    } else {
        Made entry{ifindex, address, {}};
        std::copy(std::begin(mac), std::end(mac), entry.mac);
        m_made.push_back(entry);
    }
    // Read back: the kernel must hold the entry under the address asked for, as asked.
    std::optional<Neighbour> stored;
    const int readError = FindNeighbour(ifindex, address, stored);
    const bool asAsked = readError == 0 && stored && stored->hasMac &&
                         !(stored->state & (NUD_PERMANENT | NUD_NOARP)) &&
                         std::equal(std::begin(mac), std::end(mac), stored->mac);
    if (asAsked) {
        if (step.previous) RemoveMade(ifindex, *step.previous);
        return 0;
    }
    m_made.erase(FindMade(ifindex, address));
    UndoStrayEntries(ifindex, mac);
    DeleteUnlessFixed(ifindex, address);
    if (readError) return readError;
    // A device answered between the probe and the entry.
    return stored && CheckExistingEntry(stored) ? kHeldByOtherEntry : EADDRNOTAVAIL;
}

int NetService::Remove(int ifindex, std::uint32_t address) {
    std::lock_guard lock(m_mutex);
    // A probe still waiting ends with its entry: the recorder is not to be served.
    if (DropProbe(ifindex, address) && FindMade(ifindex, address) == m_made.end()) return 0;
    return RemoveMade(ifindex, address);
}

int NetService::RemoveMade(int ifindex, std::uint32_t address) {
    const auto made = FindMade(ifindex, address);
    if (made == m_made.end()) return ENOENT;
    std::optional<Neighbour> existing;
    const int error = FindNeighbour(ifindex, address, existing);
    const bool ours = error == 0 && StillAsMade(*made, existing);
    m_made.erase(made);
    if (error) return error;
    return ours ? DeleteNeighbour(ifindex, address) : ENOENT;
}

void NetService::RemoveAll() {
    const NetlinkBatch batch;
    std::vector<Made> made;
    {
        std::lock_guard lock(m_mutex);
        for (const Probe& probe : m_probes) DeleteUnlessFixed(probe.ifindex, probe.address);
        m_probes.clear();
        made = m_made;
    }
    for (const Made& entry : made) Remove(entry.ifindex, entry.address);
    std::lock_guard lock(m_mutex);
    ReleaseUnused();
}

std::vector<NetService::Probe>::iterator NetService::FindProbe(int ifindex, std::uint32_t address) {
    return std::find_if(m_probes.begin(), m_probes.end(), [&](const Probe& probe) {
        return probe.ifindex == ifindex && probe.address == address;
    });
}

bool NetService::DropProbe(int ifindex, std::uint32_t address) {
    const auto probe = FindProbe(ifindex, address);
    if (probe == m_probes.end()) return false;
    m_probes.erase(probe);
    DeleteUnlessFixed(ifindex, address);
    return true;
}

void NetService::DropForgottenProbes(Clock::time_point now) {
    std::vector<Probe> forgotten;
    std::erase_if(m_probes, [&](const Probe& probe) {
        if (now < probe.began + kProbeForgotten) return false;
        forgotten.push_back(probe);
        return true;
    });
    for (const Probe& probe : forgotten) DeleteUnlessFixed(probe.ifindex, probe.address);
}

EntryRecord* NetService::Record() {
    return m_current && m_current->record.Usable() ? &m_current->record : nullptr;
}

void NetService::SweepGone(Clock::time_point now) {
    EntryRecord* record = Record();
    if (!record) return;
    m_current->sweepDue = now + kSweepEvery;
    EntryRecord::Hold hold(*record);
    if (!hold.Held()) return;
    for (const EntryRecord::Slot& gone : record->TakeGone()) {
        std::optional<Neighbour> entry;
        if (FindNeighbour(gone.ifindex, gone.address, entry) == 0 && entry &&
            IsLeftOverEntry(*entry)) {
            DeleteNeighbour(gone.ifindex, gone.address);
        }
    }
}

void NetService::ReleaseUnused() {
    EntryRecord* record = Record();
    if (!record) return;
    std::vector<EntryRecord::Slot> unused;
    for (const EntryRecord::Slot& slot : record->Mine()) {
        if (FindMade(slot.ifindex, slot.address) == m_made.end() &&
            FindProbe(slot.ifindex, slot.address) == m_probes.end()) {
            unused.push_back(slot);
        }
    }
    if (unused.empty()) return;
    EntryRecord::Hold hold(*record);
    if (!hold.Held()) return;
    for (const EntryRecord::Slot& slot : unused) record->Release(slot);
}

std::vector<NetService::Made>::iterator NetService::FindMade(int ifindex, std::uint32_t address) {
    return std::find_if(m_made.begin(), m_made.end(), [&](const Made& made) {
        return made.ifindex == ifindex && made.address == address;
    });
}

bool NetService::StillAsMade(const Made& made, const std::optional<Neighbour>& existing) {
    if (!existing || (existing->state & (NUD_PERMANENT | NUD_NOARP))) return false;
    return !existing->hasMac || std::equal(std::begin(made.mac), std::end(made.mac), existing->mac);
}

void NetService::UndoStrayEntries(int ifindex, const std::uint8_t (&mac)[6]) {
    std::vector<NeighbourAt> entries;
    if (ListNeighbours(ifindex, entries) != 0) return;
    for (const NeighbourAt& at : entries) {
        const bool tagged = at.entry.protocol == kEntryProtocol && at.entry.hasMac &&
                            std::equal(std::begin(mac), std::end(mac), at.entry.mac);
        if (tagged && FindMade(ifindex, at.address) == m_made.end()) {
            DeleteNeighbour(ifindex, at.address);
        }
    }
}

namespace {

// Returns once the channel has something to read, or has ended; runs the service's timers when
// they are due meanwhile.
void AwaitRequests(int channel, NetService& service) {
    for (;;) {
        const auto wait = service.RunTimers();
        timespec timeout{};
        if (wait) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
            timeout.tv_sec = seconds.count();
            timeout.tv_nsec = std::chrono::nanoseconds(*wait - seconds).count();
        }
        pollfd channelReady{channel, POLLIN, 0};
        const int ready = ppoll(&channelReady, 1, wait ? &timeout : nullptr, nullptr);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    }
}

}  // namespace

void Serve(int channel, NetService& service) {
    for (;;) {
        // What the window sent together is answered together, in order, a bench's worth at a
        // time: one round trip for a bench's entries.
        std::vector<Request> requests;
        bool ended = false;
        while (!ended && requests.size() < kMaxRecorderEntries) {
            // One byte more than a request, so that a longer message shows as such.
            char buffer[sizeof(Request) + 1];
            const int waiting = requests.empty() ? 0 : MSG_DONTWAIT;
            if (requests.empty()) AwaitRequests(channel, service);
            const ssize_t received = recv(channel, buffer, sizeof buffer, MSG_TRUNC | waiting);
            if (received < 0 && errno == EINTR) continue;
            if (received < 0 && waiting && errno == EAGAIN) break;
            if (received <= 0) {
                ended = true;
                break;
            }
            // Anything but a whole request is answered EINVAL, as an unknown one is.
            Request request;
            if (received == sizeof request) std::memcpy(&request, buffer, sizeof request);
            requests.push_back(request);
        }
        if (ended) break;
        std::vector<int> bound;
        const std::vector<Reply> replies = service.HandleAll(requests, bound);
        bool sent = true;
        for (std::size_t n = 0; n < replies.size(); ++n) {
            sent = sent && SendReply(channel, replies[n], bound[n]);
            if (bound[n] >= 0) close(bound[n]);
        }
        if (!sent) break;
    }
    service.RemoveAll();
}

}  // namespace fk::nethelper
