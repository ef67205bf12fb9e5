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

// The receive time-out to block with, in microseconds (0: none), for the time left until the
// deadline (none: no deadline). The one set already is kept while it ends no later than the
// deadline and not much before it, so that a deadline that moves on by a block's time, as the
// resend time-out does, costs no setsockopt per block; a wait that ends early just goes round.
std::int64_t ReceiveTimeoutFor(std::optional<std::chrono::microseconds> left,
                               std::int64_t current) {
    if (!left) return 0;
    const std::int64_t wanted = std::max<std::int64_t>(left->count(), 1);
    if (current > 0 && current <= wanted && current >= wanted / 4) return current;
    // Some room below the deadline, so the next deadlines, a little later each, fit it too.
    constexpr std::int64_t kRoom = 100'000;
    return wanted > 2 * kRoom ? wanted - kRoom : wanted;
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create(int& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        error = errno;
        close(fd);
        return nullptr;
    }
    error = 0;
    return std::shared_ptr<UdpSocket>(new UdpSocket(fd, wakeFd));
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
        std::lock_guard lock(m_optionMutex);
        // The descriptor number, and with it everything else, stays: the fresh socket takes its
        // place. A receive blocked on the old socket is woken by its shutdown and goes round.
        const int previous = dup(m_fd);
        const timeval timeout{static_cast<time_t>(m_receiveTimeout.load() / 1'000'000),
                              static_cast<suseconds_t>(m_receiveTimeout.load() % 1'000'000)};
        if (previous < 0 ||
            setsockopt(fresh, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
            dup3(fresh, m_fd, O_CLOEXEC) < 0) {
            error = errno;
        } else {
            m_moves.fetch_add(1);
            shutdown(previous, SHUT_RDWR);
        }
        if (previous >= 0) close(previous);
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

ReceiveResult UdpSocket::Receive(std::span<std::uint8_t> buffer,
                                 std::optional<Clock::time_point> deadline) {
    using Status = ReceiveResult::Status;
    if (!Enter()) return Outcome(Status::Stopped);
    ReceiveResult result;
    // A blocking recvfrom: one system call per datagram. Close() wakes it by shutting the
    // socket down, and the deadline is the socket's receive time-out.
    for (;;) {
        std::optional<std::chrono::microseconds> left;
        if (deadline) {
            left = std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now());
        }
        const bool due = left && left->count() <= 0;
        if (!due && !SetReceiveTimeout(ReceiveTimeoutFor(left, m_receiveTimeout.load()))) {
            result = Outcome(Status::Failed, errno);
            break;
        }
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
        const std::uint32_t moves = m_moves.load();
        const ssize_t received = ::recvmsg(m_fd, &message, due ? MSG_DONTWAIT : 0);
        if (m_state.load() & kClosed) {
            result = Outcome(Status::Stopped);
            break;
        }
        if (received < 0 && errno == EINTR) continue;
        // Woken by Bind's move to another card: the socket to wait on is the new one.
        if (received <= 0 && m_moves.load() != moves) continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (due) {
                result = Outcome(Status::TimedOut);
                break;
            }
            continue;
        }
        if (received < 0) {
            result = Outcome(Status::Failed, errno);
            break;
        }
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
        break;
    }
    Leave();
    return result;
}

bool UdpSocket::SetReceiveTimeout(std::int64_t microseconds) {
    if (microseconds == m_receiveTimeout.load()) return true;
    std::lock_guard lock(m_optionMutex);
    const timeval timeout{static_cast<time_t>(microseconds / 1'000'000),
                          static_cast<suseconds_t>(microseconds % 1'000'000)};
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) return false;
    m_receiveTimeout.store(microseconds);
    return true;
}

bool UdpSocket::WaitForStop(Clock::time_point deadline) {
    if (!Enter()) return true;
    bool stopped = false;
    for (;;) {
        pollfd wake{m_wakeFd, POLLIN, 0};
        const int ready = WaitReady(&wake, 1, deadline);
        if (ready < 0 && errno == EINTR) continue;
        stopped = ready > 0;
        break;
    }
    Leave();
    return stopped;
}

bool UdpSocket::Close() {
    // Counted as a user while signalling, so the descriptors outlive the write.
    if (!Enter()) return false;
    const bool closing = (m_state.fetch_or(kClosed) & kClosed) == 0;
    if (closing) {
        // Both stay set: every later wait sees the stop too. Shutting down a UDP socket that
        // has no peer reports ENOTCONN, but it does end a blocked recvfrom.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
        shutdown(m_fd, SHUT_RDWR);
    }
    Leave();
    return closing;
}

void UdpSocket::Release() {
    if (m_released.exchange(true)) return;
    close(m_fd);
    close(m_wakeFd);
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
