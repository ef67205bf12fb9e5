// The system's UDP sockets as the sessions open and move their ports: the same on every system.

#include <cerrno>

#include "platform/udp_socket.h"

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

PortOpener& SystemPortOpener() {
    static UdpPortOpener opener;
    return opener;
}

}  // namespace fk::platform
