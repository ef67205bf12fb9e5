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
    // Waits at most `wait`; `packet` stays empty when none came, `source` is its sender's MAC.
    // False on a receive failure.
    bool Receive(std::chrono::milliseconds wait, std::optional<std::vector<std::uint8_t>>& packet,
                 MacAddress& source);
    // Sends an IPv4 packet to every station of the link.
    bool Broadcast(Bytes packet, std::string& error);

  private:
    int m_fd = -1;
    int m_index = 0;
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

// Answers no ARP request on the interface for as long as the object lives, as boot loaders that
// never do; the server is then reached through a fixed entry, so the recorder never asks either
// (an ARP request from it would renew the PC's entry for it).
class SilentArp {
  public:
    explicit SilentArp(std::string interface);
    ~SilentArp();
    SilentArp(const SilentArp&) = delete;
    SilentArp& operator=(const SilentArp&) = delete;

    bool Active() const { return !m_previous.empty(); }
    // Binds the server's address to its MAC; again after the link was down, which flushed it.
    bool FixServer(std::uint32_t server, const MacAddress& mac);
    bool RestoreServer();

  private:
    std::string m_interface, m_previous, m_server, m_serverMac;
};

// TFTP over a UDP socket on an ephemeral port; only datagrams from server:69 count as the server's,
// or with followServerPort, as any TFTP client does, from the port the server first answers from.
class UdpTransport : public TftpTransport {
  public:
    ~UdpTransport() override;
    UdpTransport(const UdpTransport&) = delete;
    UdpTransport& operator=(const UdpTransport&) = delete;

    // The link faults act on `interface`; a silent recorder fixes its server entry again.
    UdpTransport(std::string interface, SilentArp* silentArp, bool followServerPort = false)
        : m_interface(std::move(interface)),
          m_silentArp(silentArp),
          m_followServerPort(followServerPort) {}
    bool Open(std::uint32_t server, std::string& error);
    bool Send(Bytes datagram) override;
    bool Receive(std::chrono::milliseconds wait, std::optional<Datagram>& out) override;
    Clock::time_point Now() const override { return Clock::now(); }
    void Pause(std::chrono::microseconds length) override;
    bool DropLink(std::chrono::milliseconds length) override;
    bool NewSourcePort() override;

  private:
    bool OpenSocket(std::string& error);

    std::string m_interface;
    SilentArp* m_silentArp = nullptr;
    int m_fd = -1;
    std::uint32_t m_server = 0;
    bool m_followServerPort = false;
    std::optional<std::uint16_t> m_serverPort;  // the port followed, once the server answered
    // Where each datagram lands before it is copied out at its length: a buffer zeroed for every
    // block cost the recorder more than the block itself.
    std::vector<std::uint8_t> m_buffer;
};

}  // namespace fk::sim
