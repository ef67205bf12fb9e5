#pragma once

// A TEST DOUBLE of FlashKit's two servers, only as much as the simulator's own tests need: BOOTP
// replies from port 67 every 30 ms (in rotation, so bad replies can be mixed in) until a read
// request comes, each BOOTP request answered under its own xid if asked to, and a lock-step TFTP
// server on port 69 that answers every ACK n with block n + 1 from the same port. It is not the
// engine; window-level tests use the real one. Construct it on a thread that is inside the pc
// namespace: its sockets are made there.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fk::testing {

using BootpMessage = std::array<std::uint8_t, 300>;

inline void PutU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

inline BootpMessage MakeBootpReply(const std::string& xid, const std::array<std::uint8_t, 6>& mac,
                                   std::uint32_t yiaddr, std::uint32_t siaddr,
                                   const std::string& file) {
    BootpMessage reply{};
    reply[0] = 2;
    reply[1] = 1;
    reply[2] = 6;
    std::copy_n(xid.begin(), 4, reply.begin() + 4);
    PutU32(&reply[16], yiaddr);
    PutU32(&reply[20], siaddr);
    std::copy(mac.begin(), mac.end(), reply.begin() + 28);
    std::copy(file.begin(), file.end(), reply.begin() + 108);
    return reply;
}

// The bytes the server sends as blocks 1, 2, ...: the header block, then the image.
inline std::vector<std::uint8_t> HeaderAndImage(std::uint32_t kind, std::uint32_t announcedSize,
                                                const std::vector<std::uint8_t>& image) {
    // Sized once: growing it by insert draws a bogus bounds warning from GCC 12.
    std::vector<std::uint8_t> bytes(512 + image.size(), 0);
    PutU32(&bytes[0], 0x20030409);
    PutU32(&bytes[4], 1);
    PutU32(&bytes[12], kind);
    PutU32(&bytes[16], announcedSize);
    std::copy(image.begin(), image.end(), bytes.begin() + 512);
    return bytes;
}

struct DoubleConfig {
    std::vector<BootpMessage> replies;  // sent in rotation, one every 30 ms
    std::uint32_t recorderAddress = 0;
    std::string fileName;
    std::vector<std::uint8_t> served;          // see HeaderAndImage
    std::chrono::milliseconds resendAfter{0};  // resend the last DATA after this silence; 0 never
    bool answerRequests = false;  // answer a BOOTP request with replies[0], under its xid
};

struct DoubleLog {
    std::vector<std::string> requests;  // file names asked for, in order
    std::map<std::uint16_t, int> acks;  // acknowledgements per block
    int errorsReceived = 0;
    int bootpRequests = 0;  // op 1 from the recorder's MAC, with its broadcast flag
    int resends = 0;
    bool finalSent = false;
};

class BootServerDouble {
  public:
    explicit BootServerDouble(DoubleConfig config) : m_config(std::move(config)) {
        m_bootp = OpenUdp(67);
        m_tftp = OpenUdp(69);
        m_announcer = std::thread([this] { Announce(); });
        m_server = std::thread([this] { Serve(); });
    }

    ~BootServerDouble() {
        m_stop = true;
        m_announcer.join();
        m_server.join();
        close(m_bootp);
        close(m_tftp);
    }

    BootServerDouble(const BootServerDouble&) = delete;
    BootServerDouble& operator=(const BootServerDouble&) = delete;

    DoubleLog Log() const {
        std::lock_guard lock(m_mutex);
        return m_log;
    }

  private:
    static constexpr auto kLifetime = std::chrono::seconds(120);

    static int OpenUdp(std::uint16_t port) {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            throw std::runtime_error("test double cannot bind port " + std::to_string(port));
        return fd;
    }

    void Announce() {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(68);
        to.sin_addr.s_addr = htonl(m_config.recorderAddress);
        const auto end = std::chrono::steady_clock::now() + kLifetime;
        for (std::size_t turn = 0;
             !m_stop && m_announcing && std::chrono::steady_clock::now() < end; ++turn) {
            const auto& reply = m_config.replies[turn % m_config.replies.size()];
            sendto(m_bootp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
            AnswerRequestsFor(std::chrono::milliseconds(30), to);
        }
    }

    void AnswerRequestsFor(std::chrono::milliseconds length, const sockaddr_in& to) {
        const auto end = std::chrono::steady_clock::now() + length;
        for (auto now = end - length; now < end; now = std::chrono::steady_clock::now()) {
            pollfd entry{m_bootp, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
            if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
            BootpMessage request{};
            if (recv(m_bootp, request.data(), request.size(), 0) !=
                    static_cast<ssize_t>(request.size()) ||
                request[0] != 1 || !m_config.answerRequests)
                continue;
            const auto& mac = m_config.replies[0];
            if (std::equal(mac.begin() + 28, mac.begin() + 34, request.begin() + 28) &&
                request[10] == 0x80) {
                std::lock_guard lock(m_mutex);
                ++m_log.bootpRequests;
            }
            BootpMessage reply = m_config.replies[0];
            std::copy_n(request.begin() + 4, 4, reply.begin() + 4);
            sendto(m_bootp, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
        }
    }

    void Serve() {
        const auto end = std::chrono::steady_clock::now() + kLifetime;
        auto lastActivity = std::chrono::steady_clock::now();
        while (!m_stop && std::chrono::steady_clock::now() < end) {
            pollfd entry{m_tftp, POLLIN, 0};
            if (poll(&entry, 1, 20) <= 0) {
                const auto silence = std::chrono::steady_clock::now() - lastActivity;
                if (m_config.resendAfter.count() > 0 && !m_last.empty() && !m_finished &&
                    silence >= m_config.resendAfter) {
                    SendTo(m_last);
                    std::lock_guard lock(m_mutex);
                    ++m_log.resends;
                    lastActivity = std::chrono::steady_clock::now();
                }
                continue;
            }
            std::uint8_t packet[1536];
            socklen_t length = sizeof m_peer;
            const auto count = recvfrom(m_tftp, packet, sizeof packet, 0,
                                        reinterpret_cast<sockaddr*>(&m_peer), &length);
            if (count < 4) continue;
            lastActivity = std::chrono::steady_clock::now();
            Handle(packet, static_cast<std::size_t>(count));
        }
    }

    void Handle(const std::uint8_t* packet, std::size_t count) {
        const int opcode = packet[1];
        if (opcode == 1) {
            m_announcing = false;
            const auto nameEnd = std::find(packet + 2, packet + count, 0);
            const std::string name(packet + 2, nameEnd);
            {
                std::lock_guard lock(m_mutex);
                m_log.requests.push_back(name);
            }
            if (name == m_config.fileName) SendBlock(1);
        } else if (opcode == 4) {
            const auto block = static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
            {
                std::lock_guard lock(m_mutex);
                ++m_log.acks[block];
            }
            if (!m_finished) SendBlock(static_cast<std::uint16_t>(block + 1));
        } else if (opcode == 5) {
            std::lock_guard lock(m_mutex);
            ++m_log.errorsReceived;
        }
    }

    // Block 0 or a block past the end is not sent, as the real server's seek refuses it.
    void SendBlock(std::uint16_t block) {
        const std::size_t offset = (std::size_t{block} - 1) * 512;
        if (block == 0 || offset > m_config.served.size()) return;
        const auto length = std::min<std::size_t>(512, m_config.served.size() - offset);
        std::vector<std::uint8_t> packet{0, 3, static_cast<std::uint8_t>(block >> 8),
                                         static_cast<std::uint8_t>(block)};
        packet.insert(packet.end(), m_config.served.begin() + static_cast<long>(offset),
                      m_config.served.begin() + static_cast<long>(offset + length));
        SendTo(packet);
        m_last = packet;
        if (length < 512) {
            m_finished = true;
            std::lock_guard lock(m_mutex);
            m_log.finalSent = true;
        }
    }

    void SendTo(const std::vector<std::uint8_t>& packet) {
        sendto(m_tftp, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&m_peer),
               sizeof m_peer);
    }

    const DoubleConfig m_config;
    int m_bootp = -1, m_tftp = -1;
    std::atomic<bool> m_stop{false}, m_announcing{true};
    // Used by the server thread only.
    sockaddr_in m_peer{};
    std::vector<std::uint8_t> m_last;
    bool m_finished = false;
    mutable std::mutex m_mutex;
    DoubleLog m_log;
    std::thread m_announcer, m_server;
};

}  // namespace fk::testing
