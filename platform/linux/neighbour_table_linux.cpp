#include <arpa/inet.h>
#include <netlink/msg.h>
#include <netlink/route/neighbour.h>
#include <netlink/route/rtnl.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/neighbour_table.h"

namespace fk::platform {

namespace {

struct SocketDeleter {
    void operator()(nl_sock* sock) const { nl_socket_free(sock); }
};
struct NeighDeleter {
    void operator()(rtnl_neigh* neigh) const { rtnl_neigh_put(neigh); }
};
struct AddrDeleter {
    void operator()(nl_addr* addr) const { nl_addr_put(addr); }
};

// libnl folds the kernel's errno into its own coarser numbers; the reported text should
// be the system's own, so the kernel's answer is kept as it arrives.
int KeepKernelError(sockaddr_nl*, nlmsgerr* error, void* kernelErrno) {
    *static_cast<int*>(kernelErrno) = -error->error;
    return NL_STOP;
}

NeighbourResult SystemFailure(int code) {
    return {false, code, std::error_code(code, std::system_category()).message()};
}

// A failure inside the library has no errno of its own; its numbers would be mistaken for one.
NeighbourResult LibraryFailure(int nlError) {
    return {false, EIO, nl_geterror(nlError)};
}

// One rtnetlink request per call on a fresh socket: the table changes at most every 30 ms, and
// a socket of its own keeps the call safe from any thread.
NeighbourResult Change(int ifindex, std::uint32_t address, const std::array<std::uint8_t, 6>* mac) {
    std::unique_ptr<nl_sock, SocketDeleter> sock(nl_socket_alloc());
    std::unique_ptr<rtnl_neigh, NeighDeleter> neigh(rtnl_neigh_alloc());
    const std::uint32_t netAddress = htonl(address);
    std::unique_ptr<nl_addr, AddrDeleter> destination(
        nl_addr_build(AF_INET, &netAddress, sizeof netAddress));
    std::unique_ptr<nl_addr, AddrDeleter> lladdr(
        mac ? nl_addr_build(AF_LLC, mac->data(), mac->size()) : nullptr);
    if (!sock || !neigh || !destination || (mac && !lladdr)) return SystemFailure(ENOMEM);
    if (const int err = nl_connect(sock.get(), NETLINK_ROUTE); err < 0) return LibraryFailure(err);

    int kernelErrno = 0;
    nl_socket_modify_err_cb(sock.get(), NL_CB_CUSTOM, KeepKernelError, &kernelErrno);
    rtnl_neigh_set_ifindex(neigh.get(), ifindex);
    rtnl_neigh_set_family(neigh.get(), AF_INET);
    rtnl_neigh_set_dst(neigh.get(), destination.get());
    int result;
    if (mac) {
        rtnl_neigh_set_lladdr(neigh.get(), lladdr.get());
        // Reachable, not permanent: the recorder's entry ages out like any learned one.
        rtnl_neigh_set_state(neigh.get(), NUD_REACHABLE);
        result = rtnl_neigh_add(sock.get(), neigh.get(), NLM_F_CREATE | NLM_F_REPLACE);
    } else {
        result = rtnl_neigh_delete(sock.get(), neigh.get(), 0);
    }
    if (result >= 0) return {};
    if (kernelErrno != 0) return SystemFailure(kernelErrno);
    return LibraryFailure(result);
}

class LinuxNeighbourTable final : public NeighbourTable {
  public:
    NeighbourResult Add(int ifindex, std::uint32_t address,
                        const std::array<std::uint8_t, 6>& mac) override {
        return Change(ifindex, address, &mac);
    }
    NeighbourResult Remove(int ifindex, std::uint32_t address) override {
        return Change(ifindex, address, nullptr);
    }
};

}  // namespace

std::unique_ptr<NeighbourTable> MakeSystemNeighbourTable() {
    return std::make_unique<LinuxNeighbourTable>();
}

}  // namespace fk::platform
