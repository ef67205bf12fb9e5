#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/network_watch.h"

namespace fk::platform {

namespace {

// IFF_LOWER_UP of <linux/if.h>, which cannot be included beside <net/if.h>: the carrier.
constexpr unsigned kLowerUp = 1u << 16;

class OwnedFd {
  public:
    explicit OwnedFd(int fd) : m_fd(fd) {}
    ~OwnedFd() {
        if (m_fd >= 0) close(m_fd);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return m_fd; }

  private:
    int m_fd;
};

// The kernel's link and IPv4 address notices, read from a route netlink socket that joined
// their groups; an eventfd beside it ends a wait early.
class LinuxNetworkWatch final : public NetworkWatch {
  public:
    LinuxNetworkWatch(int netlink, int wake) : m_netlink(netlink), m_wake(wake) {}

    std::vector<NetworkChange> Wait(std::chrono::steady_clock::time_point until) override {
        std::vector<NetworkChange> changes;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        std::array<pollfd, 2> fds{pollfd{m_netlink.get(), POLLIN, 0},
                                  pollfd{m_wake.get(), POLLIN, 0}};
        const int ready =
            poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready <= 0) return changes;
        if (fds[1].revents & POLLIN) {
            eventfd_t ignored = 0;
            eventfd_read(m_wake.get(), &ignored);
        }
        if (fds[0].revents & (POLLIN | POLLERR)) Drain(changes);
        return changes;
    }

    void Wake() override { eventfd_write(m_wake.get(), 1); }
    int Descriptor() const override { return m_netlink.get(); }

  private:
    void Drain(std::vector<NetworkChange>& changes) {
        alignas(nlmsghdr) std::array<char, 16384> buffer;
        for (;;) {
            const auto count = recv(m_netlink.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count < 0) {
                // ENOBUFS: the socket overflowed and notices were lost.
                if (errno == ENOBUFS) changes.push_back({NetworkChange::Kind::Missed, 0, false});
                if (errno == EINTR || errno == ENOBUFS) continue;
                return;
            }
            auto length = static_cast<unsigned>(count);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data());
                 NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
                Read(*header, changes);
            }
        }
    }

    static void Read(const nlmsghdr& header, std::vector<NetworkChange>& changes) {
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK: {
                if (header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
                const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&header));
                const bool carrier = (link->ifi_flags & IFF_UP) && (link->ifi_flags & kLowerUp);
                changes.push_back({header.nlmsg_type == RTM_DELLINK
                                       ? NetworkChange::Kind::LinkRemoved
                                       : NetworkChange::Kind::Link,
                                   link->ifi_index, carrier});
                return;
            }
            case RTM_NEWADDR:
            case RTM_DELADDR: {
                if (header.nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return;
                const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(&header));
                changes.push_back(
                    {NetworkChange::Kind::Address, static_cast<int>(address->ifa_index), false});
                return;
            }
            default:
                return;
        }
    }

    OwnedFd m_netlink;
    OwnedFd m_wake;
};

}  // namespace

std::string CardName(int ifindex) {
    char name[IF_NAMESIZE] = {};
    if (ifindex <= 0 || !if_indextoname(static_cast<unsigned>(ifindex), name)) return {};
    return name;
}

std::unique_ptr<NetworkWatch> MakeSystemNetworkWatch() {
    const int netlink = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (netlink < 0) return nullptr;
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0 || bind(netlink, reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
        close(netlink);
        if (wake >= 0) close(wake);
        return nullptr;
    }
    return std::make_unique<LinuxNetworkWatch>(netlink, wake);
}

}  // namespace fk::platform
