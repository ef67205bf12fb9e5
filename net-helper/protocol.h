#pragma once

// What the window and the network helper say to each other over their socket pair: one
// fixed-size request, one fixed-size reply, each opening with the protocol's magic and version so
// that a helper and a window of different builds refuse each other instead of misreading. A
// bind's reply carries the bound socket as SCM_RIGHTS beside it.

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace fk::nethelper {

inline constexpr std::uint32_t kMagic = 0x464B4E48;  // "FKNH"
inline constexpr std::uint32_t kVersion = 3;
// The tagged entries a card holds at once, whichever helper (or window run as root) made them: a
// bench of recorders; more is no upload.
inline constexpr std::size_t kMaxRecorderEntries = 64;

enum class Op : std::uint32_t {
    BindUdp = 1,         // port (67 or 69), ifindex: the card the socket serves
    AddNeighbour = 2,    // ifindex, address, mac; kProbing until the probe decides
    RemoveNeighbour = 3  // ifindex, address
};

struct Request {
    std::uint32_t magic = kMagic;
    std::uint32_t version = kVersion;
    std::uint32_t op = 0;
    std::int32_t ifindex = 0;
    std::uint32_t address = 0;  // IPv4, host byte order
    std::uint16_t port = 0;
    std::uint8_t mac[6] = {};
};
static_assert(sizeof(Request) == 28, "the request is read as one fixed-size message");

struct Reply {
    std::int32_t error = 0;  // 0, or an errno value
    std::uint32_t magic = kMagic;
    std::uint32_t version = kVersion;
};

// The descriptor the helper finds its end of the socket pair on.
inline constexpr int kChannelFd = 3;

// The helper's own refusal of a neighbour change: an entry that it did not make holds the address
// (a PERMANENT one, or one that names a device other than a recorder), a device other than a
// recorder answered the probe for it, or the address is a gateway's or one of the PC's own.
inline constexpr int kHeldByOtherEntry = EADDRINUSE;
// An add whose address is being asked on the wire: nothing is decided yet, and the same add asked
// again decides once a device answered or the probe's half second is up.
inline constexpr int kProbing = EINPROGRESS;
// The request came from a window of another build.
inline constexpr int kOtherVersion = EPROTO;

// The routing-protocol tag (NDA_PROTOCOL) of every entry FlashKit makes, by which a starting
// helper finds the entries of one that was killed.
inline constexpr std::uint8_t kEntryProtocol = 0xF1;

}  // namespace fk::nethelper
