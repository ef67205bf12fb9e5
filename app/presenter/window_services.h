#pragma once

namespace fk {

namespace history {
class UploadHistory;
}  // namespace history
struct StationOptions;
namespace platform {
class AdapterSource;
class FileDialogs;
class MessageBoxes;
class NeighbourTable;
class NetworkWatch;
class PortOpener;
class SoundOutput;
class TcpipConfig;
}  // namespace platform

// The platform facilities a window uses, whatever its toolkit; tests hand in fakes. A window is
// never without the first six: each is a reference.
struct WindowServices {
    platform::MessageBoxes& messageBoxes;
    platform::FileDialogs& fileDialogs;
    platform::SoundOutput& sound;
    platform::AdapterSource& adapters;
    platform::TcpipConfig& tcpipConfig;
    platform::NeighbourTable& neighbours;
    // Ports and intervals of the upload; none means the recorder's own.
    const StationOptions* uploadOptions = nullptr;
    // Where every upload is recorded; none records nothing.
    history::UploadHistory* history = nullptr;
    // Tells when the system's cards change, so that the card list follows them; none keeps the
    // list read at start-up.
    platform::NetworkWatch* cardWatch = nullptr;
    // Where the upload's ports come from; none means this system's sockets.
    platform::PortOpener* ports = nullptr;
};

}  // namespace fk
