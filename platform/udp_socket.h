#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace fk::platform {

// An IPv4 address and UDP port, both in host byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

struct SendResult {
    std::ptrdiff_t count = -1;  // bytes sent, -1 on failure
    int error = 0;              // errno of the failure
};

struct ReceiveResult {
    enum class Status { Datagram, Empty, Stopped, Failed };
    Status status = Status::Failed;
    std::size_t length = 0;  // of the datagram, cut to the buffer
    Endpoint from;
    int error = 0;  // errno when Failed
    // The datagram's destination and the card it came in on; 0 where the system does not tell.
    std::uint32_t to = 0;
    int ifindex = 0;
};

// A datagram endpoint that a stop can wake. The upload engines talk to this, so tests can put an
// in-memory port in place of a socket.
class DatagramPort {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~DatagramPort() = default;
    virtual SendResult SendTo(std::span<const std::uint8_t> datagram, const Endpoint& to) = 0;
    // Takes the datagram waiting, at once: Empty when none waits. The session's one thread
    // waits for its ports together (WaitReadable on their descriptors), never on one port.
    virtual ReceiveResult Receive(std::span<std::uint8_t> buffer) = 0;
    // Every later call sees the stop. True only for the call that actually closed the port.
    virtual bool Close() = 0;
    // Polls readable while a datagram waits (or once the port is closed): one thread can wait
    // on several ports with WaitReadable and then take what came.
    virtual int Descriptor() const = 0;
};

// A signal that one thread sets and another's WaitReadable sees; it stays set.
class Wakeup {
  public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    void Signal();
    int Descriptor() const { return m_fd; }

  private:
    int m_fd = -1;
};

// Waits until one of the descriptors polls readable or the deadline (none: for ever) passes;
// which of them are readable.
std::vector<bool> WaitReadable(std::span<const int> descriptors,
                               std::optional<DatagramPort::Clock::time_point> deadline);

// Opens the session's ports: sockets of this process or the network helper's, or stand-ins.
class PortOpener {
  public:
    struct Opened {
        std::shared_ptr<DatagramPort> port;  // none on a failure
        int step = 0;                        // of the failure: 2 making the socket, 3 binding it
        int error = 0;
    };
    virtual ~PortOpener() = default;
    // A port bound to the number on the card ifindex alone.
    virtual Opened Open(std::uint16_t number, int ifindex) = 0;
    // Moves an open port to serve another card: 0 or the errno.
    virtual int Move(DatagramPort& port, std::uint16_t number, int ifindex) = 0;
};

// UDP sockets of this system (UdpSocket).
PortOpener& SystemPortOpener();

// A UDP socket. A closed descriptor number is soon reused by the next socket, so Close() only
// marks the socket closed (and makes its descriptor readable for a waiter) and the descriptor is
// released when the last call still inside the socket has left it.
class UdpSocket final : public DatagramPort {
  public:
    // socket(AF_INET, SOCK_DGRAM): nothing, with errno in error, on failure.
    static std::shared_ptr<UdpSocket> Create(int& error);
    ~UdpSocket() override;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds to INADDR_ANY and the port on the card ifindex alone (0: on every card, for the
    // unprivileged ports of tests and tools): 0, or the errno of the failure. Ports below 1024
    // come from the network helper when this process may not bind them itself. A socket already
    // bound moves: a fresh socket bound so takes the place of its descriptor, so a thread that
    // polls the descriptor goes on with the new one.
    int Bind(std::uint16_t port, int ifindex);
    // The port the socket is bound to (useful after binding port 0), 0 when unknown.
    std::uint16_t LocalPort();

    SendResult SendTo(std::span<const std::uint8_t> datagram, const Endpoint& to) override;
    ReceiveResult Receive(std::span<std::uint8_t> buffer) override;
    bool Close() override;
    int Descriptor() const override { return m_fd; }

  private:
    // m_state: calls currently inside the socket, plus kClosed once Close() ran. Kept in one
    // atomic word so that a datagram's way in and out takes no lock.
    static constexpr std::uint32_t kClosed = 1u << 31;

    explicit UdpSocket(int fd) : m_fd(fd) {}
    bool Enter();
    void Leave();
    void Release();
    // A fresh socket bound to the port on the card: 0 and its descriptor, or the errno.
    static int OpenBound(std::uint16_t port, int ifindex, int& fd);

    const int m_fd;
    std::atomic<std::uint32_t> m_state{0};
    std::atomic<bool> m_released{false};
};

}  // namespace fk::platform
