#pragma once

// What the helper does for the window: the three requests of protocol.h, under the rules of
// request_checks.h, remembering which neighbour entries it made so that it deletes only those.
// The window runs the same service in its own process when it holds the two privileges itself.

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "net-helper/protocol.h"
#include "net-helper/request_checks.h"
#include "net-helper/rtnetlink.h"

namespace fk::nethelper {

class NetService {
  public:
    // probeInterrupt: a descriptor whose turning readable ends a probe's wait (-1: none).
    explicit NetService(int probeInterrupt = -1) : m_probeInterrupt(probeInterrupt) {}
    // Closes its namespace locks: its entries are gone by then (RemoveAll).
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    // Joins the services of the calling thread's network namespace. Each holds a shared flock on
    // the namespace itself (/proc/thread-self/ns/net) for as long as it lives; one that finds no
    // other (it gets the lock exclusive) first deletes the tagged entries left by a service that
    // was killed or crashed. Once per namespace; 0 or the errno.
    int JoinNamespace();
    // Answers the requests in order; the socket of each successful bind goes to boundSockets
    // (else -1). Neighbour adds in a row are made together where that ends as one by one would:
    // their probes share one wait.
    std::vector<Reply> HandleAll(std::span<const Request> requests, std::vector<int>& boundSockets);
    // Deletes every entry it made that still is as it made it, and forgets them all.
    void RemoveAll();

  private:
    struct Made {
        int ifindex;
        std::uint32_t address;
        std::uint8_t mac[6];
    };

    // What an add found before its probe: an error ends it there.
    struct Step {
        int error = 0;
        bool ours = false;     // the entry at the address is one it made, still as made
        bool settled = false;  // ... and resolved: no probe
        std::optional<std::uint32_t> previous;  // the recorder's entry at another address
    };

    Reply Handle(const Request& request, int& boundSocket);
    int Bind(std::uint16_t port, int ifindex, int& boundSocket);
    // m_mutex held by AddAll for AddTogether and its steps.
    std::vector<int> AddAll(std::span<const Request> adds);
    void AddTogether(std::span<const Request> adds, std::vector<int>& errors);
    Step Prepare(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6],
                 NeighbourProbes& probes);
    int Finish(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6], const Step& step,
               const NeighbourProbes& probes, int waitError);
    int Remove(int ifindex, std::uint32_t address);
    // Remove, with m_mutex held.
    int RemoveMade(int ifindex, std::uint32_t address);
    std::vector<Made>::iterator FindMade(int ifindex, std::uint32_t address);
    // The entry is the one it made, or what the kernel made of it: no other MAC, still dynamic
    // (it may have gone FAILED or INCOMPLETE meanwhile).
    static bool StillAsMade(const Made& made, const std::optional<Neighbour>& existing);
    // After an add the kernel did not store as asked: deletes the card's entries that carry the
    // tag and this MAC but are none of those it made.
    void UndoStrayEntries(int ifindex, const std::uint8_t (&mac)[6]);

    const int m_probeInterrupt;
    std::mutex m_mutex;  // the window calls from its announcer and its GUI thread
    std::vector<Made> m_made;
    std::vector<ino_t> m_namespaces;  // joined, with their locks beside them
    std::vector<int> m_namespaceLocks;
};

// Answers the requests arriving on channel until the other end closes it (or it fails); then
// deletes every entry made and returns.
void Serve(int channel, NetService& service);

}  // namespace fk::nethelper
