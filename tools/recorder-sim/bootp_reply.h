#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "tools/recorder-sim/byte_order.h"

namespace fk::sim {

using MacAddress = std::array<std::uint8_t, 6>;

enum class BootpVerdict {
    Accepted,
    Malformed,    // shorter than a BOOTP message, or a file name without its terminating zero
    NotReply,     // op is not 2
    WrongXid,     // xid is not "FKT0"
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

// Decides whether a UDP payload received on port 68 is the reply this recorder waits for.
BootpInspection InspectBootpReply(Bytes payload, const MacAddress& ownMac);

}  // namespace fk::sim
