#include <arpa/inet.h>
#include <netlink/route/neighbour.h>
#include <netlink/route/rtnl.h>

#include <cstring>

#include "platform/neighbour_table.h"

namespace fk::platform {

namespace {

// One rtnetlink request per call: the table is changed rarely (every 30 ms at most), and a
// fresh socket keeps the call safe from any thread.
class LinuxNeighbourTable final : public NeighbourTable {
  public:
    NeighbourResult Add(int ifindex, std::uint32_t address,
                        const std::array<std::uint8_t, 6>& mac) override {
        return Change(ifindex, address, &mac);
    }
    NeighbourResult Remove(int ifindex, std::uint32_t address) override {
        return Change(ifindex, address, nullptr);
    }

  private:
    // libnl reports its own error numbers; its text names the kernel's reason.
    static NeighbourResult Failure(int nlError) { return {false, nlError, nl_geterror(nlError)}; }

    static NeighbourResult Change(int ifindex, std::uint32_t address,
                                  const std::array<std::uint8_t, 6>* mac) {
        nl_sock* sock = nl_socket_alloc();
        if (!sock) return {false, ENOMEM, std::strerror(ENOMEM)};
        int err = nl_connect(sock, NETLINK_ROUTE);
        rtnl_neigh* neigh = rtnl_neigh_alloc();
        nl_addr* dst = nullptr;
        nl_addr* lladdr = nullptr;
        if (err >= 0) {
            const std::uint32_t netAddress = htonl(address);
            dst = nl_addr_build(AF_INET, &netAddress, sizeof netAddress);
            rtnl_neigh_set_ifindex(neigh, ifindex);
            rtnl_neigh_set_family(neigh, AF_INET);
            rtnl_neigh_set_dst(neigh, dst);
            if (mac) {
                lladdr = nl_addr_build(AF_LLC, mac->data(), mac->size());
                rtnl_neigh_set_lladdr(neigh, lladdr);
                // Dynamic, as the recorder's entry must age out like any learned one.
                rtnl_neigh_set_state(neigh, NUD_REACHABLE);
                err = rtnl_neigh_add(sock, neigh, NLM_F_CREATE | NLM_F_REPLACE);
            } else {
                err = rtnl_neigh_delete(sock, neigh, 0);
            }
        }
        if (lladdr) nl_addr_put(lladdr);
        if (dst) nl_addr_put(dst);
        rtnl_neigh_put(neigh);
        nl_socket_free(sock);
        if (err < 0) return Failure(-err);
        return {};
    }
};

}  // namespace

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable() {
    return std::make_unique<LinuxNeighbourTable>();
}

}  // namespace fk::platform
