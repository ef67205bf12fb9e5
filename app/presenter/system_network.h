#pragma once

#include <memory>

#include "app/presenter/window_services.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/network_watch.h"
#include "platform/tcpip_config.h"

namespace fk::window {

// The system's network facilities a window works through, made once for its whole life: the
// cards, their TCP/IP settings, the neighbour table and the watch on the cards.
class SystemNetwork {
  public:
    SystemNetwork();

    // A window's services over them, with its toolkit's boxes, dialogs and sound; every upload
    // is recorded in history.
    WindowServices Services(platform::MessageBoxes& messageBoxes,
                            platform::FileDialogs& fileDialogs, platform::SoundOutput& sound,
                            history::UploadHistory* history) const;

  private:
    std::unique_ptr<platform::AdapterSource> m_adapters;
    std::unique_ptr<platform::TcpipConfig> m_tcpipConfig;
    std::unique_ptr<platform::NeighbourTable> m_neighbours;
    std::unique_ptr<platform::NetworkWatch> m_cardWatch;  // none where the system will not tell
};

}  // namespace fk::window
