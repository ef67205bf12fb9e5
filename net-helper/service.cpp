#include "net-helper/service.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net-helper/rtnetlink.h"

namespace fk::nethelper {

namespace {

// One recorder at a time, a few cards: more than this many entries is no upload.
constexpr std::size_t kMaxEntries = 16;

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

}  // namespace

Reply NetService::Handle(const Request& request, int& boundSocket) {
    boundSocket = -1;
    Reply reply;
    switch (static_cast<Op>(request.op)) {
        case Op::BindUdp:
            reply.error = Bind(request.port, boundSocket);
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

int NetService::Bind(std::uint16_t port, int& boundSocket) {
    if (const int refused = CheckBindPort(port)) return refused;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    boundSocket = fd;
    return 0;
}

int NetService::Add(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6]) {
    if (const int refused = CheckRecorderMac(mac)) return refused;
    if (const int missing = CheckCardExists(ifindex)) return missing;
    std::vector<std::uint32_t> own;
    if (const int error = ListCardAddresses(ifindex, own)) return error;
    if (const int refused = CheckDerivedAddress(address, own)) return refused;
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
        if (const int refused = CheckExistingEntry(existing, mac)) return refused;
        if (m_made.size() >= kMaxEntries) return ENOSPC;
    }
    if (const int error = SetNeighbour(ifindex, address, mac, existing.has_value())) return error;
    if (ours) {
        std::copy(std::begin(mac), std::end(mac), made->mac);
    } else {
        Made entry{ifindex, address, {}};
        std::copy(std::begin(mac), std::end(mac), entry.mac);
        m_made.push_back(entry);
    }
    return 0;
}

int NetService::Remove(int ifindex, std::uint32_t address) {
    std::lock_guard lock(m_mutex);
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
    return existing && CheckExistingEntry(existing, made.mac) == 0 && existing->hasMac;
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
