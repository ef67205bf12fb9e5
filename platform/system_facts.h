#pragma once

// Read-only facts of the running system that the terminal's check reports: kernel tables, which
// processes hold a socket, the privileges of this process. Nothing here changes the system.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fk::platform {

// The text of a kernel file such as /proc/net/udp (of the caller's network namespace); empty
// when it cannot be read.
std::string ReadKernelText(const std::string& path);

struct SocketHolder {
    pid_t pid = 0;
    std::string name;  // the process's command name
};

// The processes with the socket of this inode open. Those of other users are missing when the
// caller may not look into them; unseen tells whether any process could not be looked into.
std::vector<SocketHolder> SocketHolders(std::uint64_t inode, bool& unseen);

// Whether the card's link is administratively up and has a carrier, by its interface name.
struct LinkState {
    bool exists = false;
    bool up = false;
    bool carrier = false;
};
LinkState ReadLinkState(const std::string& interfaceName);

// 0 when this user may run the program at path, otherwise the errno that says why not.
int ExecuteAccess(const std::string& path);

// The bytes of a file's security.capability attribute; empty when it has none.
std::string FileCapabilityAttribute(const std::string& path);

// The runtime files the machine's network managers keep for a card, by its interface index:
// NetworkManager's device state and systemd-networkd's link state. Empty texts when a file is
// absent, and both empty when the caller lives in a namespace of its own, whose cards no manager
// of the machine owns (indexes repeat across namespaces).
struct CardManagerFiles {
    std::string networkManager, networkd;
};
CardManagerFiles ReadCardManagerFiles(int ifindex);

}  // namespace fk::platform
