#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <initializer_list>

namespace fk::testing {

// Capabilities are per thread on Linux, and a thread starts with its creator's: dropping them
// from the test's thread before the window starts an upload gives the window and its workers
// exactly what an ordinary user has, while the test process stays root.
class CapabilitiesDropped {
  public:
    explicit CapabilitiesDropped(std::initializer_list<int> capabilities) {
        if (syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        for (const int capability : capabilities)
            reduced[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
        dropped = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~CapabilitiesDropped() {
        if (dropped) syscall(SYS_capset, &m_header, m_saved);
    }
    CapabilitiesDropped(const CapabilitiesDropped&) = delete;
    CapabilitiesDropped& operator=(const CapabilitiesDropped&) = delete;

    bool dropped = false;

  private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

}  // namespace fk::testing
