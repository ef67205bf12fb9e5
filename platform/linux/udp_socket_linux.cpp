#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/net_privileges.h"
#include "platform/udp_socket.h"

namespace fk::platform {

namespace {

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(endpoint.address);
    return address;
}

// The time left until the deadline for ppoll(), to the nanosecond, so that a periodic sender
// keeps its period; no deadline, no time-out.
std::optional<timespec> PollTimeout(std::optional<DatagramPort::Clock::time_point> deadline) {
    if (!deadline) return std::nullopt;
    auto left = *deadline - DatagramPort::Clock::now();
    if (left < left.zero()) left = left.zero();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

int WaitReady(pollfd* fds, nfds_t count, std::optional<DatagramPort::Clock::time_point> deadline) {
    const auto timeout = PollTimeout(deadline);
    return ppoll(fds, count, timeout ? &*timeout : nullptr, nullptr);
}

ReceiveResult Outcome(ReceiveResult::Status status, int error = 0) {
    ReceiveResult result;
    result.status = status;
    result.error = error;
    return result;
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create(int& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    error = 0;
    return std::shared_ptr<UdpSocket>(new UdpSocket(fd));
}

UdpSocket::~UdpSocket() {
    Release();
}

int UdpSocket::OpenBound(std::uint16_t port, int ifindex, int& fd) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const sockaddr_in address = ToSockaddr({INADDR_ANY, port});
    int error = 0;
    if (ifindex != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTOIFINDEX, &ifindex, sizeof ifindex) != 0) {
        error = errno;
    } else if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
    }
    // The destination and the arrival card of each datagram, so that a station learns only from
    // requests broadcast on its own link.
    const int on = 1;
    if (error == 0 && setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) error = errno;
    if (error == 0) return 0;
    close(fd);
    fd = -1;
    // Without the privilege itself, the process has the helper bind the port on the card.
    if (error == EACCES && port != 0 && port < 1024) {
        error = BindPrivilegedUdp(port, ifindex, fd);
        if (error == 0) setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    }
    return error;
}

int UdpSocket::Bind(std::uint16_t port, int ifindex) {
    if (!Enter()) return EBADF;
    int fresh = -1;
    int error = OpenBound(port, ifindex, fresh);
    if (error == 0) {
        // The descriptor number, and with it everything else, stays: the fresh socket takes its
        // place.
        if (dup3(fresh, m_fd, O_CLOEXEC) < 0) error = errno;
        close(fresh);
    }
    Leave();
    return error;
}

std::uint16_t UdpSocket::LocalPort() {
    if (!Enter()) return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int result = getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    Leave();
    return result == 0 ? ntohs(address.sin_port) : 0;
}

SendResult UdpSocket::SendTo(std::span<const std::uint8_t> datagram, const Endpoint& to) {
    if (!Enter()) return {-1, EBADF};
    const sockaddr_in address = ToSockaddr(to);
    const ssize_t sent = ::sendto(m_fd, datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const SendResult result{sent, sent < 0 ? errno : 0};
    Leave();
    return result;
}

ReceiveResult UdpSocket::Receive(std::span<std::uint8_t> buffer) {
    using Status = ReceiveResult::Status;
    if (!Enter()) return Outcome(Status::Stopped);
    sockaddr_in from{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t received = -1;
    do {
        received = ::recvmsg(m_fd, &message, MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    ReceiveResult result;
    if (received < 0) {
        result = errno == EAGAIN || errno == EWOULDBLOCK ? Outcome(Status::Empty)
                                                         : Outcome(Status::Failed, errno);
    } else {
        result = {Status::Datagram,
                  static_cast<std::size_t>(received),
                  {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}};
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO) continue;
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            result.to = ntohl(info.ipi_addr.s_addr);
            result.ifindex = info.ipi_ifindex;
        }
    }
    Leave();
    return result;
}

bool UdpSocket::Close() {
    if (!Enter()) return false;
    const bool closing = (m_state.fetch_or(kClosed) & kClosed) == 0;
    // A thread polling the descriptor sees it readable. Shutting down a UDP socket that has no
    // peer reports ENOTCONN, but it does wake the poll.
    if (closing) shutdown(m_fd, SHUT_RDWR);
    Leave();
    return closing;
}

void UdpSocket::Release() {
    if (m_released.exchange(true)) return;
    close(m_fd);
}

Wakeup::Wakeup() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
    if (m_fd >= 0) close(m_fd);
}

void Wakeup::Signal() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof one);
}

std::vector<bool> WaitReadable(std::span<const int> descriptors,
                               std::optional<DatagramPort::Clock::time_point> deadline) {
    std::vector<pollfd> fds;
    for (const int fd : descriptors) fds.push_back({fd, POLLIN, 0});
    for (;;) {
        const int ready = WaitReady(fds.data(), fds.size(), deadline);
        if (ready < 0 && errno == EINTR) continue;
        break;
    }
    std::vector<bool> readable;
    for (const auto& fd : fds) readable.push_back((fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0);
    return readable;
}

}  // namespace fk::platform
