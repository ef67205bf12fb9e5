// Winsock first: the other system headers use its types.
// clang-format off
#include <winsock2.h>
// clang-format on
#include <mswsock.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>

#include "platform/udp_socket.h"
#include "platform/windows/winsock_errors.h"

namespace fk::platform {

// Winsock has no eventfd: the station's wake-up is a loopback UDP socket connected to itself,
// which one byte makes readable for good (it is never read). Socket handles are small numbers
// and kept in the header's int descriptors.

namespace {

SOCKET Handle(int descriptor) {
    return static_cast<SOCKET>(static_cast<unsigned>(descriptor));
}

int LastError() {
    return ErrnoFromWinsock(WSAGetLastError());
}

sockaddr_in ToSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(endpoint.address);
    return address;
}

SOCKET OpenUdp() {
    StartWinsock();
    return WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

int OpenWakeSocket() {
    const SOCKET wake = OpenUdp();
    if (wake == INVALID_SOCKET) return -1;
    sockaddr_in self = ToSockaddr({INADDR_LOOPBACK, 0});
    int length = sizeof self;
    if (bind(wake, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(wake, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        connect(wake, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        closesocket(wake);
        return -1;
    }
    return static_cast<int>(wake);
}

void SignalWakeSocket(int wake) {
    const char one = 1;
    send(Handle(wake), &one, 1, 0);
}

// select()'s time-out for the time left until the deadline; none without one.
std::optional<timeval> SelectTimeout(std::optional<DatagramPort::Clock::time_point> deadline) {
    if (!deadline) return std::nullopt;
    auto left =
        std::chrono::ceil<std::chrono::microseconds>(*deadline - DatagramPort::Clock::now());
    if (left.count() < 0) left = left.zero();
    return timeval{static_cast<long>(left.count() / 1'000'000),
                   static_cast<long>(left.count() % 1'000'000)};
}

// Which descriptors are readable once one is or the deadline passes; empty on a failure.
std::vector<bool> SelectReadable(std::span<const int> descriptors,
                                 std::optional<DatagramPort::Clock::time_point> deadline) {
    fd_set readable;
    FD_ZERO(&readable);
    for (const int descriptor : descriptors) FD_SET(Handle(descriptor), &readable);
    auto timeout = SelectTimeout(deadline);
    if (select(0, &readable, nullptr, nullptr, timeout ? &*timeout : nullptr) == SOCKET_ERROR) {
        return {};
    }
    std::vector<bool> result;
    for (const int descriptor : descriptors) {
        result.push_back(FD_ISSET(Handle(descriptor), &readable) != 0);
    }
    return result;
}

ReceiveResult Outcome(ReceiveResult::Status status, int error = 0) {
    ReceiveResult result;
    result.status = status;
    result.error = error;
    return result;
}

}  // namespace

std::shared_ptr<UdpSocket> UdpSocket::Create(int& error) {
    const SOCKET socket = OpenUdp();
    if (socket == INVALID_SOCKET) {
        error = LastError();
        return nullptr;
    }
    // A port unreachable that came back for an earlier send would otherwise fail the next
    // receive with WSAECONNRESET: a recorder that restarts must not end the upload.
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
             nullptr);
    // The BOOTP reply goes to the subnet's broadcast address when no neighbour entry can be made.
    const BOOL broadcast = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
               sizeof broadcast);
    // No other program may bind the port beside this one and take the recorder's datagrams.
    const BOOL exclusive = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    error = 0;
    return std::shared_ptr<UdpSocket>(new UdpSocket(static_cast<int>(socket)));
}

UdpSocket::~UdpSocket() {
    Release();
}

// Windows binds a port on every card or on one address, never on one card: the socket serves
// every card, and a later bind to the same port, for another card, finds it serving already.
int UdpSocket::Bind(std::uint16_t port, int /*ifindex*/) {
    if (!Enter()) return EBADF;
    sockaddr_in bound{};
    int length = sizeof bound;
    int error = 0;
    if (getsockname(Handle(m_fd), reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        error = ntohs(bound.sin_port) == port ? 0 : EINVAL;
    } else {
        const sockaddr_in address = ToSockaddr({INADDR_ANY, port});
        if (bind(Handle(m_fd), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            error = LastError();
        }
    }
    Leave();
    return error;
}

std::uint16_t UdpSocket::LocalPort() {
    if (!Enter()) return 0;
    sockaddr_in address{};
    int length = sizeof address;
    const int result = getsockname(Handle(m_fd), reinterpret_cast<sockaddr*>(&address), &length);
    Leave();
    return result == 0 ? ntohs(address.sin_port) : 0;
}

SendResult UdpSocket::SendTo(std::span<const std::uint8_t> datagram, const Endpoint& to) {
    if (!Enter()) return {-1, EBADF};
    const sockaddr_in address = ToSockaddr(to);
    const int sent = ::sendto(Handle(m_fd), reinterpret_cast<const char*>(datagram.data()),
                              static_cast<int>(datagram.size()), 0,
                              reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const SendResult result{sent, sent == SOCKET_ERROR ? LastError() : 0};
    Leave();
    return result;
}

ReceiveResult UdpSocket::Receive(std::span<std::uint8_t> buffer) {
    using Status = ReceiveResult::Status;
    if (!Enter()) return Outcome(Status::Stopped);
    ReceiveResult result = Outcome(Status::Empty);
    // A port unreachable that came back for an earlier send is passed over, as a datagram.
    for (;;) {
        const int watched[] = {m_fd};
        const auto readable = SelectReadable(watched, DatagramPort::Clock::time_point{});
        if (readable.empty()) {
            result = Outcome(Status::Failed, LastError());
            break;
        }
        if (!readable[0]) break;
        sockaddr_in from{};
        int fromLength = sizeof from;
        const int received = ::recvfrom(Handle(m_fd), reinterpret_cast<char*>(buffer.data()),
                                        static_cast<int>(buffer.size()), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        std::size_t length = static_cast<std::size_t>(std::max(received, 0));
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAECONNRESET) continue;
            if (error == WSAEWOULDBLOCK) break;
            // A datagram longer than the buffer arrives cut, as on Linux.
            if (error != WSAEMSGSIZE) {
                result = Outcome(Status::Failed, ErrnoFromWinsock(error));
                break;
            }
            length = buffer.size();
        }
        result = {Status::Datagram, length, {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}};
        break;
    }
    Leave();
    return result;
}

bool UdpSocket::Close() {
    if (!Enter()) return false;
    const bool closing = (m_state.fetch_or(kClosed) & kClosed) == 0;
    if (closing) {
        // A thread that polls the socket's descriptor must see it readable: an empty datagram
        // to its own port, over loopback.
        sockaddr_in self{};
        int length = sizeof self;
        if (getsockname(Handle(m_fd), reinterpret_cast<sockaddr*>(&self), &length) == 0) {
            self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::sendto(Handle(m_fd), "", 0, 0, reinterpret_cast<const sockaddr*>(&self), sizeof self);
        }
    }
    Leave();
    return closing;
}

void UdpSocket::Release() {
    if (m_released.exchange(true)) return;
    closesocket(Handle(m_fd));
}

Wakeup::Wakeup() : m_fd(OpenWakeSocket()) {}

Wakeup::~Wakeup() {
    if (m_fd >= 0) closesocket(Handle(m_fd));
}

void Wakeup::Signal() {
    SignalWakeSocket(m_fd);
}

std::vector<bool> WaitReadable(std::span<const int> descriptors,
                               std::optional<DatagramPort::Clock::time_point> deadline) {
    auto readable = SelectReadable(descriptors, deadline);
    if (readable.empty()) readable.assign(descriptors.size(), true);
    return readable;
}

}  // namespace fk::platform
