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
    if (const int refused = CheckRecorderMac(mac)) return refused;
    if (const int refused = CheckCard(ifindex)) return refused;
    std::vector<InterfaceAddress> addresses;
    if (const int error = ListAddresses(addresses)) return error;
    std::vector<CardAddress> own;
    std::vector<std::uint32_t> local;
    for (const InterfaceAddress& each : addresses) {
        local.push_back(each.address.address);
        if (each.ifindex == ifindex) own.push_back(each.address);
    }
    if (const int refused = CheckSubnetAddress(address, own)) return refused;
    if (const int refused = CheckNotLocal(address, local)) return refused;
    std::vector<std::uint32_t> gateways;
    if (const int error = ListCardGateways(ifindex, gateways)) return error;
    if (const int refused = CheckNotAGateway(address, gateways)) return refused;

    std::lock_guard lock(m_mutex);
    std::optional<Neighbour> existing;
    if (const int error = FindNeighbour(ifindex, address, existing)) return error;
    auto made = FindMade(ifindex, address);
    const bool ours = made != m_made.end() && StillAsMade(*made, existing);
    if (!ours) {
        // Whatever it once made there has been replaced by someone else.
        if (made != m_made.end()) m_made.erase(made);
        if (const int refused = CheckExistingEntry(existing)) return refused;
    }
    // A recorder has one address on a card: the entry it made for this MAC at another address is
    // the recorder's old one, deleted once the new one stands. Moving it, rather than refusing,
    // lets a window whose card changed address go on; either way the entries never outnumber the
    // recorders, and it only ever deletes an entry it made.
    std::optional<std::uint32_t> previous;
    for (const Made& each : m_made) {
        if (each.ifindex == ifindex && each.address != address &&
            std::equal(std::begin(mac), std::end(mac), each.mac)) {
            previous = each.address;
        }
    }
    if (!ours && !previous) {
        std::size_t held = 0;
        if (const int error = CountTaggedEntries(ifindex, address, held)) return error;
        if (held >= kMaxRecorderEntries) return ENOSPC;
    }
    // Only an entry it made that still stands resolved is taken as proof that the address is the
    // recorder's; anything else is asked on the wire first.
    const bool settled = ours && (existing->state & kResolvedStates);
    bool overrideResolved = true;
    if (!settled) {
        std::optional<Neighbour> answer;
        int refused = ProbeNeighbour(ifindex, address, kProbeWait, answer, m_probeInterrupt);
        if (!refused) refused = CheckProbeAnswer(answer);
        if (refused) {
            if (ours) m_made.erase(made);
            DeleteUnlessFixed(ifindex, address);
            return refused;
        }
        // Unanswered, the probe's entry is unresolved: a device that answers after all, before
        // the entry below is made, keeps its own.
        overrideResolved = answer.has_value();
    }
    if (const int error = SetNeighbour(ifindex, address, mac, overrideResolved)) {
        if (!settled) {
            if (ours) m_made.erase(made);
            DeleteUnlessFixed(ifindex, address);
        }
        return error;
    }
    if (ours) {
        std::copy(std::begin(mac), std::end(mac), made->mac);
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
        if (previous) RemoveMade(ifindex, *previous);
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
        Request request;
        // One byte more than a request, so that a longer message shows as such.
        char buffer[sizeof(Request) + 1];
        const ssize_t received = recv(channel, buffer, sizeof buffer, MSG_TRUNC);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) break;
        int bound = -1;
        Reply reply{EINVAL};
        if (received == sizeof request) {
            std::memcpy(&request, buffer, sizeof request);
            reply = service.Handle(request, bound);
        }
        const bool sent = SendReply(channel, reply, bound);
        if (bound >= 0) close(bound);
        if (!sent) break;
    }
    service.RemoveAll();
}

}  // namespace fk::nethelper
