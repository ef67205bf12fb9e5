#pragma once

#include "net/ipv4.h"
#include "platform/neighbour_table.h"
#include "upgrade/session_host.h"

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

// Plain binding to a neighbour table, card and MAC read from the host at each call; failures
// are silent.
class HostNeighbourArp final : public DeviceArp {
  public:
    HostNeighbourArp(platform::NeighbourTable& table, const SessionHost& host)
        : m_table(table), m_host(host) {}
    void SetDeviceArpEntry(Ipv4 address, bool add) override;
    void ResetErrorReport() override {}

  private:
    platform::NeighbourTable& m_table;
    const SessionHost& m_host;
};

}  // namespace fk
