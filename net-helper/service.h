#pragma once

// What the helper does for the window: the three requests of protocol.h, under the rules of
// request_checks.h, remembering which neighbour entries it made so that it deletes only those.
// The window runs the same service in its own process when it holds the two privileges itself.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "net-helper/entry_record.h"
#include "net-helper/protocol.h"
#include "net-helper/request_checks.h"
#include "net-helper/rtnetlink.h"

namespace fk::nethelper {

class NetService {
  public:
    NetService() = default;
    // Closes its namespace locks: its entries are gone by then (RemoveAll).
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    // Joins the services of the calling thread's network namespace, whose requests follow. Each
    // holds a shared flock on the namespace itself (/proc/thread-self/ns/net) for as long as it
    // lives; one that finds no other (it gets the lock exclusive) first deletes every tagged
    // entry. Each records the entries it makes in the namespace's EntryRecord, and sweeps those
    // whose maker is gone: at once, then every few seconds (RunTimers). 0 or the errno.
    int JoinNamespace();
    // Answers the requests in order; the socket of each successful bind goes to boundSockets
    // (else -1). An add that has to ask the wire first answers EINPROGRESS at once; asked again,
    // it answers EINPROGRESS until a device answered or the probe's time is up, then decides.
    std::vector<Reply> HandleAll(std::span<const Request> requests, std::vector<int>& boundSockets);
    // Does what is due: drops the probes nobody asked after, with their entries, and sweeps the
    // entries of the namespace whose maker is gone. How long until more is due; none when nothing
    // will be. The helper runs them on time; a window run as root at each of its requests.
    std::optional<std::chrono::steady_clock::duration> RunTimers();
    // Deletes every entry it made that still is as it made it, and every probe's, and forgets
    // them all.
    void RemoveAll();

  private:
    using Clock = std::chrono::steady_clock;
    struct Made {
        int ifindex;
        std::uint32_t address;
        std::uint8_t mac[6];
    };
    // An address asked on the wire for a recorder, and when.
    struct Probe {
        int ifindex;
        std::uint32_t address;
        std::uint8_t mac[6];
        Clock::time_point began;
    };
    struct Joined {
        ino_t inode = 0;
        int lock = -1;  // the shared flock on the namespace
        EntryRecord record;
        Clock::time_point sweepDue{};
    };

    // What an add found before its entry: an error ends it there.
    struct Step {
        int error = 0;
        bool ours = false;     // the entry at the address is one it made, still as made
        bool settled = false;  // ... and resolved: no probe
        std::optional<std::uint32_t> previous;  // the recorder's entry at another address
        std::optional<Neighbour> existing;      // what the table holds at the address
    };

    Reply Handle(const Request& request, int& boundSocket);
    int Bind(std::uint16_t port, int ifindex, int& boundSocket);
    int Add(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6]);
    // The rules of an add, with m_mutex held; probing: the entry at the address is its probe's.
    Step Check(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6], bool probing);
    // Asks the wire about the address, within the card's cap; ours: the entry there is its own.
    int StartProbe(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6], bool ours,
                   Clock::time_point now);
    // Makes the entry; answer: what the probe heard, when it asked the wire.
    int Finish(int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6], const Step& step,
               bool probed, const std::optional<Neighbour>& answer);
    int Remove(int ifindex, std::uint32_t address);
    // Remove, with m_mutex held.
    int RemoveMade(int ifindex, std::uint32_t address);
    std::vector<Made>::iterator FindMade(int ifindex, std::uint32_t address);
    std::vector<Probe>::iterator FindProbe(int ifindex, std::uint32_t address);
    // Ends the probe at the address, if any: its entry goes, resolved or not. Whether there was
    // one.
    bool DropProbe(int ifindex, std::uint32_t address);
    // Probes nobody asked after for long: their entries go.
    void DropForgottenProbes(Clock::time_point now);
    // The record of the namespace joined last, when there is one to use.
    EntryRecord* Record();
    // Deletes the left-over entries that the record names and no running service holds.
    void SweepGone(Clock::time_point now);
    // Lets go of the slots of the entries it no longer holds.
    void ReleaseUnused();
    // The entry is the one it made, or what the kernel made of it: no other MAC, still dynamic
    // (it may have gone FAILED or INCOMPLETE meanwhile).
    static bool StillAsMade(const Made& made, const std::optional<Neighbour>& existing);
    // After an add the kernel did not store as asked: deletes the card's entries that carry the
    // tag and this MAC but are none of those it made.
    void UndoStrayEntries(int ifindex, const std::uint8_t (&mac)[6]);

    std::mutex m_mutex;  // the window calls from its network thread and its GUI thread
    std::vector<Made> m_made;
    std::vector<Probe> m_probes;
    std::vector<std::unique_ptr<Joined>> m_joined;
    Joined* m_current = nullptr;  // the namespace of the requests
};

// Answers the requests arriving on channel until the other end closes it (or it fails), running
// the service's timers meanwhile; then deletes every entry made and returns.
void Serve(int channel, NetService& service);

}  // namespace fk::nethelper
