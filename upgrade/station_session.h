#pragma once

// The one session of the core: a station serving recorders over one card, driven by one network
// thread. An upload (the window's, the terminal's) is a station of one named recorder that ends
// after its transfer, over the card its card source follows.
//
// The station owns each recorder's upload from its start to its end: it reports its Started (an
// upload's with the station, a station's recorder's with each read request), its admission, and
// one RecorderEnded with its outcome (of its transfer, its recorder asking again, its address
// held, or the stop, whose outcome Stop is given).
//
// Every recorder has its own address for the run and its own neighbour entry, made before its
// first reply, added again every entryRefresh and at once when the card's carrier returns, and
// deleted when its transfer ends (and at the stop). An entry whose address the system first asks
// on the wire (EINPROGRESS) is asked for again each bootpPeriod until it stands: the thread never
// waits for the wire. A recorder named by its MAC is announced to every bootpPeriod, the
// recorders' turns spread evenly over the period, until its read request comes; a boot request from
// a named recorder, or with learn from any recorder's MAC while fewer than maxRecorders are served,
// is answered with its own xid. One TFTP port and one engine serve them all; the engine keeps each
// transfer apart (its own timers, image and resends), so one recorder's failure or silence never
// touches another's transfer.
//
// The thread waits on the two ports, a wake-up signal and the system's network notices until the
// next deadline, and delivers the events after each round. Nothing is called out under a lock of
// the station's, Start and Stop included: a stop only asks the thread to end, wakes it and joins
// it, ends the uploads still running, then tidies up (entries deleted, ports closed) and reports
// Ended, once. A port whose receive
// fails ends every transfer and the thread, reported as a Failed of the whole port.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/adapter_source.h"
#include "platform/network_watch.h"
#include "platform/udp_socket.h"
#include "upgrade/device_arp.h"
#include "upgrade/served_image.h"
#include "upgrade/session_events.h"
#include "upgrade/tftp_engine.h"

namespace fk {

// One recorder of a station. Events of the whole port carry a zero recorder; a recorder learnt
// is made known by an Announcing of its own when its first boot request is answered.
struct StationRecorder {
    MacAddress mac{};
    Ipv4 address = 0;
    bool operator==(const StationRecorder&) const = default;
};

// A recorder named by its MAC. One that ends after its transfer (an upload's) has one upload
// for the whole run, begun with the station: when its transfer ends, so does its upload, and a
// station of such recorders alone ends by itself once they all have. It is not announced to once
// it asks, and another device answering for its address ends its upload.
struct NamedRecorder : StationRecorder {
    NamedRecorder(const StationRecorder& recorder = {}, bool endsAfterTransfer = false)
        : StationRecorder(recorder), endsAfterTransfer(endsAfterTransfer) {}
    bool endsAfterTransfer = false;
};

// The front end of a station. OnEvent comes from the thread that made the event (the caller of
// Start and Stop, or the network thread), one call at a time, in order, never under a lock of the
// station's; it must not wait.
class StationHost {
  public:
    virtual ~StationHost() = default;
    virtual void OnEvent(const StationRecorder& recorder, const SessionEvent& event) = 0;
};

struct StationOptions {
    std::uint16_t bootpServerPort = 67;
    std::uint16_t bootpClientPort = 68;
    std::uint16_t tftpServerPort = 69;
    std::chrono::milliseconds bootpPeriod{30};
    std::chrono::milliseconds sendTimeOut{3000};
    // How long the header block waits for its acknowledgement; none: until a stop.
    std::optional<std::chrono::milliseconds> headerWait;
    // Each entry is added again this often: well inside the kernel's reachable time (15 s at the
    // least by default), which a boot loader that never answers ARP never confirms.
    std::chrono::milliseconds entryRefresh{1000};
    // Recorders served at once: announced to, transferring, or learnt and not yet done. Named
    // recorders beyond it wait their turn.
    std::size_t maxRecorders = 16;
    // A recorder learnt that sends no read request this long after its first answer is let go:
    // its place and its address are free again.
    std::chrono::milliseconds learntWait{5000};
};

struct StationPlan {
    ServedFile file;
    SelectedCard card;
    // The recorders named by their MACs, each with its address.
    std::vector<NamedRecorder> named;
    // Recorders not named are served when their boot request comes.
    bool learn = false;
    // The address for the recorder with mac, learnt, or named and passed over because another
    // device answers for its own, given the addresses of the run so far; nothing when it is not to
    // be served or no address is left. Called on the network thread. None: a recorder's address
    // another device answers for is held, and its upload ends.
    std::function<std::optional<Ipv4>(const MacAddress& mac, const std::set<Ipv4>& given)>
        nextAddress;
    // The card source, when the card is followed (an upload's): the one recorder's address is
    // the address rule's for the card's own address as these cards give it at each announcement
    // (the ports and entry follow it; a card without an address, or gone, is waited for). The
    // card, the plan's or the one picked since, is read on the network thread at the start and
    // after each change the station's watch tells of, by its name: plugged out and in again, it
    // comes back under another index. None: the plan's card is served as it is.
    platform::AdapterSource* followCard = nullptr;
};

enum class SessionState { Idle, Announcing, Transferring, StartFailed };

class StationSession {
  public:
    using WatchMaker = std::function<std::unique_ptr<platform::NetworkWatch>()>;

    // makeWatch is called by Start, in the caller's network namespace.
    StationSession(StationHost& host, DeviceArp& arp, platform::PortOpener& ports,
                   StationOptions options = {},
                   WatchMaker makeWatch = platform::MakeSystemNetworkWatch);
    ~StationSession();  // Stop()
    StationSession(const StationSession&) = delete;
    StationSession& operator=(const StationSession&) = delete;

    // Opens the ports and starts the network thread; false (after StartFailed) when a port
    // could not be opened. A station that ran is stopped first, as the operator's abort.
    bool Start(const StationPlan& plan);
    // Ends the station, joins its thread, ends each upload still running with why (the
    // operator's abort unless said) and tidies up; Ended once. Never from OnEvent.
    void Stop(Outcome why = Outcome::Aborted);
    // The operator picked the card with this interface index: a station that follows the card
    // follows that one from its next announcement.
    void PickCard(int ifindex);

    // The window's transfer timers, should it ever start them: they act on the running station.
    void AckTimeOut();
    void SendTimeOut();

    SessionState State() const;

  private:
    struct Run;

    void NetworkThread(Run& run);
    void Round(Run& run, std::chrono::steady_clock::time_point now);
    void ReceiveTftp(Run& run);
    void ReceiveBootp(Run& run);
    void ReceiveNotices(Run& run);
    void Announce(Run& run, std::chrono::steady_clock::time_point now);
    void GiveTurns(Run& run, std::chrono::steady_clock::time_point now);
    void LetGoSilent(Run& run, std::chrono::steady_clock::time_point now);
    void Learn(Run& run, const MacAddress& mac);
    bool FollowCard(Run& run);
    void ReadCard(Run& run);
    void RefreshEntries(Run& run);
    void Deliver(Run& run);
    void Tidy(Run& run);
    std::shared_ptr<Run> CurrentRun() const;

    StationHost& m_host;
    DeviceArp& m_arp;
    platform::PortOpener& m_ports;
    const StationOptions m_options;
    const WatchMaker m_makeWatch;
    FileImageStore m_images;

    mutable std::mutex m_mutex;  // guards m_run and m_thread for a moment; never held calling out
    std::shared_ptr<Run> m_run;
    std::thread m_thread;
};

}  // namespace fk
