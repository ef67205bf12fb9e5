#pragma once

// One upload to one recorder: two UDP sockets (BOOTP server port 67, TFTP port 69) and two
// workers, the BOOTP announcer and the TFTP server.
//
// Every upload gets its own run object (sockets, run flags, turn mutex, TFTP engine) that its
// workers hold by shared_ptr, so a worker of an earlier upload can only ever act on its own
// sockets and flags. The workers are std::threads owned by the session; they are joined at the
// next StartUpload and by Shutdown(), never by StopUpload, which the TFTP worker runs itself.
//
// Stopping: StopUpload waits for the TFTP worker's datagram in hand (engine mutex), clears the
// run flags, waits for a BOOTP turn in progress (turn mutex, taken by nobody who needs the GUI
// thread) before the final ARP deletes, and closes both ports.
// Closing a port wakes a worker blocked on it; the socket is released when the worker has let
// go of it. StopUpload may run on the GUI thread and on the TFTP worker at once: only the call
// that clears the run's "uploading" flag closes the ports and reports the end.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/ipv4.h"
#include "platform/net_privileges.h"
#include "upgrade/device_arp.h"
#include "upgrade/session_host.h"

namespace fk {

struct UploadSessionOptions {
    std::uint16_t bootpServerPort = 67;
    std::uint16_t bootpClientPort = 68;
    std::uint16_t tftpServerPort = 69;
    std::chrono::milliseconds bootpPeriod{30};
    std::chrono::milliseconds sendTimeOut{3000};
    // The recorder's neighbour entry is added again this often while the upload runs: well inside
    // the kernel's reachable time (15 s at the least by default).
    std::chrono::milliseconds entryRefresh{1000};
};

// The box shown beside a failed socket step when the network helper could not be asked for a
// reason the operator can act on; none otherwise.
struct NetHelperBox {
    std::string text;
    std::string caption;
};
std::optional<NetHelperBox> NetHelperProblemBox(platform::NetHelperProblem problem);

enum class SessionState { Idle, Announcing, Transferring, StartFailed };

class UploadSession {
  public:
    UploadSession(SessionHost& host, DeviceArp& arp, UploadSessionOptions options = {});
    ~UploadSession();  // Shutdown()
    UploadSession(const UploadSession&) = delete;
    UploadSession& operator=(const UploadSession&) = delete;

    // GUI thread: after the inputs passed (the window runs StopUpload first). Shows "Uploading
    // Started", opens the sockets and starts the TFTP worker, then the BOOTP worker.
    void StartUpload();
    // Any thread. Ends the running upload, or tidies up when none runs.
    void StopUpload();
    // GUI thread, at the window's destruction: stops what runs and joins every worker.
    void Shutdown();

    // Hooks for the window's transfer timers, should it ever start them.
    void AckTimeOutTimer();
    void SendTimeOutTimer();

    SessionState State() const;
    Ipv4 DeviceIp() const { return m_deviceIp.load(); }

  private:
    struct Run;

    bool OpenSockets(Run& run);
    // StopRun with the run's engine mutex taken: for every caller but the TFTP worker, which
    // stops from inside the engine and holds it already.
    void StopFromOutside(Run* run);
    void StopRun(Run* run);
    void BootpWorker(std::shared_ptr<Run> run);
    void SendBootpReply(Run& run);
    void JoinWorkers();
    std::shared_ptr<Run> CurrentRun() const;

    SessionHost& m_host;
    DeviceArp& m_arp;
    const UploadSessionOptions m_options;

    mutable std::mutex m_runMutex;  // guards m_run, never held while calling out
    std::shared_ptr<Run> m_run;
    // The recorder's entry as the last BOOTP turn made it (written under the turn mutex).
    std::atomic<Ipv4> m_deviceIp{0};
    std::atomic<int> m_entryIfindex{0};
    std::thread m_tftpThread;
    std::thread m_bootpThread;
};

}  // namespace fk
