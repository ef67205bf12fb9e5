#pragma once

// What the helper does for the window: the three requests of protocol.h, under the rules of
// request_checks.h, remembering which neighbour entries it made so that it deletes only those.
// The window runs the same service in its own process when it holds the two privileges itself.

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "net-helper/protocol.h"
#include "net-helper/request_checks.h"

namespace fk::nethelper {

class NetService {
  public:
    // Answers one request; the socket of a successful bind goes to boundSocket (else -1).
    Reply Handle(const Request& request, int& boundSocket);
    // Deletes every entry it made that still is as it made it, and forgets them all.
    void RemoveAll();

  private:
    struct Made {
        int ifindex;
        std::uint32_t address;
        std::uint8_t mac[6];
    };

    int Bind(std::uint16_t port, int& boundSocket);
    int Add(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6]);
    int Remove(int ifindex, std::uint32_t address);
    std::vector<Made>::iterator FindMade(int ifindex, std::uint32_t address);
    // The entry is the one it made: same MAC, still dynamic.
    static bool StillAsMade(const Made& made, const std::optional<Neighbour>& existing);

    std::mutex m_mutex;  // the window calls from its announcer and its GUI thread
    std::vector<Made> m_made;
};

// Answers the requests arriving on channel until the other end closes it (or it fails); then
// deletes every entry made and returns.
void Serve(int channel, NetService& service);

}  // namespace fk::nethelper
