#pragma once

// One upload: the BOOTP announcer and the TFTP server on two ports, driven by one network
// thread per upload.
//
// The thread waits on the TFTP port and a wake-up signal until the next deadline (the next
// announcement, the next resend), hands what came to the TFTP engine, sends the announcements
// while no read request has come, and delivers the events after each round. It never waits for
// a front end and holds no lock while it reports, so a stop (Abort, a new Upload, the window
// closing) only asks it to end, wakes it and joins it: that takes as long as one round.
//
// Every upload gets its own run object (ports, entries, engine) that its thread holds, so the
// thread of an earlier upload can only ever act on its own ports. The thread tidies up when the
// upload ends by itself (entries deleted, ports closed); a stop from outside tidies up once the
// thread is joined. Either way Ended is reported once, by whichever came first.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "net/ipv4.h"
#include "platform/udp_socket.h"
#include "upgrade/device_arp.h"
#include "upgrade/served_image.h"
#include "upgrade/session_host.h"
#include "upgrade/upload_checks.h"

namespace fk {

struct UploadSessionOptions {
    std::uint16_t bootpServerPort = 67;
    std::uint16_t bootpClientPort = 68;
    std::uint16_t tftpServerPort = 69;
    std::chrono::milliseconds bootpPeriod{30};
    std::chrono::milliseconds sendTimeOut{3000};
    // How long the header block waits for its acknowledgement; none: until a stop.
    std::optional<std::chrono::milliseconds> headerWait;
    // The recorder's neighbour entry is added again this often while the upload runs: well inside
    // the kernel's reachable time (15 s at the least by default).
    std::chrono::milliseconds entryRefresh{1000};
};

enum class SessionState { Idle, Announcing, Transferring, StartFailed };

class UploadSession {
  public:
    UploadSession(SessionHost& host, DeviceArp& arp, platform::PortOpener& ports,
                  UploadSessionOptions options = {});
    ~UploadSession();  // Shutdown()
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;

    // Stops the upload that runs, then starts this one: reports Started, opens the ports and
    // starts the network thread (or reports StartFailed and waits for a stop).
    void StartUpload(const UploadPlan& plan);
    // Ends the running upload and joins its thread; nothing when none runs. Never from the host's
    // OnEvent.
    void StopUpload();
    // At the front end's end: stops what runs and joins the thread.
    void Shutdown();

    // The window's transfer timers, should it ever start them: they act on the running upload.
    void AckTimeOutTimer();
    void SendTimeOutTimer();

    SessionState State() const;
    Ipv4 DeviceIp() const { return m_deviceIp.load(); }

  private:
    struct Run;

    void NetworkThread(const std::shared_ptr<Run>& run);
    void ReceiveDatagrams(Run& run);
    void BootpTurn(Run& run);
    void Deliver(Run& run);
    // Deletes the run's entries and closes its ports; once.
    void Tidy(Run& run);
    void ReportEnded(Run& run);
    void StopLocked();
    std::shared_ptr<Run> CurrentRun() const;

    SessionHost& m_host;
    DeviceArp& m_arp;
    platform::PortOpener& m_ports;
    const UploadSessionOptions m_options;
    FileImageStore m_images;

    std::mutex m_controlMutex;      // Start, Stop and Shutdown, one at a time; never the thread's
    mutable std::mutex m_runMutex;  // guards m_run, never held while calling out
    std::shared_ptr<Run> m_run;
    std::thread m_thread;
    // The recorder's entry as the last announcement made it.
    std::atomic<Ipv4> m_deviceIp{0};
};

}  // namespace fk
