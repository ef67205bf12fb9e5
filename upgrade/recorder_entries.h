#pragma once

// The recorders' neighbour entries as every front end keeps them: made and refreshed before the
// boot replies and removed when the upload stops (DeviceArpEntry, over the system's table or its
// network helper); and where no entry can be made here, the boot replies sent to the card's subnet
// instead. An address another device holds the session tells itself. Any thread.

#include <atomic>
#include <functional>
#include <span>
#include <vector>

#include "net/arp_entry.h"
#include "upgrade/device_arp.h"

namespace fk {

class RecorderEntries final : public DeviceArp {
  public:
    // What the front end is told, each at most once per upload.
    struct Notices {
        // A failure of the table, in its words; none: standard error.
        DeviceArpEntry::ErrorSink errorLine;
        // No entry can be made here at all (no rights, or no such call).
        std::function<void()> cannotMake;
    };

    RecorderEntries(platform::NeighbourTable& table, Notices notices);

    // The mask of the card the next upload serves, for the broadcast fallback; 0 (as it starts):
    // the boot replies never fall back.
    void SetCardMask(Ipv4 mask) { m_cardMask.store(mask); }

    int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override;
    std::vector<int> AddDeviceArpEntries(
        int ifindex, std::span<const platform::NeighbourTable::Wanted> entries) override;
    void ResetErrorReport() override;
    Ipv4 BroadcastFallbackMask() const override;

  private:
    void TellCannotMake();

    const Notices m_notices;
    DeviceArpEntry m_entry;
    std::atomic<Ipv4> m_cardMask{0};
    // The announcer adds the entry every turn: one notice per upload says it.
    std::atomic<bool> m_cannotMakeTold{false};
};

}  // namespace fk
