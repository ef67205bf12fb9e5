#pragma once

// Stand-ins for the session's window and transport: a host that records every report in order,
// and an in-memory datagram port with a scripted inbox.

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "feedback/operator_feedback.h"
#include "platform/neighbour_table.h"
#include "platform/udp_socket.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"

namespace fk::testing {

// Every event becomes the lines of what the window would make of it: "progress:<n>",
// "status:<text>", "cue:<n>", "box:<text>|<caption>", "ended". Every event is kept as well.
class FakeSessionHost final : public SessionHost {
  public:
    void OnEvent(const SessionEvent& event) override {
        const OperatorFeedback feedback = FeedbackFor(event);
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
        if (feedback.progress) m_log.push_back("progress:" + std::to_string(*feedback.progress));
        if (feedback.status) m_log.push_back("status:" + *feedback.status);
        if (feedback.cue) m_log.push_back("cue:" + std::to_string(static_cast<int>(*feedback.cue)));
        if (feedback.box)
            m_log.push_back("box:" + feedback.box->text + "|" + feedback.box->caption);
        if (feedback.idle) m_log.push_back("ended");
    }

    std::vector<std::string> Log() const {
        std::lock_guard lock(m_mutex);
        return m_log;
    }
    std::vector<SessionEvent> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::size_t Count(const std::string& line) const {
        std::lock_guard lock(m_mutex);
        return static_cast<std::size_t>(std::count(m_log.begin(), m_log.end(), line));
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_log.clear();
        m_events.clear();
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_log;
    std::vector<SessionEvent> m_events;
};

// A descriptor that polls readable while set, as WaitReadable watches a port: an eventfd, or on
// Windows a loopback UDP socket connected to itself with a byte waiting.
class ReadinessFlag {
  public:
#ifdef _WIN32
    ReadinessFlag() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof self;
        bind(m_socket, reinterpret_cast<sockaddr*>(&self), sizeof self);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&self), &length);
        connect(m_socket, reinterpret_cast<sockaddr*>(&self), sizeof self);
        u_long nonBlocking = 1;
        ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    }
    ~ReadinessFlag() {
        closesocket(m_socket);
    }
    void Set() {
        send(m_socket, "", 1, 0);
    }
    void Clear() {
        char byte;
        while (recv(m_socket, &byte, 1, 0) > 0) {
        }
    }
    int Descriptor() const {
        return static_cast<int>(m_socket);
    }

  private:
    SOCKET m_socket;
#else
    ReadinessFlag() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~ReadinessFlag() {
        close(m_fd);
    }
    void Set() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_fd, &one, sizeof one);
    }
    void Clear() {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto read = ::read(m_fd, &count, sizeof count);
    }
    int Descriptor() const {
        return m_fd;
    }

  private:
    const int m_fd;
#endif
};

// Sends are recorded (or refused); receives come from a script, Empty when it has run out.
class FakeDatagramPort final : public platform::DatagramPort {
  public:
    FakeDatagramPort() = default;
    FakeDatagramPort(const FakeDatagramPort&) = delete;
    FakeDatagramPort& operator=(const FakeDatagramPort&) = delete;

    struct Sent {
        std::vector<std::uint8_t> bytes;
        platform::Endpoint to;
    };

    platform::SendResult SendTo(std::span<const std::uint8_t> datagram,
                                const platform::Endpoint& to) override {
        std::lock_guard lock(m_mutex);
        if (refuseSends) return {-1, 101};
        sent.push_back({{datagram.begin(), datagram.end()}, to});
        return {static_cast<std::ptrdiff_t>(datagram.size()), 0};
    }
    platform::ReceiveResult Receive(std::span<std::uint8_t> buffer) override {
        std::lock_guard lock(m_mutex);
        platform::ReceiveResult result;
        if (m_closed) {
            result.status = platform::ReceiveResult::Status::Stopped;
        } else if (inbox.empty()) {
            result.status = platform::ReceiveResult::Status::Empty;
        } else {
            result = inbox.front();
            inbox.pop_front();
            if (inbox.empty()) m_ready.Clear();
            if (result.status == platform::ReceiveResult::Status::Datagram) {
                const auto& bytes = payloads.front();
                result.length = std::min(bytes.size(), buffer.size());
                std::copy_n(bytes.begin(), result.length, buffer.begin());
                payloads.pop_front();
            }
        }
        return result;
    }
    bool Close() override {
        std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        m_closed = true;
        return true;
    }
    int Descriptor() const override { return m_ready.Descriptor(); }
    bool Closed() {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

    // Sent to the limited broadcast address on the port's card unless `to` says otherwise.
    void Deliver(std::vector<std::uint8_t> bytes, platform::Endpoint from = {0x7F000001, 1234},
                 std::uint32_t to = 0xFFFFFFFF) {
        std::lock_guard lock(m_mutex);
        platform::ReceiveResult result;
        result.status = platform::ReceiveResult::Status::Datagram;
        result.from = from;
        result.to = to;
        result.ifindex = card;
        inbox.push_back(result);
        payloads.push_back(std::move(bytes));
        m_ready.Set();
    }
    void DeliverFailure(int error) {
        std::lock_guard lock(m_mutex);
        platform::ReceiveResult result;
        result.status = platform::ReceiveResult::Status::Failed;
        result.error = error;
        inbox.push_back(result);
        m_ready.Set();
    }
    std::vector<Sent> SentSoFar() {
        std::lock_guard lock(m_mutex);
        return sent;
    }

    std::atomic<bool> refuseSends{false};
    std::atomic<int> card{0};  // the card the opener bound it to
    std::vector<Sent> sent;
    std::deque<platform::ReceiveResult> inbox;
    std::deque<std::vector<std::uint8_t>> payloads;

  private:
    ReadinessFlag m_ready;
    std::mutex m_mutex;
    bool m_closed = false;
};

// Hands out in-memory ports by number; a number in refuse fails at its step with its error.
class FakePortOpener final : public platform::PortOpener {
  public:
    struct Refusal {
        int step = 3;
        int error = 98;  // EADDRINUSE
    };
    Opened Open(std::uint16_t number, int ifindex) override {
        std::lock_guard lock(m_mutex);
        if (const auto refused = refuse.find(number); refused != refuse.end()) {
            return {nullptr, refused->second.step, refused->second.error};
        }
        auto port = std::make_shared<FakeDatagramPort>();
        ports[number] = port;
        cards[number] = ifindex;
        port->card = ifindex;
        return {port, 0, 0};
    }
    int Move(platform::DatagramPort& port, std::uint16_t number, int ifindex) override {
        std::lock_guard lock(m_mutex);
        if (ports[number].get() != &port) return 22;
        if (refuseMove.contains(number)) return 19;  // ENODEV
        cards[number] = ifindex;
        ports[number]->card = ifindex;
        return 0;
    }
    std::shared_ptr<FakeDatagramPort> Port(std::uint16_t number) {
        std::lock_guard lock(m_mutex);
        return ports[number];
    }
    int Card(std::uint16_t number) {
        std::lock_guard lock(m_mutex);
        return cards[number];
    }

    std::map<std::uint16_t, Refusal> refuse;
    std::set<std::uint16_t> refuseMove;  // set before the port moves

  private:
    std::mutex m_mutex;
    std::map<std::uint16_t, std::shared_ptr<FakeDatagramPort>> ports;
    std::map<std::uint16_t, int> cards;
};

// The session's ARP entry bound straight to a neighbour table; failures are silent.
class NeighbourArp final : public DeviceArp {
  public:
    explicit NeighbourArp(platform::NeighbourTable& table) : m_table(table) {}
    int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override {
        return (add ? m_table.Add(ifindex, address, mac) : m_table.Remove(ifindex, address)).error;
    }
    std::vector<int> AddDeviceArpEntries(
        int ifindex, std::span<const platform::NeighbourTable::Wanted> entries) override {
        std::vector<int> errors;
        for (const auto& result : m_table.AddAll(ifindex, entries)) errors.push_back(result.error);
        return errors;
    }
    void ResetErrorReport() override {}

  private:
    platform::NeighbourTable& m_table;
};

}  // namespace fk::testing
