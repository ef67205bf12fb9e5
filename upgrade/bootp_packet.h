#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "net/ipv4.h"
#include "net/mac.h"

namespace fk {

inline constexpr std::size_t kBootpReplySize = 300;
inline constexpr std::size_t kBootpFileFieldSize = 128;
using BootpReply = std::array<std::uint8_t, kBootpReplySize>;

// The unsolicited boot reply (RFC 951 layout): xid "FKT0", no options, no magic cookie.
// A boot file name that would leave no terminating zero in the file field is cut to 127 bytes;
// callers refuse such names before.
BootpReply BuildBootpReply(Ipv4 recorder, Ipv4 server, const MacAddress& recorderMac,
                           std::string_view bootFileName);

}  // namespace fk
