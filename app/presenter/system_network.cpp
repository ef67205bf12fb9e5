#include "app/presenter/system_network.h"

namespace fk::window {

SystemNetwork::SystemNetwork()
    : m_adapters(platform::MakeSystemAdapterSource()),
      m_tcpipConfig(platform::MakeSystemTcpipConfig()),
      m_neighbours(platform::MakeSystemNeighbourTable()),
      m_cardWatch(platform::MakeSystemNetworkWatch()) {}

WindowServices SystemNetwork::Services(platform::MessageBoxes& messageBoxes,
                                       platform::FileDialogs& fileDialogs,
                                       platform::SoundOutput& sound,
                                       history::UploadHistory* history) const {
    return {messageBoxes,  fileDialogs, sound,   *m_adapters,      *m_tcpipConfig,
            *m_neighbours, nullptr,     history, m_cardWatch.get()};
}

}  // namespace fk::window
