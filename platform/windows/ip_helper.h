#pragma once

// The IP Helper calls the Windows facilities share, and their conversions into the core's terms:
// host byte order addresses, dotted quads, UTF-8 names. Kept apart from the system's headers so
// the conversions can be tested on their own.

#include <cstdint>
#include <string>
#include <vector>

namespace fk::platform::windows {

// One card as GetAdaptersAddresses reports it, loopback left out.
struct Card {
    std::string key;          // AdapterName: the card's GUID, its registry key
    std::string name;         // FriendlyName: "Ethernet 2"
    std::string description;  // Description: the card's maker and model
    std::uint32_t index = 0;
    std::uint32_t ifType = 0;           // IANA ifType
    std::size_t linkAddressLength = 0;  // of its physical address
    bool ipv4Enabled = false;
    bool up = false;                       // operational status Up: the link has a carrier
    std::vector<std::uint32_t> addresses;  // IPv4, host byte order, the system's order
    std::vector<unsigned> prefixLengths;   // one per address
    std::vector<std::uint32_t> gateways;   // the default gateways it reports
};

// The cards in the system's order; false with the Win32 code in error when the query failed.
bool ReadCards(std::vector<Card>& cards, unsigned long& error);

// Next hops of the IPv4 routes through each card, from GetIpForwardTable2: (ifindex, gateway).
std::vector<std::pair<std::uint32_t, std::uint32_t>> RouteGateways();

// The processes holding IPv4 UDP port `port`: (pid, program file name), the pid 0 and the program
// empty where they cannot be found; read false when the system's table could not be read.
std::vector<std::pair<std::uint32_t, std::string>> UdpPortHolders(std::uint16_t port, bool& read);

// UTF-16 to UTF-8, for the names the system gives.
std::string Utf8(const wchar_t* text);
// The mask of a prefix length, host byte order.
std::uint32_t MaskOfPrefix(unsigned prefixLength);

}  // namespace fk::platform::windows
