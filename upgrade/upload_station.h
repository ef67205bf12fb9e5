#pragma once

// An upload as the window and the terminal's upload start it: a station of one named recorder
// that ends after its transfer, over the card it follows.

#include "upgrade/session_host.h"
#include "upgrade/station_session.h"
#include "upgrade/upload_checks.h"

namespace fk {

// The station an upload is: its one recorder named, ending after its transfer, its address the
// rule's for the card of each announcement, the card followed as cards gives it; or a bench's,
// its named recorders at the addresses planned.
StationPlan UploadStationPlan(const UploadPlan& plan, platform::AdapterSource& cards);

class UploadStation final : private StationHost {
  public:
    // cards: where the card followed is read, from the network thread.
    UploadStation(SessionHost& host, DeviceArp& arp, platform::PortOpener& ports,
                  platform::AdapterSource& cards, StationOptions options = {},
                  StationSession::WatchMaker makeWatch = platform::MakeSystemNetworkWatch);

    // Stops the upload that runs as the operator's abort (its Ended comes first), then starts
    // this one: its Started, then its announcements (or StartFailed, and a stop is waited for).
    void StartUpload(const UploadPlan& plan);
    // Ends the running upload as the operator's abort and joins its thread; nothing when none
    // runs. Never from OnEvent.
    void StopUpload() { m_station.Stop(Outcome::Aborted); }
    // The operator picked another card: the upload follows it from its next announcement.
    void PickCard(int ifindex) { m_station.PickCard(ifindex); }
    // At the front end's end: an upload still running is the operator's abort.
    void Shutdown() { m_station.Stop(Outcome::Aborted); }

    // The window's transfer timers, should it ever start them: they act on the running upload.
    void AckTimeOutTimer() { m_station.AckTimeOut(); }
    void SendTimeOutTimer() { m_station.SendTimeOut(); }

    SessionState State() const { return m_station.State(); }

  private:
    void OnEvent(const StationRecorder&, const SessionEvent& event) override {
        m_host.OnEvent(event);
    }

    SessionHost& m_host;
    platform::AdapterSource& m_cards;
    StationSession m_station;
};

}  // namespace fk
