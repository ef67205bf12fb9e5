#pragma once

// An upload as the window and the terminal's upload start it: a station of one named recorder
// that follows its card, and ends by itself when its transfer ends.

#include "upgrade/session_host.h"
#include "upgrade/station_session.h"
#include "upgrade/upload_checks.h"

namespace fk {

// The station an upload is: its one recorder named, its address the rule's for the card of each
// announcement, the card followed as cards gives it; or a bench's, its named recorders at the
// addresses planned.
StationPlan UploadStationPlan(const UploadPlan& plan, platform::AdapterSource& cards);

class UploadStation final : private StationHost {
  public:
    // cards: where the card followed is read, from the network thread.
    UploadStation(SessionHost& host, DeviceArp& arp, platform::PortOpener& ports,
                  platform::AdapterSource& cards, StationOptions options = {},
                  StationSession::WatchMaker makeWatch = platform::MakeSystemNetworkWatch);

    // Stops the upload that runs (its Ended comes first), reports Started, then starts this one
    // (or reports StartFailed and waits for a stop).
    void StartUpload(const UploadPlan& plan);
    // Ends the running upload and joins its thread; nothing when none runs. Never from OnEvent.
    void StopUpload() { m_station.Stop(); }
    // The operator picked another card: the upload follows it from its next announcement.
    void PickCard(int ifindex) { m_station.PickCard(ifindex); }
    // At the front end's end.
    void Shutdown() { m_station.Stop(); }

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
