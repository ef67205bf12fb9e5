#pragma once

// Whether a firewall rule lets the recorders' requests in to this program: the rule apart from
// the system that keeps it, so that it can be read and tested alone.

#include <string>

namespace fk::cli {

// A rule as the firewall reports it.
struct FirewallRule {
    bool enabled = false;
    bool inbound = false;
    bool allows = false;
    int protocol = 0;        // IANA protocol number; 256 stands for any
    std::string localPorts;  // "67,69", "60-70", "*"
    std::string program;     // the program's path, environment variables expanded; empty: any
};

// Enabled, inbound and allowing, for UDP (or any protocol), ports 67 and 69, and for this
// program's own path (letter case ignored, as Windows compares paths) or for every program. A rule
// for another path, such as an earlier install's, lets nothing in to this one.
bool LetsRecordersIn(const FirewallRule& rule, const std::string& programPath);

}  // namespace fk::cli
