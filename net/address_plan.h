#pragma once

#include "net/ipv4.h"

namespace fk {

// The address given to the recorder: the host's last octet plus one, or 2 where that octet is
// 0, 1 or 255 (network, router-like and broadcast ends). The first three octets are kept.
Ipv4 DeviceAddressFor(Ipv4 host);

}  // namespace fk
