#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/recorder-sim/bootp_reply.h"
#include "tools/recorder-sim/tftp_fetch.h"

namespace fk::sim {

struct LinkFacts {
    int index = 0;
    MacAddress mac{};
    bool hasIpv4 = false;
};

// The interface's index, MAC address and whether it holds an IPv4 address; nullopt with a
// message in `error` when it cannot be read.
std::optional<LinkFacts> ReadLink(const std::string& interface, std::string& error);

// Sees every IPv4 packet on one interface, also those for an address this host does not hold.
class PacketSocket {
  public:
    PacketSocket() = default;
    ~PacketSocket();
    PacketSocket(const PacketSocket&) = delete;
    PacketSocket& operator=(const PacketSocket&) = delete;

    bool Open(int interfaceIndex, std::string& error);
    // Waits at most `wait`; `packet` stays empty when none came. False on a receive failure.
    bool Receive(std::chrono::milliseconds wait, std::optional<std::vector<std::uint8_t>>& packet);

  private:
    int m_fd = -1;
};

// An address given to the interface for as long as the object lives.
class AddressAssignment {
  public:
    AddressAssignment(std::string interface, std::uint32_t address);
    ~AddressAssignment();
    AddressAssignment(const AddressAssignment&) = delete;
    AddressAssignment& operator=(const AddressAssignment&) = delete;

    bool Added() const { return m_added; }

  private:
    std::string m_interface, m_prefix;
    bool m_added = false;
};

// TFTP over a UDP socket on an ephemeral port; only datagrams from server:69 count as the server's.
class UdpTransport : public TftpTransport {
  public:
    UdpTransport() = default;
    ~UdpTransport() override;
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    bool Open(std::uint32_t server, std::string& error);
    bool Send(Bytes datagram) override;
    bool Receive(std::chrono::milliseconds wait, std::optional<Datagram>& out) override;
    Clock::time_point Now() const override { return Clock::now(); }

  private:
    int m_fd = -1;
    std::uint32_t m_server = 0;
};

}  // namespace fk::sim
