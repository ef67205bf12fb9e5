#pragma once

#include <span>
#include <vector>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/neighbour_table.h"

namespace fk {

// The recorder's ARP entry as the session uses it: added before every BOOTP reply, deleted
// when the upload stops. Failures are the implementation's to report (never per turn). An add
// refused with EADDRINUSE means another device holds the address (its entry, or its answer to the
// probe made before the entry): no line is written for it; the station acts on it (another
// address for the recorder, or with none to give, its upload ends as an address held). EINPROGRESS:
// the probe before a first entry is still waiting for an answer (half a second at most); the caller
// adds again later, without waiting meanwhile, and that add decides.
class DeviceArp {
  public:
    virtual ~DeviceArp() = default;
    // Address in host byte order; binds it to mac on the card with that interface index (a
    // delete ignores mac). 0, or the errno of the failure (EADDRINUSE: another device holds the
    // address).
    virtual int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) = 0;
    // The entries of several recorders on the card, each result as SetDeviceArpEntry gives it, in
    // order; asked together where the system can, in one round trip.
    virtual std::vector<int> AddDeviceArpEntries(
        int ifindex, std::span<const platform::NeighbourTable::Wanted> entries) {
        std::vector<int> errors;
        for (const auto& entry : entries)
            errors.push_back(SetDeviceArpEntry(ifindex, entry.address, entry.mac, true));
        return errors;
    }
    // A new upload starts: a failure may be reported again.
    virtual void ResetErrorReport() = 0;
    // The card's mask while the recorder's entry cannot be made here (no rights to make one, or
    // a system without the call): the boot replies then go to the subnet's broadcast address
    // (BootpReplyDestination). 0 while entries are made, and for front ends that never fall back.
    virtual Ipv4 BroadcastFallbackMask() const { return 0; }
};

}  // namespace fk
