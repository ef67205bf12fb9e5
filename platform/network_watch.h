#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace fk::platform {

// A change the system made to its cards.
struct NetworkChange {
    enum class Kind {
        Link,         // a card came, or its flags or carrier changed
        LinkRemoved,  // a card went away
        Address,      // an IPv4 address was added to the card or taken from it
        Missed,       // the system dropped changes it had to tell: anything may have changed
    };
    Kind kind = Kind::Link;
    int ifindex = 0;
    bool carrier = false;  // Link: the card is up and has a carrier now
};

// Tells of changes to the cards of the network namespace it was made in, as they happen.
class NetworkWatch {
  public:
    virtual ~NetworkWatch() = default;
    // Waits until changes come, Wake() is called or `until` passes, and returns the changes
    // (none for the other two). One thread waits at a time.
    virtual std::vector<NetworkChange> Wait(std::chrono::steady_clock::time_point until) = 0;
    // Any thread: ends the wait in progress, or the next one, at once.
    virtual void Wake() = 0;
    // Readable when changes wait, for a thread that polls it beside other descriptors and then
    // takes them with a Wait until now; -1 when there is none to poll.
    virtual int Descriptor() const { return -1; }
};

// The name the operator knows a card of the calling thread's namespace by: its interface name,
// or on Windows "Ethernet 2 (Intel(R) I219-V)"; empty when there is none.
std::string CardName(int ifindex);

// Watches the calling thread's network namespace; nullptr when the system will not tell.
std::unique_ptr<NetworkWatch> MakeSystemNetworkWatch();

}  // namespace fk::platform
