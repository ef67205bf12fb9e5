#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/no_cancel.h"
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

int UdpSocket::Bind(std::uint16_t port) {
    if (!Enter()) return EBADF;
    const sockaddr_in address = ToSockaddr({INADDR_ANY, port});
    const int result = bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = result < 0 ? errno : 0;
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
    const ssize_t sent =
        SendToNoCancel(m_fd, datagram.data(), datagram.size(), 0,
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
    // A lock-step peer has often answered before we ask: then one recvfrom is all it takes.
    bool tryFirst = true;
    for (;;) {
        if (!tryFirst) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            const int ready = WaitReady(fds, 2, deadline);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {
                result = Outcome(Status::Failed, errno);
                break;
            }
            if (fds[1].revents != 0) {
                result = Outcome(Status::Stopped);
                break;
            }
            if (ready == 0) {
                result = Outcome(Status::TimedOut);
                break;
            }
        }
        tryFirst = false;
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received = RecvFromNoCancel(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (received < 0) {
            result = Outcome(Status::Failed, errno);
            break;
        }
        result = {Status::Datagram,
                  static_cast<std::size_t>(received),
                  {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}};
        break;
    }
    Leave();
    return result;
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
        // The event stays set: every later wait sees the stop too.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(m_wakeFd, &one, sizeof one);
    }
    Leave();
    return closing;
}

bool UdpSocket::Enter() {
    if (m_state.fetch_add(1) & kClosed) {
        Leave();
        return false;
    }
    return true;
}

void UdpSocket::Leave() {
    if (m_state.fetch_sub(1) == (kClosed | 1)) Release();
}

// Closed and nobody inside: the descriptors go, exactly once.
void UdpSocket::Release() {
    if (m_released.exchange(true)) return;
    close(m_fd);
    close(m_wakeFd);
}

}  // namespace fk::platform
