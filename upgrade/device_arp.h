#pragma once

#include "net/ipv4.h"

namespace fk {

// The recorder's ARP entry as the session uses it: added before every BOOTP reply, deleted
// when the upload stops. Failures are the implementation's to report (never per turn).
class DeviceArp {
  public:
    virtual ~DeviceArp() = default;
    // Address in host byte order; binds it to the recorder's MAC on the selected card.
    virtual void SetDeviceArpEntry(Ipv4 address, bool add) = 0;
    // A new upload starts: a failure may be reported again.
    virtual void ResetErrorReport() = 0;
};

}  // namespace fk
