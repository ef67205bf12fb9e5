#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/recorder-sim/bootp_reply.h"
#include "tools/recorder-sim/tftp_fetch.h"

namespace fk::sim {

struct IgnoredReplies {
    std::uint32_t notReply = 0, wrongXid = 0, wrongChaddr = 0, malformed = 0;
    void Count(BootpVerdict verdict);
};

std::string FormatDottedQuad(std::uint32_t address);
// Keeps a reported token free of spaces and control bytes: those become \xHH.
std::string EscapeToken(std::string_view text);

std::string FormatBootpLine(unsigned replies, const BootpOffer& offer);
std::string FormatIgnoredLine(const IgnoredReplies& ignored);
std::string FormatTftpLine(const FetchResult& result);

}  // namespace fk::sim
