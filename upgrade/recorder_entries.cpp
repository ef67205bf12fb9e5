#include "upgrade/recorder_entries.h"

#include <cerrno>

namespace fk {

RecorderEntries::RecorderEntries(platform::NeighbourTable& table, Notices notices)
    : m_notices(std::move(notices)), m_entry(table, m_notices.errorLine) {}

int RecorderEntries::SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) {
    const int error = m_entry.Set(ifindex, address, mac, add);
    if (add) TellCannotMake();
    return error;
}

std::vector<int> RecorderEntries::AddDeviceArpEntries(
    int ifindex, std::span<const platform::NeighbourTable::Wanted> entries) {
    const std::vector<int> errors = m_entry.AddAll(ifindex, entries);
    TellCannotMake();
    return errors;
}

void RecorderEntries::ResetErrorReport() {
    m_entry.ResetErrorReport();
    m_cannotMakeTold.store(false);
}

Ipv4 RecorderEntries::BroadcastFallbackMask() const {
    return m_entry.CannotMake() ? m_cardMask.load() : 0;
}

void RecorderEntries::TellCannotMake() {
    if (m_entry.CannotMake() && m_notices.cannotMake && !m_cannotMakeTold.exchange(true))
        m_notices.cannotMake();
}

}  // namespace fk
