#include "net-helper/rtnetlink.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

namespace fk::nethelper {

namespace {

// A request: header, family message, then room for two attributes.
struct Message {
    nlmsghdr header{};
    union {
        ndmsg neighbour;
        ifaddrmsg address;
        ifinfomsg link;
        rtmsg route;
        nhmsg nexthop;
    } body{};
    char attributes[64] = {};
};

template <class Body>
Message Start(std::uint16_t type, std::uint16_t flags, const Body& body) {
    Message message;
    std::memcpy(&message.body, &body, sizeof body);
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | flags;
    message.header.nlmsg_len = NLMSG_LENGTH(sizeof body);
    return message;
}

void AddAttribute(Message& message, std::uint16_t type, const void* data, std::size_t size) {
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&message) +
                                                NLMSG_ALIGN(message.header.nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    message.header.nlmsg_len =
        NLMSG_ALIGN(message.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

// The socket of the thread's batch, if any, and the number of the last request sent on it.
struct BatchSocket {
    int fd = -1;
    std::uint32_t sequence = 0;
    int depth = 0;  // batches nest: the outermost one's socket serves
};
thread_local BatchSocket t_batch;

// Sends one request and hands every answer to onAnswer until the acknowledgement (or, for a
// dump, the end) arrives.
int Exchange(Message& request, const std::function<void(const nlmsghdr&)>& onAnswer = {}) {
    const bool batched = t_batch.fd >= 0;
    const int fd =
        batched ? t_batch.fd : socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return errno;
    // On a batch's socket, answers to an earlier request carry that request's number and are
    // passed over.
    request.header.nlmsg_seq = batched ? ++t_batch.sequence : 1;
    bool answered = false;  // the kernel's last answer to the request came
    const auto finish = [&](int result) {
        if (!batched) {
            close(fd);
        } else if (!answered) {
            // The rest of the answer may still come, or a dump still run: the batch goes on
            // without this socket.
            close(fd);
            t_batch.fd = -1;
        }
        return result;
    };
    if (send(fd, &request, request.header.nlmsg_len, 0) < 0) return finish(errno);
    constexpr std::size_t kBufferSize = 32768;
    const auto buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
    int result = 0;
    while (!answered) {
        const ssize_t received = recv(fd, buffer.get(), kBufferSize, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            result = errno;
            break;
        }
        if (received == 0) {
            result = EIO;
            break;
        }
        auto length = static_cast<unsigned>(received);
        for (auto* answer = reinterpret_cast<const nlmsghdr*>(buffer.get());
             NLMSG_OK(answer, length); answer = NLMSG_NEXT(answer, length)) {
            if (answer->nlmsg_seq != request.header.nlmsg_seq) continue;
            if (answer->nlmsg_type == NLMSG_DONE) {
                answered = true;
            } else if (answer->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(answer));
                result = -error->error;
                answered = true;
            } else if (onAnswer) {
                onAnswer(*answer);
            }
            if (answered) break;
        }
    }
    return finish(result);
}

// Calls onAttribute(type, data, size) for each attribute after the family message.
template <class Body, class OnAttribute>
void ForEachAttribute(const nlmsghdr& answer, OnAttribute onAttribute) {
    if (answer.nlmsg_len < NLMSG_LENGTH(sizeof(Body))) return;
    auto length = static_cast<unsigned>(answer.nlmsg_len - NLMSG_LENGTH(sizeof(Body)));
    const auto* first =
        reinterpret_cast<const char*>(NLMSG_DATA(&answer)) + NLMSG_ALIGN(sizeof(Body));
    for (auto* attribute = reinterpret_cast<const rtattr*>(first); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        onAttribute(attribute->rta_type, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
    }
}

std::uint32_t ReadIpv4(const void* data) {
    std::uint32_t raw;
    std::memcpy(&raw, data, 4);
    return ntohl(raw);
}

// An IPv4 neighbour entry as a dump or a notice of the kernel carries it; false for anything
// else.
bool ReadNeighbour(const nlmsghdr& answer, NeighbourAt& at) {
    if (answer.nlmsg_type != RTM_NEWNEIGH || answer.nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) {
        return false;
    }
    const auto* found = static_cast<const ndmsg*>(NLMSG_DATA(&answer));
    if (found->ndm_family != AF_INET) return false;
    at = NeighbourAt{};
    at.ifindex = found->ndm_ifindex;
    at.entry.state = found->ndm_state;
    bool hasAddress = false;
    ForEachAttribute<ndmsg>(answer, [&](std::uint16_t type, const void* data, std::size_t size) {
        if (type == NDA_DST && size == 4) {
            at.address = ReadIpv4(data);
            hasAddress = true;
        } else if (type == NDA_LLADDR && size == sizeof at.entry.mac) {
            std::memcpy(at.entry.mac, data, size);
            at.entry.hasMac = true;
        } else if (type == NDA_PROTOCOL && size == 1) {
            std::memcpy(&at.entry.protocol, data, 1);
        }
    });
    return hasAddress;
}

// A request about the IPv4 entry for the address on the card; state and flags as the ndmsg
// carries them.
Message NeighbourRequest(std::uint16_t type, std::uint16_t flags, int ifindex,
                         std::uint32_t address, std::uint16_t state = 0,
                         std::uint8_t entryFlags = 0) {
    ndmsg neighbour{};
    neighbour.ndm_family = AF_INET;
    neighbour.ndm_ifindex = ifindex;
    neighbour.ndm_state = state;
    neighbour.ndm_flags = entryFlags;
    Message request = Start(type, flags, neighbour);
    const std::uint32_t raw = htonl(address);
    AddAttribute(request, NDA_DST, &raw, sizeof raw);
    return request;
}

}  // namespace

NetlinkBatch::NetlinkBatch() {
    if (t_batch.depth++ == 0)
        t_batch.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
}

NetlinkBatch::~NetlinkBatch() {
    if (--t_batch.depth > 0 || t_batch.fd < 0) return;
    close(t_batch.fd);
    t_batch.fd = -1;
}

int ReadCard(int ifindex, Card& card) {
    if (ifindex <= 0) return ENODEV;
    ifinfomsg link{};
    link.ifi_family = AF_UNSPEC;
    link.ifi_index = ifindex;
    Message request = Start(RTM_GETLINK, NLM_F_ACK, link);
    bool found = false;
    const int error = Exchange(request, [&](const nlmsghdr& answer) {
        if (answer.nlmsg_type != RTM_NEWLINK || answer.nlmsg_len < NLMSG_LENGTH(sizeof link)) {
            return;
        }
        const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&answer));
        if (info->ifi_index != ifindex) return;
        found = true;
        card = Card{info->ifi_type, info->ifi_flags, 0};
        ForEachAttribute<ifinfomsg>(answer, [&](std::uint16_t type, const void*, std::size_t size) {
            if (type == IFLA_ADDRESS) card.addressLength = size;
        });
    });
    if (error) return error;
    return found ? 0 : ENODEV;
}

int ListAddresses(std::vector<InterfaceAddress>& addresses) {
    addresses.clear();
    ifaddrmsg filter{};
    filter.ifa_family = AF_INET;
    Message request = Start(RTM_GETADDR, NLM_F_DUMP, filter);
    return Exchange(request, [&](const nlmsghdr& answer) {
        if (answer.nlmsg_type != RTM_NEWADDR || answer.nlmsg_len < NLMSG_LENGTH(sizeof filter)) {
            return;
        }
        const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(&answer));
        if (address->ifa_family != AF_INET) return;
        ForEachAttribute<ifaddrmsg>(
            answer, [&](std::uint16_t type, const void* data, std::size_t size) {
                if (type != IFA_LOCAL || size != 4) return;
                addresses.push_back({static_cast<int>(address->ifa_index),
                                     {ReadIpv4(data), address->ifa_prefixlen}});
            });
    });
}

int ListCardGateways(int ifindex, std::vector<std::uint32_t>& gateways) {
    gateways.clear();
    rtmsg routes{};
    routes.rtm_family = AF_INET;
    Message request = Start(RTM_GETROUTE, NLM_F_DUMP, routes);
    const int error = Exchange(request, [&](const nlmsghdr& answer) {
        if (answer.nlmsg_type != RTM_NEWROUTE) return;
        int oif = 0;
        std::optional<std::uint32_t> gateway;
        ForEachAttribute<rtmsg>(answer, [&](std::uint16_t type, const void* data,
                                            std::size_t size) {
            if (type == RTA_OIF && size == 4) {
                std::memcpy(&oif, data, 4);
            } else if (type == RTA_GATEWAY && size == 4) {
                gateway = ReadIpv4(data);
            } else if (type == RTA_MULTIPATH) {
                auto length = static_cast<int>(size);
                for (const auto* hop = static_cast<const rtnexthop*>(data); RTNH_OK(hop, length);
                     length -= RTNH_ALIGN(hop->rtnh_len), hop = RTNH_NEXT(hop)) {
                    if (hop->rtnh_ifindex != ifindex) continue;
                    auto left = static_cast<unsigned>(hop->rtnh_len - RTNH_LENGTH(0));
                    for (const auto* attribute = static_cast<const rtattr*>(RTNH_DATA(hop));
                         RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
                        if (attribute->rta_type == RTA_GATEWAY && RTA_PAYLOAD(attribute) == 4) {
                            gateways.push_back(ReadIpv4(RTA_DATA(attribute)));
                        }
                    }
                }
            }
        });
        if (gateway && oif == ifindex) gateways.push_back(*gateway);
    });
    if (error) return error;

    nhmsg objects{};
    objects.nh_family = AF_UNSPEC;
    request = Start(RTM_GETNEXTHOP, NLM_F_DUMP, objects);
    const int objectError = Exchange(request, [&](const nlmsghdr& answer) {
        if (answer.nlmsg_type != RTM_NEWNEXTHOP) return;
        int oif = 0;
        std::optional<std::uint32_t> gateway;
        ForEachAttribute<nhmsg>(answer,
                                [&](std::uint16_t type, const void* data, std::size_t size) {
                                    if (type == NHA_OIF && size == 4) {
                                        std::memcpy(&oif, data, 4);
                                    } else if (type == NHA_GATEWAY && size == 4) {
                                        gateway = ReadIpv4(data);
                                    }
                                });
        if (gateway && oif == ifindex) gateways.push_back(*gateway);
    });
    // A kernel without next-hop objects has none to name.
    return objectError == EOPNOTSUPP ? 0 : objectError;
}

int ListNeighbours(int ifindex, std::vector<NeighbourAt>& entries) {
    entries.clear();
    ndmsg filter{};
    filter.ndm_family = AF_INET;
    Message request = Start(RTM_GETNEIGH, NLM_F_DUMP, filter);
    return Exchange(request, [&](const nlmsghdr& answer) {
        NeighbourAt at;
        if (ReadNeighbour(answer, at) && (ifindex == 0 || at.ifindex == ifindex)) {
            entries.push_back(at);
        }
    });
}

int FindNeighbour(int ifindex, std::uint32_t address, std::optional<Neighbour>& entry) {
    entry.reset();
    // The one entry is asked for: a dump costs as much as the table holds, and a bench's table
    // holds an entry per recorder. A kernel that answers no such request (before 5.0) is read
    // whole.
    if (ifindex > 0) {
        Message request = NeighbourRequest(RTM_GETNEIGH, NLM_F_ACK, ifindex, address);
        const int error = Exchange(request, [&](const nlmsghdr& answer) {
            NeighbourAt at;
            if (ReadNeighbour(answer, at) && at.ifindex == ifindex && at.address == address)
                entry = at.entry;
        });
        // No entry, or no such card: the table holds nothing there, as a dump would show.
        if (error == 0 || error == ENOENT || error == ENODEV) return 0;
        if (error != EOPNOTSUPP && error != EINVAL) return error;
        entry.reset();
    }
    std::vector<NeighbourAt> entries;
    if (const int error = ListNeighbours(ifindex, entries)) return error;
    for (const NeighbourAt& at : entries) {
        if (at.address == address) entry = at.entry;
    }
    return 0;
}

int SetNeighbour(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                 bool overrideResolved) {
    const std::uint16_t flags = NLM_F_ACK | NLM_F_CREATE | (overrideResolved ? NLM_F_REPLACE : 0);
    Message request = NeighbourRequest(RTM_NEWNEIGH, flags, ifindex, address, NUD_REACHABLE);
    AddAttribute(request, NDA_LLADDR, mac, sizeof mac);
    AddAttribute(request, NDA_PROTOCOL, &kEntryProtocol, sizeof kEntryProtocol);
    return Exchange(request);
}

int AskNeighbour(int ifindex, std::uint32_t address) {
    // A fresh entry asks at once; a stale, failed or unresolved one would ask late or not at all.
    int error = DeleteNeighbour(ifindex, address);
    if (error == ENOENT) error = 0;
    if (error) return error;
    Message request =
        NeighbourRequest(RTM_NEWNEIGH, NLM_F_ACK | NLM_F_CREATE, ifindex, address, 0, NTF_USE);
    // Tagged, so that a sweep takes it should this helper die while it waits.
    AddAttribute(request, NDA_PROTOCOL, &kEntryProtocol, sizeof kEntryProtocol);
    return Exchange(request);
}

int DeleteNeighbour(int ifindex, std::uint32_t address) {
    Message request = NeighbourRequest(RTM_DELNEIGH, NLM_F_ACK, ifindex, address);
    return Exchange(request);
}

}  // namespace fk::nethelper
