#include "net/address_plan.h"

namespace fk {

Ipv4 DeviceAddressFor(Ipv4 host) {
    const Ipv4 last = host & 0xFFu;
    const Ipv4 deviceLast = (last <= 1 || last == 255) ? 2 : last + 1;
    return (host & 0xFFFFFF00u) | deviceLast;
}

}  // namespace fk
