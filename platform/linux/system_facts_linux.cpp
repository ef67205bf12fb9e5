#include <dirent.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/system_facts.h"

namespace fk::platform {

std::string ReadKernelText(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<SocketHolder> SocketHolders(std::uint64_t inode, bool& unseen) {
    unseen = false;
    std::vector<SocketHolder> holders;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* processes = opendir("/proc");
    if (!processes) {
        unseen = true;
        return holders;
    }
    while (const dirent* process = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        const std::string fdDir = "/proc/" + std::string(process->d_name) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (!fds) {
            // Gone meanwhile, or another user's.
            if (errno == EACCES) unseen = true;
            continue;
        }
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            char target[64] = {};
            const std::string link = fdDir + "/" + fd->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 && wanted == std::string(target, static_cast<std::size_t>(length))) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (!holds) continue;
        std::string name = ReadKernelText("/proc/" + std::string(process->d_name) + "/comm");
        while (!name.empty() && name.back() == '\n') name.pop_back();
        holders.push_back({static_cast<pid_t>(pid), name});
    }
    closedir(processes);
    return holders;
}

LinkState ReadLinkState(const std::string& interfaceName) {
    LinkState state;
    if (interfaceName.empty() || interfaceName.size() >= IFNAMSIZ) return state;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return state;
    ifreq request{};
    std::memcpy(request.ifr_name, interfaceName.c_str(), interfaceName.size());
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        state.exists = true;
        state.up = (request.ifr_flags & IFF_UP) != 0;
        // IFF_RUNNING mirrors the carrier (the lower layer is up) for a card that is up.
        state.carrier = state.up && (request.ifr_flags & IFF_RUNNING) != 0;
    }
    close(fd);
    return state;
}

int ExecuteAccess(const std::string& path) {
    return access(path.c_str(), X_OK) == 0 ? 0 : errno;
}

std::string FileCapabilityAttribute(const std::string& path) {
    // Revision 3, the largest, is 24 bytes.
    char bytes[64];
    const ssize_t size = getxattr(path.c_str(), "security.capability", bytes, sizeof bytes);
    return size > 0 ? std::string(bytes, static_cast<std::size_t>(size)) : std::string();
}

CardManagerFiles ReadCardManagerFiles(int ifindex) {
    // Where init's namespace cannot be looked into (an ordinary user), this is taken to be it.
    struct stat own {
    }, machine{};
    if (stat("/proc/self/ns/net", &own) == 0 && stat("/proc/1/ns/net", &machine) == 0 &&
        (own.st_ino != machine.st_ino || own.st_dev != machine.st_dev))
        return {};
    const std::string index = std::to_string(ifindex);
    return {ReadKernelText("/run/NetworkManager/devices/" + index),
            ReadKernelText("/run/systemd/netif/links/" + index)};
}

}  // namespace fk::platform
