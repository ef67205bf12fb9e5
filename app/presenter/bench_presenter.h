#pragma once

// FlashKit Bench without its toolkit: a bench of recorders served at once by the same station as
// `flashkit-cli station`, planned with the same checks, each recorder a row of the list and each
// transfer a row of the upload history. A window (Qt, native) is a view over it. Everything here
// runs on the view's thread.

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/presenter/bench_view.h"
#include "app/presenter/window_view.h"
#include "cli/progress.h"
#include "history/recording_host.h"
#include "net/adapter_list.h"
#include "net/mac.h"
#include "upgrade/station_session.h"

namespace fk::platform {
class AdapterSource;
class NeighbourTable;
class TcpipConfig;
}  // namespace fk::platform

namespace fk::bench {

// The list is redrawn no more often than this: Tick is called at this period.
inline constexpr std::chrono::milliseconds kListRefresh{100};

struct BenchServices {
    BenchView& view;
    window::CuePlayer& cues;
    window::SettingsStore& settings;
    BenchSession& session;
    platform::AdapterSource& adapters;
    platform::TcpipConfig& tcpipConfig;
    platform::NeighbourTable& neighbours;
    history::UploadHistory* history = nullptr;  // none records nothing
    std::string applicationTitle;               // the caption of plain boxes
};

class BenchPresenter {
  public:
    explicit BenchPresenter(const BenchServices& services);
    ~BenchPresenter();

    // The window opens (cards, the remembered image paths) and closes (the station stops).
    void Open();
    void Close();
    // Whether the window may close: while transfers run the operator is asked, and Yes stops them.
    bool CloseRequested();

    // The operator's actions.
    void CardChosen(int index);
    void AddPressed();
    // Many MACs at once, one a line (pasted, or a --macs file's).
    void AddLines(const std::string& text);
    void LoadPressed(const std::string& path);
    void RemovePressed(std::size_t index);
    void StartPressed();
    void StopPressed();
    void SaveReportPressed();
    void ClearPressed();
    // Every kListRefresh: the list is redrawn when it changed.
    void Tick();

    // An event of the station, on the view's thread in the order the station made them.
    void OnEvent(const StationRecorder& recorder, const SessionEvent& event);

    bool Running() const { return m_running; }
    const std::vector<MacAddress>& Recorders() const { return m_recorders; }
    std::string Summary() const;
    std::vector<BenchRow> Rows() const;

  private:
    struct Row;

    bool AddMacs(const std::vector<std::string>& texts);
    std::optional<StationPlan> Plan();
    void Refusal(const std::string& text, const std::string& caption = {});
    Row& RowOf(const StationRecorder& recorder);
    void Began(Row& row, const event::RequestAccepted& accepted);
    void Ended(Row& row, const event::RecorderEnded& end);
    void StationEnded();
    void Admitted(const StationRecorder& recorder, const event::Admission& admission);
    void StationEvent(const SessionEvent& event);
    void ShowRecorders();
    void Changed() { m_dirty = true; }

    BenchServices m_services;
    BenchView& m_view;

    AdapterList m_cards;
    int m_selected = -1;
    std::vector<MacAddress> m_recorders;

    // Of the run: what it serves, and its rows by address, in address order as the terminal's.
    ImagePage m_page = ImagePage::System;
    std::string m_image;
    SelectedCard m_card;
    std::map<Ipv4, Row> m_rows;
    // Recorders learnt that were turned away, which have no address: why, by MAC.
    std::map<MacAddress, std::string> m_turnedAway;
    bool m_running = false;
    bool m_allCompletedTold = false;
    bool m_dirty = false;
};

}  // namespace fk::bench
