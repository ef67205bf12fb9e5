#include <arpa/inet.h>
#include <libudev.h>
#include <net/if.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>
#include <netlink/route/rtnl.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "net-helper/rtnetlink.h"
#include "platform/adapter_source.h"

namespace fk::platform {

namespace {

constexpr const char* kNoAddress = "0.0.0.0";

struct SocketDeleter {
    void operator()(nl_sock* sock) const { nl_socket_free(sock); }
};
struct CacheDeleter {
    void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
};
struct UdevDeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using Socket = std::unique_ptr<nl_sock, SocketDeleter>;
using Cache = std::unique_ptr<nl_cache, CacheDeleter>;
using Udev = std::unique_ptr<udev, UdevDeleter>;
using UdevDevice = std::unique_ptr<udev_device, UdevDeviceDeleter>;

std::string Ipv4Text(const nl_addr* address) {
    if (!address || nl_addr_get_family(address) != AF_INET || nl_addr_get_len(address) != 4) {
        return kNoAddress;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, nl_addr_get_binary_addr(address), text, sizeof text);
    return text;
}

std::string MaskText(unsigned prefixLength) {
    const std::uint32_t mask =
        prefixLength == 0 ? 0 : ~std::uint32_t{0} << (32 - std::min(prefixLength, 32u));
    const in_addr raw{htonl(mask)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &raw, text, sizeof text);
    return text;
}

// udev's hardware database names the maker and model of real cards. The udev database describes
// the machine's own namespace only, so a device counts only when its index matches as well.
std::string HardwareName(udev* u, const std::string& name, int ifindex) {
    if (!u) return {};
    UdevDevice device(udev_device_new_from_subsystem_sysname(u, "net", name.c_str()));
    if (!device) return {};
    const char* index = udev_device_get_sysattr_value(device.get(), "ifindex");
    if (!index || std::to_string(ifindex) != index) return {};
    const char* vendor = udev_device_get_property_value(device.get(), "ID_VENDOR_FROM_DATABASE");
    const char* model = udev_device_get_property_value(device.get(), "ID_MODEL_FROM_DATABASE");
    std::string text;
    if (vendor) text = vendor;
    if (model) text += (text.empty() ? "" : " ") + std::string(model);
    return text;
}

std::string Description(udev* u, rtnl_link* link, const std::string& name, int ifindex) {
    const std::string hardware = HardwareName(u, name, ifindex);
    if (!hardware.empty()) return hardware + " (" + name + ")";
    if (const char* kind = rtnl_link_get_type(link)) return name + " (" + kind + ")";
    char protocol[32] = {};
    nl_llproto2str(rtnl_link_get_arptype(link), protocol, sizeof protocol);
    return name + " (" + protocol + ")";
}

// Every IPv4 address of the card; the first one is the card's address in the list.
void FillAddresses(nl_cache* addresses, AdapterRecord& record) {
    record.ipAddress = kNoAddress;
    record.ipMask = kNoAddress;
    for (nl_object* object = nl_cache_get_first(addresses); object;
         object = nl_cache_get_next(object)) {
        auto* address = reinterpret_cast<rtnl_addr*>(object);
        if (rtnl_addr_get_family(address) != AF_INET) continue;
        if (rtnl_addr_get_ifindex(address) != static_cast<int>(record.index)) continue;
        const nl_addr* local = rtnl_addr_get_local(address);
        if (!local || nl_addr_get_len(local) != 4) continue;
        const auto prefixLength = static_cast<unsigned>(rtnl_addr_get_prefixlen(address));
        std::uint32_t raw = 0;
        std::memcpy(&raw, nl_addr_get_binary_addr(local), 4);
        if (record.addresses.empty()) {
            record.ipAddress = Ipv4Text(local);
            record.ipMask = MaskText(prefixLength);
        }
        record.addresses.push_back({ntohl(raw), prefixLength});
    }
}

bool IsDefaultRoute(rtnl_route* route) {
    const nl_addr* destination = rtnl_route_get_dst(route);
    return rtnl_route_get_table(route) == RT_TABLE_MAIN &&
           rtnl_route_get_type(route) == RTN_UNICAST &&
           (!destination || nl_addr_get_prefixlen(destination) == 0);
}

void FillFirstGateway(nl_cache* routes, AdapterRecord& record) {
    record.gateway = kNoAddress;
    for (nl_object* object = nl_cache_get_first(routes); object;
         object = nl_cache_get_next(object)) {
        auto* route = reinterpret_cast<rtnl_route*>(object);
        if (!IsDefaultRoute(route)) continue;
        for (int n = 0; n < rtnl_route_get_nnexthops(route); ++n) {
            rtnl_nexthop* hop = rtnl_route_nexthop_n(route, n);
            if (rtnl_route_nh_get_ifindex(hop) != static_cast<int>(record.index)) continue;
            if (const nl_addr* gateway = rtnl_route_nh_get_gateway(hop)) {
                record.gateway = Ipv4Text(gateway);
                return;
            }
        }
    }
}

class LinuxAdapterSource final : public AdapterSource {
  public:
    AdapterQuery List() override {
        Socket sock(nl_socket_alloc());
        if (!sock) return Failure(NLE_NOMEM);
        if (const int err = nl_connect(sock.get(), NETLINK_ROUTE); err < 0) return Failure(err);

        nl_cache* raw = nullptr;
        if (const int err = rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw); err < 0) {
            return Failure(err);
        }
        Cache links(raw);
        if (const int err = rtnl_addr_alloc_cache(sock.get(), &raw); err < 0) return Failure(err);
        Cache addresses(raw);
        if (const int err = rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &raw); err < 0) {
            return Failure(err);
        }
        Cache routes(raw);

        // Without udev the cards are still listed, only by name and kind.
        Udev u(udev_new());
        AdapterQuery query;
        for (nl_object* object = nl_cache_get_first(links.get()); object;
             object = nl_cache_get_next(object)) {
            auto* link = reinterpret_cast<rtnl_link*>(object);
            AdapterRecord record;
            const int ifindex = rtnl_link_get_ifindex(link);
            const char* name = rtnl_link_get_name(link);
            record.adapterName = name ? name : "";
            record.index = static_cast<std::uint32_t>(ifindex);
            record.description = Description(u.get(), link, record.adapterName, ifindex);
            const nl_addr* linkAddress = rtnl_link_get_addr(link);
            record.unfit = nethelper::UploadCardUnfitness(
                {static_cast<std::uint16_t>(rtnl_link_get_arptype(link)), rtnl_link_get_flags(link),
                 linkAddress ? nl_addr_get_len(linkAddress) : 0});
            FillAddresses(addresses.get(), record);
            FillFirstGateway(routes.get(), record);
            nethelper::ListCardGateways(ifindex, record.gateways);
            query.adapters.push_back(std::move(record));
        }
        std::stable_sort(
            query.adapters.begin(), query.adapters.end(),
            [](const AdapterRecord& a, const AdapterRecord& b) { return a.index < b.index; });
        return query;
    }

  private:
    static AdapterQuery Failure(int nlError) {
        AdapterQuery query;
        query.ok = false;
        query.error = nlError < 0 ? -nlError : nlError;
        return query;
    }
};

}  // namespace

std::unique_ptr<AdapterSource> MakeSystemAdapterSource() {
    return std::make_unique<LinuxAdapterSource>();
}

}  // namespace fk::platform
