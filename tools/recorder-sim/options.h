#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/recorder-sim/tftp_fetch.h"

namespace fk::sim {

struct Options {
    std::string interface;
    unsigned count = 1;
    std::chrono::milliseconds timeout{30000};
    bool fetch = false;
    std::string output;
    std::uint32_t expectKind = 0;  // 0: either
    std::string periodLog;
    std::chrono::milliseconds retryAfter{0};
    bool silentArp = false;  // answer no ARP request; reach the server by a fixed entry
    bool ask = false;        // broadcast BOOTP requests; only replies with their xid count
    // A plain TFTP client with an address of its own, no BOOTP: the same fetch from any server.
    std::uint32_t plainServer = 0;  // host byte order; 0: boot as a recorder does
    std::uint32_t plainAddress = 0;
    std::string plainFile;
    Misbehaviour misbehaviour;
};

struct ParsedOptions {
    std::optional<Options> options;  // empty when help was asked for or on error
    bool help = false;
    bool version = false;
    std::string error;
};

ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

extern const char* const kHelpText;

}  // namespace fk::sim
