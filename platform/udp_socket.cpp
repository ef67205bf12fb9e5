// What the system's UDP sockets do the same on every system: the use count that keeps a closing
// descriptor alive while a call is inside, and the opener the sessions open and move ports with.

#include "platform/udp_socket.h"

#include <cerrno>

namespace fk::platform {

namespace {

class UdpPortOpener final : public PortOpener {
  public:
    Opened Open(std::uint16_t number, int ifindex) override {
        int error = 0;
        auto socket = UdpSocket::Create(error);
        if (!socket) return {nullptr, 2, error};
        if ((error = socket->Bind(number, ifindex)) != 0) {
            socket->Close();
            return {nullptr, 3, error};
        }
        return {std::move(socket), 0, 0};
    }
    int Move(DatagramPort& port, std::uint16_t number, int ifindex) override {
        auto* socket = dynamic_cast<UdpSocket*>(&port);
        return socket ? socket->Bind(number, ifindex) : EINVAL;
    }
};

}  // namespace

bool UdpSocket::Enter() {
    if (m_state.fetch_add(1) & kClosed) {
        Leave();
        return false;
    }
    return true;
}

// Closed and nobody inside: the descriptors go, exactly once.
void UdpSocket::Leave() {
    if (m_state.fetch_sub(1) == (kClosed | 1)) Release();
}

PortOpener& SystemPortOpener() {
    static UdpPortOpener opener;
    return opener;
}

}  // namespace fk::platform
