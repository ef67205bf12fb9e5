#pragma once

// The window's upload session, one for every window whatever its toolkit: the station, the row
// of the upload history in front of it and the owner of the recorder's neighbour entry. What the
// session tells reaches the presenter on the window's thread, in the order it happened, through
// the one hook the window supplies; nothing here touches a widget or waits.

#include <cstdint>
#include <functional>
#include <string>

#include "app/presenter/window_services.h"
#include "app/presenter/window_view.h"
#include "history/recording_host.h"
#include "upgrade/recorder_entries.h"
#include "upgrade/session_host.h"
#include "upgrade/upload_station.h"

namespace fk::window {

class WindowPresenter;

// Runs a change on the window's thread: at once when called there, after the changes still
// waiting; from any other thread queued in call order. Each window makes it of its toolkit's
// posting.
using PostToWindow = std::function<void(std::function<void()> change)>;

class WindowSession final : public SessionControl, private SessionHost {
  public:
    struct Options {
        // Where no neighbour entry can be made, the boot replies go to the card's subnet, and the
        // status line says so once per upload. Off: they never fall back.
        bool broadcastFallback = false;
        // The box of a port another program holds, in the system's words; none keeps the
        // feedback table's status line.
        std::function<std::string(std::uint16_t port)> portHeldText;
    };

    WindowSession(const WindowServices& services, PostToWindow post, Options options);

    // Where the feedback goes; set once, before the first Start.
    void ReportTo(WindowPresenter& presenter) { m_presenter = &presenter; }

    // SessionControl, on the window's thread.
    void Start(const UploadPlan& plan) override;
    void Stop() override { m_station.StopUpload(); }
    void PickCard(int ifindex) override { m_station.PickCard(ifindex); }
    void Shutdown() override { m_station.Shutdown(); }
    bool Running() const override;

    // The recorder's neighbour entry as the window sets it: 0 or the errno (EADDRINUSE: another
    // device answers for the address; a running upload's station ends it and says so itself).
    int SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) {
        return m_entries.SetDeviceArpEntry(ifindex, address, mac, add);
    }
    // The window's transfer timers.
    void AckTimeOutTimer() { m_station.AckTimeOutTimer(); }
    void SendTimeOutTimer() { m_station.SendTimeOutTimer(); }

  private:
    // What the neighbour entry's owner tells, on the window's thread: where the fallback is on,
    // that the replies go out by broadcast. Made in the constructor, from m_post and m_options
    // alone.
    RecorderEntries::Notices EntryNotices();
    // Any thread.
    void OnEvent(const SessionEvent& event) override;

    const PostToWindow m_post;
    const Options m_options;
    platform::AdapterSource& m_adapters;
    const StationOptions m_stationOptions;
    WindowPresenter* m_presenter = nullptr;
    RecorderEntries m_entries;
    history::RecordingSessionHost m_recording;
    UploadStation m_station;
};

}  // namespace fk::window
