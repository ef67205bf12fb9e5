#include "tools/recorder-sim/link_linux.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "tools/recorder-sim/report.h"

extern char** environ;

namespace fk::sim {

namespace {

constexpr std::size_t kMaxDatagram = 65536;
constexpr std::uint16_t kTftpPort = 69;

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno) + " (" + std::to_string(errno) + ")";
}

// Waits for the descriptor to become readable: 1 readable, 0 nothing within `wait`, -1 failure.
int WaitReadable(int fd, std::chrono::milliseconds wait) {
    pollfd entry{fd, POLLIN, 0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int ready = poll(&entry, 1, static_cast<int>(wait.count()));
        if (ready >= 0) return ready > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
    return -1;
}

bool RunIp(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("ip"));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ip", nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::optional<LinkFacts> ReadLink(const std::string& interface, std::string& error) {
    if (interface.size() >= IFNAMSIZ) {
        error = "interface name \"" + interface + "\" is too long";
        return std::nullopt;
    }
    LinkFacts facts;
    facts.index = static_cast<int>(if_nametoindex(interface.c_str()));
    if (facts.index == 0) {
        error = SystemError("no interface \"" + interface + "\"");
        return std::nullopt;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = SystemError("socket");
        return std::nullopt;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, interface.c_str(), interface.size());
    const bool read = ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    if (!read) error = SystemError("cannot read the MAC address of " + interface);
    close(fd);
    if (!read) return std::nullopt;
    for (std::size_t i = 0; i < facts.mac.size(); ++i)
        facts.mac[i] = static_cast<std::uint8_t>(request.ifr_hwaddr.sa_data[i]);

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        error = SystemError("getifaddrs");
        return std::nullopt;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next)
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            interface == entry->ifa_name)
            facts.hasIpv4 = true;
    freeifaddrs(list);
    return facts;
}

PacketSocket::~PacketSocket() {
    if (m_fd >= 0) close(m_fd);
}

bool PacketSocket::Open(int interfaceIndex, std::string& error) {
    m_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (m_fd < 0) {
        error = SystemError("packet socket");
        return false;
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_IP);
    address.sll_ifindex = interfaceIndex;
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = SystemError("binding the packet socket");
        return false;
    }
    m_index = interfaceIndex;
    return true;
}

bool PacketSocket::Broadcast(Bytes packet, std::string& error) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_IP);
    to.sll_ifindex = m_index;
    to.sll_halen = 6;
    std::fill_n(to.sll_addr, 6, 0xFF);
    if (sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) == static_cast<ssize_t>(packet.size()))
        return true;
    error = SystemError("sending a BOOTP request");
    return false;
}

bool PacketSocket::Receive(std::chrono::milliseconds wait,
                           std::optional<std::vector<std::uint8_t>>& packet, MacAddress& source) {
    packet.reset();
    const int ready = WaitReadable(m_fd, wait);
    if (ready <= 0) return ready == 0;
    std::vector<std::uint8_t> buffer(kMaxDatagram);
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    const auto count = recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0) return errno == EINTR;
    // Our own packets pass the socket too; a recorder only listens.
    if (from.sll_pkttype == PACKET_OUTGOING) return true;
    buffer.resize(static_cast<std::size_t>(count));
    packet = std::move(buffer);
    for (std::size_t i = 0; i < source.size() && i < from.sll_halen; ++i)
        source[i] = from.sll_addr[i];
    return true;
}

AddressAssignment::AddressAssignment(std::string interface, std::uint32_t address)
    : m_interface(std::move(interface)), m_prefix(FormatDottedQuad(address) + "/24") {
    m_added = RunIp({"addr", "add", m_prefix, "dev", m_interface});
}

AddressAssignment::~AddressAssignment() {
    if (m_added) RunIp({"addr", "del", m_prefix, "dev", m_interface});
}

SilentArp::SilentArp(std::string interface) : m_interface(std::move(interface)) {
    const std::string path = "/proc/sys/net/ipv4/conf/" + m_interface + "/arp_ignore";
    std::ifstream current(path);
    std::string previous;
    if (!std::getline(current, previous) || previous.empty()) return;
    // 8: no reply to any request, whatever address it asks for.
    std::ofstream setting(path);
    if (setting << "8\n" << std::flush) m_previous = previous;
}

SilentArp::~SilentArp() {
    if (!m_server.empty()) RunIp({"neigh", "del", m_server, "dev", m_interface});
    if (Active())
        std::ofstream("/proc/sys/net/ipv4/conf/" + m_interface + "/arp_ignore")
            << m_previous << "\n";
}

bool SilentArp::FixServer(std::uint32_t server, const MacAddress& mac) {
    m_server = FormatDottedQuad(server);
    char text[18] = {};
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    m_serverMac = text;
    return RestoreServer();
}

bool SilentArp::RestoreServer() {
    return m_server.empty() || RunIp({"neigh", "replace", m_server, "lladdr", m_serverMac, "dev",
                                      m_interface, "nud", "permanent"});
}

UdpTransport::~UdpTransport() {
    if (m_fd >= 0) close(m_fd);
}

bool UdpTransport::Open(std::uint32_t server, std::string& error) {
    m_server = server;
    return OpenSocket(error);
}

void UdpTransport::Pause(std::chrono::microseconds length) {
    std::this_thread::sleep_for(length);
}

bool UdpTransport::DropLink(std::chrono::milliseconds length) {
    if (!RunIp({"link", "set", "dev", m_interface, "down"})) return false;
    std::this_thread::sleep_for(length);
    // Down flushed the recorder's own neighbour entries, the fixed one too.
    return RunIp({"link", "set", "dev", m_interface, "up"}) &&
           (!m_silentArp || m_silentArp->RestoreServer());
}

bool UdpTransport::NewSourcePort() {
    const int previous = m_fd;
    std::string error;
    if (!OpenSocket(error)) return false;
    close(previous);
    return true;
}

bool UdpTransport::OpenSocket(std::string& error) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = SystemError("UDP socket");
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = SystemError("binding the UDP socket");
        return false;
    }
    return true;
}

bool UdpTransport::Send(Bytes datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_serverPort.value_or(kTftpPort));
    to.sin_addr.s_addr = htonl(m_server);
    return sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(datagram.size());
}

bool UdpTransport::Receive(std::chrono::milliseconds wait, std::optional<Datagram>& out) {
    out.reset();
    const int ready = WaitReadable(m_fd, wait);
    if (ready <= 0) return ready == 0;
    m_buffer.resize(kMaxDatagram);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const auto count = recvfrom(m_fd, m_buffer.data(), m_buffer.size(), 0,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0) return errno == EINTR;
    Datagram datagram;
    datagram.bytes.assign(m_buffer.begin(), m_buffer.begin() + count);
    const bool fromServerAddress =
        from.sin_family == AF_INET && ntohl(from.sin_addr.s_addr) == m_server;
    if (fromServerAddress && m_followServerPort && !m_serverPort)
        m_serverPort = ntohs(from.sin_port);
    datagram.fromServer =
        fromServerAddress && ntohs(from.sin_port) == m_serverPort.value_or(kTftpPort);
    out = std::move(datagram);
    return true;
}

}  // namespace fk::sim
