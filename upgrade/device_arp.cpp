#include "upgrade/device_arp.h"

namespace fk {

void HostNeighbourArp::SetDeviceArpEntry(Ipv4 address, bool add) {
    const int ifindex = m_host.SelectedInterfaceIndex();
    if (add) {
        m_table.Add(ifindex, address, m_host.DeviceMac());
    } else {
        m_table.Remove(ifindex, address);
    }
}

}  // namespace fk
