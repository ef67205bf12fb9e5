#pragma once

// What the window and the network helper say to each other over their socket pair: one
// fixed-size request, one fixed-size reply. A bind's reply carries the bound socket as
// SCM_RIGHTS beside it.

#include <cerrno>
#include <cstdint>

namespace fk::nethelper {

enum class Op : std::uint32_t {
    BindUdp = 1,         // port: 67 or 69
    AddNeighbour = 2,    // ifindex, address, mac
    RemoveNeighbour = 3  // ifindex, address
};

struct Request {
    std::uint32_t op = 0;
    std::int32_t ifindex = 0;
    std::uint32_t address = 0;  // IPv4, host byte order
    std::uint16_t port = 0;
    std::uint8_t mac[6] = {};
};
static_assert(sizeof(Request) == 20, "the request is read as one fixed-size message");

struct Reply {
    std::int32_t error = 0;  // 0, or an errno value
};

// The descriptor the helper finds its end of the socket pair on.
inline constexpr int kChannelFd = 3;

// The helper's own refusal of a neighbour change: an entry that it did not make holds the address
// (a PERMANENT one, or one that names another MAC) and is left alone.
inline constexpr int kHeldByOtherEntry = EADDRINUSE;

}  // namespace fk::nethelper
