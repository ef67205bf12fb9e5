#include "net-helper/service.h"

#include <fcntl.h>
#include <linux/neighbour.h>
#include <netinet/in.h>
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

// How long a probe waits for a device to answer for the address: an answer on a local link takes
// milliseconds, and each recorder's first entry costs this once.
constexpr std::chrono::milliseconds kProbeWait{500};

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
    for (const int lock : m_namespaceLocks) close(lock);
}

int NetService::JoinNamespace() {
    constexpr const char* kNamespace = "/proc/thread-self/ns/net";
    struct stat joined {};
    if (stat(kNamespace, &joined) != 0) return errno;
    std::lock_guard lock(m_mutex);
    if (std::find(m_namespaces.begin(), m_namespaces.end(), joined.st_ino) != m_namespaces.end()) {
        return 0;
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
    m_namespaces.push_back(joined.st_ino);
    m_namespaceLocks.push_back(fd);
    return 0;
}

std::vector<Reply> NetService::HandleAll(std::span<const Request> requests,
                                         std::vector<int>& boundSockets) {
    boundSockets.assign(requests.size(), -1);
    std::vector<Reply> replies;
    const auto isAdd = [](const Request& request) {
        return request.magic == kMagic && request.version == kVersion &&
               request.op == static_cast<std::uint32_t>(Op::AddNeighbour);
    };
    for (std::size_t at = 0; at < requests.size();) {
        if (!isAdd(requests[at])) {
            replies.push_back(Handle(requests[at], boundSockets[at]));
            ++at;
            continue;
        }
        std::size_t end = at + 1;
        while (end < requests.size() && isAdd(requests[end])) ++end;
        for (const int error : AddAll(requests.subspan(at, end - at))) replies.push_back({error});
        at = end;
    }
    return replies;
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
            reply.error = AddAll({&request, 1}).front();
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

std::vector<int> NetService::AddAll(std::span<const Request> adds) {
    std::lock_guard lock(m_mutex);
    // Together only the first entries of recorders and addresses of their own: what one of them
    // changes, none of the others reads, so each ends as it would one by one.
    const auto first = [&](const Request& add) {
        return FindMade(add.ifindex, add.address) == m_made.end() &&
               std::none_of(m_made.begin(), m_made.end(), [&](const Made& made) {
                   return made.ifindex == add.ifindex &&
                          std::equal(std::begin(add.mac), std::end(add.mac), made.mac);
               });
    };
    const auto apart = [](const Request& one, const Request& other) {
        return one.address != other.address &&
               !std::equal(std::begin(one.mac), std::end(one.mac), other.mac);
    };
    std::vector<int> errors;
    for (std::size_t at = 0; at < adds.size();) {
        std::size_t end = at + 1;
        while (end < adds.size() && first(adds[at]) && first(adds[end]) &&
               std::all_of(adds.begin() + static_cast<std::ptrdiff_t>(at),
                           adds.begin() + static_cast<std::ptrdiff_t>(end),
                           [&](const Request& before) { return apart(before, adds[end]); })) {
            ++end;
        }
        AddTogether(adds.subspan(at, end - at), errors);
        at = end;
    }
    return errors;
}

void NetService::AddTogether(std::span<const Request> adds, std::vector<int>& errors) {
    NeighbourProbes probes;
    std::vector<Step> steps;
    bool asked = false;
    for (const Request& add : adds) {
        steps.push_back(Prepare(add.ifindex, add.address, add.mac, probes));
        asked = asked || (steps.back().error == 0 && !steps.back().settled);
    }
    const int waitError = asked ? probes.Wait(kProbeWait, m_probeInterrupt) : 0;
    for (std::size_t n = 0; n < adds.size(); ++n) {
        errors.push_back(steps[n].error ? steps[n].error
                                        : Finish(adds[n].ifindex, adds[n].address, adds[n].mac,
                                                 steps[n], probes, waitError));
    }
}

NetService::Step NetService::Prepare(int ifindex, std::uint32_t address,
                                     const std::uint8_t (&mac)[6], NeighbourProbes& probes) {
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
    std::optional<Neighbour> existing;
    if (const int error = FindNeighbour(ifindex, address, existing)) return ended(error);
    auto made = FindMade(ifindex, address);
    step.ours = made != m_made.end() && StillAsMade(*made, existing);
    if (!step.ours) {
        // Whatever it once made there has been replaced by someone else.
        if (made != m_made.end()) m_made.erase(made);
        if (const int refused = CheckExistingEntry(existing)) return ended(refused);
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
    // The probes asked before this one hold entries already, so a batch counts as one by one.
    if (!step.ours && !step.previous) {
        std::size_t held = 0;
        if (const int error = CountTaggedEntries(ifindex, address, held)) return ended(error);
        if (held >= kMaxRecorderEntries) return ended(ENOSPC);
    }
    // Only an entry it made that still stands resolved is taken as proof that the address is the
    // recorder's; anything else is asked on the wire first.
    step.settled = step.ours && (existing->state & kResolvedStates);
    if (!step.settled) {
        if (const int error = probes.Ask(ifindex, address)) {
            if (step.ours) m_made.erase(FindMade(ifindex, address));
            DeleteUnlessFixed(ifindex, address);
            return ended(error);
        }
    }
    return step;
}

int NetService::Finish(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                       const Step& step, const NeighbourProbes& probes, int waitError) {
    bool overrideResolved = true;
    if (!step.settled) {
        const std::optional<Neighbour> answer = probes.Answer(ifindex, address);
        const int refused = waitError ? waitError : CheckProbeAnswer(answer);
        if (refused) {
            if (step.ours) m_made.erase(FindMade(ifindex, address));
            DeleteUnlessFixed(ifindex, address);
            return refused;
        }
        // Unanswered, the probe's entry is unresolved: a device that answers after all, before
        // the entry below is made, keeps its own.
        overrideResolved = answer.has_value();
    }
    if (const int error = SetNeighbour(ifindex, address, mac, overrideResolved)) {
        if (!step.settled) {
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
    std::vector<Made> made;
    {
        std::lock_guard lock(m_mutex);
        made = m_made;
    }
    for (const Made& entry : made) Remove(entry.ifindex, entry.address);
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

void Serve(int channel, NetService& service) {
    for (;;) {
        // What the window sent together is answered together (a bench's first entries share
        // one probe wait), in order, a bench's worth at a time.
        std::vector<Request> requests;
        bool ended = false;
        while (!ended && requests.size() < kMaxRecorderEntries) {
            // One byte more than a request, so that a longer message shows as such.
            char buffer[sizeof(Request) + 1];
            const int waiting = requests.empty() ? 0 : MSG_DONTWAIT;
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
