#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

using MacAddress = std::array<std::uint8_t, 6>;
using Xid = std::array<std::uint8_t, 4>;

// The xid of the replies a server sends unasked.
inline constexpr Xid kAnnouncedXid{'F', 'K', 'T', '0'};

enum class BootpVerdict {
    Accepted,
    Malformed,    // shorter than a BOOTP message, or a file name without its terminating zero
    NotReply,     // op is not 2
    WrongXid,     // xid is not the one waited for
    WrongChaddr,  // meant for another station
};

struct BootpOffer {
    std::uint32_t yourAddress = 0;    // yiaddr, host byte order
    std::uint32_t serverAddress = 0;  // siaddr
    std::string fileName;
};

struct BootpInspection {
    BootpVerdict verdict = BootpVerdict::Malformed;
    BootpOffer offer;  // filled only when accepted
};

inline constexpr std::size_t kBootpMessageSize = 300;

// Decides whether a UDP payload received on port 68 is the reply this recorder waits for: one
// with `xid`, the announced one or that of its own request.
BootpInspection InspectBootpReply(Bytes payload, const MacAddress& ownMac,
                                  const Xid& xid = kAnnouncedXid);

// The BOOTREQUEST a recorder broadcasts to ask for its address and file (op 1, its MAC in
// chaddr, the broadcast flag set, as it has no address to be answered at).
std::vector<std::uint8_t> BuildBootpRequest(const MacAddress& ownMac, const Xid& xid);

}  // namespace fk::sim
