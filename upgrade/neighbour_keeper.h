#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/network_watch.h"
#include "upgrade/device_arp.h"

namespace fk {

// Keeps the recorder's neighbour entry in the table for as long as an upload runs. The kernel
// ages a dynamic entry out unless something confirms it, which a boot loader that never answers
// ARP requests never does, and a lost carrier flushes it: so the entry is added again every
// `period`, well inside the kernel's reachable time, and at once when the card's carrier
// returns. The adds go through the session's own DeviceArp.
class NeighbourKeeper {
  public:
    // Without a watch the carrier's return is caught by the next periodic add.
    NeighbourKeeper(DeviceArp& arp, std::unique_ptr<platform::NetworkWatch> watch,
                    std::chrono::milliseconds period);
    ~NeighbourKeeper();  // Stop(), then joins its thread
    NeighbourKeeper(const NeighbourKeeper&) = delete;
    NeighbourKeeper& operator=(const NeighbourKeeper&) = delete;

    // Any thread: the entry to keep from now on, as the announcer last added it.
    void Keep(int ifindex, Ipv4 address, const MacAddress& mac);
    // Any thread, any number of times: no add follows its return, so a delete after it is final.
    void Stop();

  private:
    struct Entry {
        int ifindex = 0;
        Ipv4 address = 0;
        MacAddress mac{};
    };

    void Run();
    bool CarrierReturned(const std::vector<platform::NetworkChange>& changes) const;
    void AddNow();

    DeviceArp& m_arp;
    const std::unique_ptr<platform::NetworkWatch> m_watch;
    const std::chrono::milliseconds m_period;
    mutable std::mutex m_mutex;  // the fields below; held across an add, so Stop waits for it
    std::condition_variable m_wakeUp;
    Entry m_entry;
    bool m_known = false;
    bool m_stopped = false;
    std::thread m_thread;
};

}  // namespace fk
