#pragma once

// A station: one card serving a bench of recorders at once, driven by one network thread.
//
// Every recorder has its own address for the run and its own neighbour entry, made before its
// first reply and deleted when its transfer ends (and at the stop). A recorder named by its MAC
// is announced to every bootpPeriod, the recorders' turns spread evenly over the period, until
// its read request comes; a boot request from a named recorder, or with learn from any
// recorder's MAC while fewer than maxRecorders are served, is answered with its own xid. One
// TFTP port and one engine serve them all; the engine keeps each transfer apart (its own timers,
// image and resends), so one recorder's failure or silence never touches another's transfer.
//
// A port whose receive fails ends every transfer and the thread, reported as a Failed of the
// whole port; the front end stops the station then.
//
// As in an upload, the thread waits on the ports and a wake-up signal until the next deadline,
// delivers the events after each round without holding a lock, and a stop only asks it to end,
// wakes it and joins it; the stop tidies up (entries deleted, ports closed) and reports Ended.

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
#include "platform/udp_socket.h"
#include "upgrade/device_arp.h"
#include "upgrade/served_image.h"
#include "upgrade/session_events.h"
#include "upgrade/tftp_engine.h"
#include "upgrade/upload_session.h"

namespace fk {

// One recorder of a station. Events of the whole port carry a zero recorder; a recorder learnt
// is made known by an Announcing of its own when its first boot request is answered.
struct StationRecorder {
    MacAddress mac{};
    Ipv4 address = 0;
    bool operator==(const StationRecorder&) const = default;
};

// The front end of a station. OnEvent comes from the thread that made the event (the caller of
// Start and Stop, or the network thread), one call at a time, in order, never under a lock of
// the station's; it must not wait.
class StationHost {
  public:
    virtual ~StationHost() = default;
    virtual void OnEvent(const StationRecorder& recorder, const SessionEvent& event) = 0;
};

// The ports, periods and waits of an upload, and how many recorders at once.
struct StationOptions : UploadSessionOptions {
    // Transfers at once, and recorders learnt and not yet done.
    std::size_t maxRecorders = 16;
};

struct StationPlan {
    ServedFile file;
    SelectedCard card;
    // The recorders named by their MACs, each with its address.
    std::vector<StationRecorder> named;
    // Recorders not named are served when their boot request comes.
    bool learn = false;
    // The address for the recorder with mac, learnt, given the addresses of the run so far;
    // nothing when it is not to be served or no address is left. Called on the network thread.
    std::function<std::optional<Ipv4>(const MacAddress& mac, const std::set<Ipv4>& given)>
        nextAddress;
};

class StationSession {
  public:
    StationSession(StationHost& host, DeviceArp& arp, platform::PortOpener& ports,
                   StationOptions options = {});
    ~StationSession();  // Stop()
    StationSession(const StationSession&) = delete;
    StationSession& operator=(const StationSession&) = delete;

    // Opens the ports and starts the network thread; false (after StartFailed) when a port
    // could not be opened. A station runs at most once.
    bool Start(const StationPlan& plan);
    // Ends the station, joins its thread and tidies up; Ended once. Never from OnEvent.
    void Stop();

  private:
    struct Run;

    void NetworkThread();
    void ReceiveTftp(std::chrono::steady_clock::time_point now);
    void ReceiveBootp();
    void Announce(std::chrono::steady_clock::time_point now);
    void RefreshEntries(std::chrono::steady_clock::time_point now);
    void PortFailed(int error);
    void Deliver();

    StationHost& m_host;
    DeviceArp& m_arp;
    platform::PortOpener& m_ports;
    const StationOptions m_options;
    FileImageStore m_images;

    std::mutex m_controlMutex;  // Start and Stop, one at a time; never the thread's
    std::unique_ptr<Run> m_run;
    std::thread m_thread;
    std::atomic<bool> m_stopAsked{false};
    bool m_portFailed = false;  // the network thread's
};

}  // namespace fk
