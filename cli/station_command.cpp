// flashkit-cli station: one card serving a bench of recorders at once, each with its own
// address, its own line on the terminal and its own history row per transfer.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <variant>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/json_text.h"
#include "cli/progress.h"
#include "history/recording_host.h"
#include "history/upload_history.h"
#include "image/image_files.h"
#include "net/address_plan.h"
#include "net/arp_entry.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/stop_requests.h"
#include "upgrade/operator_feedback.h"
#include "upgrade/station_session.h"
#include "upgrade/transfer_percent.h"
#include "upgrade/upload_checks.h"

namespace fk::cli {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// A recorder's event, or a warning line, carried to the terminal's thread in order.
using Report = std::variant<std::pair<StationRecorder, SessionEvent>, std::string>;

class StationTerminalHost final : public StationHost, public DeviceArp {
  public:
    StationTerminalHost(Ipv4 mask, platform::NeighbourTable& neighbours)
        : m_mask(mask), m_arpEntry(neighbours, [this](const std::string& line) { Push(line); }) {}

    void OnEvent(const StationRecorder& recorder, const SessionEvent& event) override {
        Push(std::pair{recorder, event});
    }
    void SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override {
        m_arpEntry.Set(ifindex, address, mac, add);
        if (add && m_arpEntry.CannotMake() && !m_fallbackSaid.exchange(true)) {
            Push(std::string(kBroadcastFallbackText));
        }
    }
    void ResetErrorReport() override {
        m_arpEntry.ResetErrorReport();
        m_fallbackSaid.store(false);
    }
    Ipv4 BroadcastFallbackMask() const override { return m_arpEntry.CannotMake() ? m_mask : 0; }

    void Push(Report report) {
        {
            std::lock_guard lock(m_mutex);
            m_reports.push_back(std::move(report));
        }
        m_arrived.notify_one();
    }
    // The reports made so far; waits for one until the deadline when there are none.
    std::deque<Report> Take(Clock::time_point deadline) {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_until(lock, deadline, [this] { return !m_reports.empty(); });
        return std::exchange(m_reports, {});
    }

  private:
    const Ipv4 m_mask;  // of the card's subnet, for the broadcast fallback
    DeviceArpEntry m_arpEntry;
    std::atomic<bool> m_fallbackSaid{false};
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Report> m_reports;
};

// What a recording host passes on goes nowhere: the station's table shows it.
class QuietHost final : public SessionHost {
  public:
    explicit QuietHost(SelectedCard card) : m_card(card) {}
    SelectedCard Card() const override { return m_card; }
    void OnEvent(const SessionEvent&) override {}

  private:
    const SelectedCard m_card;
};

// One recorder of the station as the terminal shows and records it.
struct Row {
    StationRecorder recorder;
    bool named = false;
    std::string state = "announcing";
    std::optional<history::Outcome> outcome;  // of its last transfer
    bool completedOnce = false;
    std::uint64_t size = 0, blockTotal = 0, furthestAck = 0;
    Clock::time_point askedAt;
    Clock::time_point endedAt;
    std::unique_ptr<history::RecordingSessionHost> recording;  // of its current transfer

    int Percent() const {
        return outcome == history::Outcome::Completed ? 100
               : blockTotal == 0                      ? 0
                                                      : TransferPercent(furthestAck, blockTotal);
    }
    ProgressSnapshot Progress() const {
        const auto until = outcome ? endedAt : Clock::now();
        return {
            outcome == history::Outcome::Completed ? size : AcknowledgedBytes(furthestAck, size),
            size, std::chrono::duration_cast<std::chrono::milliseconds>(until - askedAt),
            Percent()};
    }
};

std::string RowLine(const Row& row) {
    const auto rate = Rate(row.Progress());
    char line[160];
    std::snprintf(
        line, sizeof line, "%-17s  %-15s  %-12s  %3d%%  %s", FormatMac(row.recorder.mac).c_str(),
        FormatDottedQuad(row.recorder.address).c_str(), row.state.c_str(), row.Percent(),
        rate && row.askedAt != Clock::time_point{} ? (FormatBytes(*rate) + "/s").c_str() : "--");
    return line;
}

// The station's lines: on a terminal a table redrawn in place, into a pipe one line per change,
// or JSON events.
class StationOutput {
  public:
    explicit StationOutput(OutputMode mode) : m_mode(mode) {}

    OutputMode Mode() const { return m_mode; }

    void Emit(Json event, const Row* row = nullptr) {
        if (m_mode != OutputMode::Json) return;
        if (row) {
            event["mac"] = FormatMac(row->recorder.mac);
            event["address"] = FormatDottedQuad(row->recorder.address);
        }
        PrintJsonEvent(std::move(event));
    }
    void Line(const std::string& text) {
        if (m_mode == OutputMode::Json) return;
        ClearTable();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
    }
    void Error(const std::string& text) {
        ClearTable();
        PrintError(text);
    }
    // A recorder's state changed: a line into a pipe, a redraw on a terminal.
    void Changed(const Row& row) {
        if (m_mode == OutputMode::Plain) Line(RowLine(row));
        m_dirty = true;
    }
    void Moved() { m_dirty = true; }
    // On a terminal, at most every kRedrawInterval.
    void Draw(const std::map<Ipv4, Row>& rows) {
        if (m_mode != OutputMode::Terminal || !m_dirty) return;
        const auto now = Clock::now();
        if (now - m_lastDraw < kRedrawInterval) return;
        m_lastDraw = now;
        m_dirty = false;
        if (m_drawn > 0) std::printf("\033[%dA", m_drawn);
        for (const auto& [address, row] : rows) std::printf("\r\033[K%s\n", RowLine(row).c_str());
        m_drawn = static_cast<int>(rows.size());
        std::fflush(stdout);
    }

  private:
    // Other lines go above the table, which is drawn again below them.
    void ClearTable() {
        if (m_mode != OutputMode::Terminal || m_drawn == 0) return;
        std::printf("\033[%dA\r\033[J", m_drawn);
        m_drawn = 0;
        m_dirty = true;
    }

    const OutputMode m_mode;
    Clock::time_point m_lastDraw;
    int m_drawn = 0;
    bool m_dirty = true;
};

// The MACs of --mac and --macs, in order, each once. Nothing (after an error) when one is no
// recorder's MAC or the file cannot be read.
std::optional<std::vector<MacAddress>> NamedMacs(const StationRunOptions& options,
                                                 StationOutput& output) {
    std::vector<std::string> texts = options.macs;
    if (!options.macsFile.empty()) {
        std::ifstream file(options.macsFile);
        if (!file) {
            output.Error("Cannot read the MAC list File (" + options.macsFile + ")");
            return std::nullopt;
        }
        for (std::string line; std::getline(file, line);) {
            line = line.substr(0, line.find('#'));
            const auto first = line.find_first_not_of(" \t\r");
            if (first == std::string::npos) continue;
            texts.push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
        }
    }
    std::vector<MacAddress> macs;
    for (const std::string& text : texts) {
        MacAddress mac = kRecorderMacPrefix;
        if (!ParseRecorderMacArgument(text, mac)) {
            output.Error(
                RefusalLine(kMacRefusalCaption, std::string(kMacRefusalText) + ": '" + text + "'"));
            return std::nullopt;
        }
        if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(mac);
    }
    return macs;
}

// The exit status of the station: 0 when every recorder it served, and every one named,
// completed; else that of the worst recorder.
ExitCode StationExitCode(const std::map<Ipv4, Row>& rows) {
    bool failed = false, unconfirmed = false, unfinished = rows.empty();
    for (const auto& [address, row] : rows) {
        failed |= row.outcome == history::Outcome::Failed;
        unconfirmed |= row.outcome == history::Outcome::Unconfirmed;
        unfinished |= row.named ? !row.completedOnce : row.outcome != history::Outcome::Completed;
    }
    if (failed) return kExitFailed;
    if (unconfirmed) return kExitUnconfirmed;
    return unfinished ? kExitInterrupted : kExitOk;
}

}  // namespace

int RunStation(const StationRunOptions& options) {
    StationOutput output(options.output);
    const auto macs = NamedMacs(options, output);
    if (!macs) return kExitBadInput;
    if (macs->empty() && !options.learn) {
        output.Error(
            "Name the recorders with --mac or --macs, or serve any that asks with --learn.");
        return kExitBadInput;
    }
    if (macs->empty() && options.untilDone) {
        output.Error("--until-done needs the recorders named with --mac or --macs.");
        return kExitBadInput;
    }
    const auto page = ImageKindOf(options.image, options.system);
    if (!page) {
        output.Error(ImageKindRefusal(options.image));
        return kExitBadInput;
    }
    // The upload's image checks, for every named recorder; a recorder learnt is checked as it
    // comes (its model is in its MAC), so with none named the checks of the file alone are made.
    const auto refused = [&](const std::optional<UploadRefusal>& refusal) {
        if (!refusal) return false;
        if (!refusal->fileError.empty()) output.Error(refusal->fileError);
        output.Error(RefusalLine(refusal->caption, refusal->text));
        return true;
    };
    for (const MacAddress& mac : *macs) {
        if (refused(CheckUploadImage(*page, options.image, mac))) return kExitBadInput;
    }
    if (macs->empty() &&
        refused(CheckUploadImage(ImagePage::Data, options.image, kRecorderMacPrefix))) {
        return kExitBadInput;
    }

    const auto adapters = platform::MakeSystemAdapterSource();
    const auto neighbours = platform::MakeSystemNeighbourTable();
    const AdapterList cards = BuildAdapterList(adapters->List());
    const auto card = FindCard(cards, options.card);
    if (!card) {
        output.Error("No network card '" + options.card + "'; flashkit-cli cards lists them.");
        return kExitBadInput;
    }
    // The address the card has now: replies go out from it.
    const Ipv4 host = HostAddressFor(*card, card->description, nullptr);
    if (host == 0) {
        output.Error(card->adapterName + " has no IPv4 address to serve from.");
        return kExitBadInput;
    }
    std::optional<AddressRange> pool;
    if (!options.pool.empty()) {
        pool = ParseAddressRange(options.pool);
        const Ipv4 mask = ParseDottedQuad(card->ipMask);
        if (!pool || SubnetPlaceOf(pool->first, host, mask) != SubnetPlace::Inside ||
            SubnetPlaceOf(pool->last, host, mask) != SubnetPlace::Inside) {
            output.Error("--pool " + options.pool +
                         ": give FIRST-LAST, both inside the subnet of " + card->adapterName +
                         ", e.g. 192.168.1.50-192.168.1.99.");
            return kExitBadInput;
        }
    }
    const int ifindex = static_cast<int>(card->index);
    const StationAddressRules rules = StationAddressRulesFor(*card, cards, host, pool);
    const NeighbourLookup lookup = [&neighbours, ifindex](Ipv4 address) {
        return neighbours->Find(ifindex, address);
    };

    StationPlan plan;
    plan.file = {*page, BareImageName(options.image), options.image};
    plan.card = {host, ifindex};
    std::set<Ipv4> given;
    for (const MacAddress& mac : *macs) {
        const auto address = NextStationAddress(rules, given, lookup);
        if (!address) {
            output.Error(
                "No free address is left for the recorder " + FormatMac(mac) +
                (pool ? " in the pool " + options.pool : " in the subnet of " + card->adapterName) +
                ".");
            return kExitBadInput;
        }
        given.insert(*address);
        plan.named.push_back({mac, *address});
    }

    platform::HoldStopRequests();

    StationTerminalHost terminal(ParseDottedQuad(card->ipMask), *neighbours);
    plan.learn = options.learn;
    // On the station's thread: a recorder learnt gets the next free address if the image fits it.
    plan.nextAddress = [&, refusedMacs = std::set<MacAddress>()](
                           const MacAddress& mac,
                           const std::set<Ipv4>& taken) mutable -> std::optional<Ipv4> {
        if (*page == ImagePage::System &&
            !CheckSystemImageFile(options.image, mac[3], mac[4], mac[5]).fits) {
            if (refusedMacs.insert(mac).second) {
                terminal.Push("The system image is not for the recorder " + FormatMac(mac) +
                              ": it is not served.");
            }
            return std::nullopt;
        }
        return NextStationAddress(rules, taken, lookup);
    };

    history::UploadHistory history(
        options.historyPath.empty() ? history::DefaultHistoryPath() : options.historyPath,
        PrintError);
    QuietHost quiet(plan.card);
    StationOptions stationOptions;
    stationOptions.maxRecorders = options.max;
    stationOptions.headerWait =
        std::chrono::milliseconds(static_cast<long long>(options.headerWaitSeconds * 1000));
    StationSession station(terminal, terminal, platform::SystemPortOpener(), stationOptions);

    std::map<Ipv4, Row> rows;
    for (const StationRecorder& recorder : plan.named) {
        Row& row = rows[recorder.address];
        row.recorder = recorder;
        row.named = true;
    }
    const std::string kind = *page == ImagePage::System ? "system" : "data";
    if (output.Mode() == OutputMode::Json) {
        output.Emit({{"event", "started"},
                     {"card", card->adapterName},
                     {"host_address", FormatDottedQuad(host)},
                     {"image", options.image},
                     {"kind", kind},
                     {"learn", options.learn},
                     {"max", options.max}});
    } else {
        output.Line("Serving " + options.image + " (" + kind + " image) through " +
                    card->adapterName + " (" + FormatDottedQuad(host) + ") to " +
                    (macs->empty() ? std::string("any recorder that asks")
                                   : std::to_string(macs->size()) + " named recorder(s)" +
                                         (options.learn ? " and any recorder that asks" : "")) +
                    "; at most " + std::to_string(options.max) + " at once" +
                    (options.untilDone ? "" : " (Ctrl-C stops)"));
    }

    bool started = true, portFailed = false;
    const auto setState = [&](Row& row, std::string state, Json event) {
        row.state = std::move(state);
        output.Changed(row);
        output.Emit(std::move(event), &row);
    };
    const auto handle = [&](const StationRecorder& recorder, const SessionEvent& event) {
        const OperatorFeedback feedback = FeedbackFor(event);
        if (recorder.address == 0) {
            if (std::holds_alternative<event::StartFailed>(event)) {
                started = false;
                output.Error(feedback.status.value_or("The ports could not be opened"));
            } else if (std::holds_alternative<event::Failed>(event)) {
                portFailed = true;
                output.Error(feedback.status.value_or("The ports failed"));
            } else if (std::holds_alternative<event::Announcing>(event)) {
                for (auto& [address, row] : rows)
                    setState(row, "announcing", {{"event", "announcing"}});
            } else if (feedback.status && !feedback.progress &&
                       !std::holds_alternative<event::Ended>(event)) {
                output.Line(*feedback.status);
                output.Emit({{"event", "status"}, {"text", *feedback.status}});
            }
            return;
        }
        Row& row = rows[recorder.address];
        row.recorder = recorder;
        if (std::holds_alternative<event::Announcing>(event)) {
            setState(row, "answered", {{"event", "answered"}});
        } else if (const auto* accepted = std::get_if<event::RequestAccepted>(&event)) {
            // Every transfer is a row of the history of its own.
            row.recording =
                std::make_unique<history::RecordingSessionHost>(quiet, &history, "flashkit-cli");
            row.recording->OnEvent(
                event::Started{plan.card, recorder.mac, options.image, *page, recorder.address});
            row.size = accepted->imageSize;
            row.blockTotal = (row.size + 511) / 512 + 1;
            row.furthestAck = 0;
            row.outcome.reset();
            row.askedAt = Clock::now();
            setState(row, "transferring",
                     {{"event", "request"},
                      {"from", FormatDottedQuad(accepted->recorder.address) + ":" +
                                   std::to_string(accepted->recorder.port)},
                      {"size", row.size}});
        }
        if (row.recording) row.recording->OnEvent(event);
        const auto end = [&](history::Outcome outcome, const char* state) {
            row.outcome = outcome;
            row.endedAt = Clock::now();
            row.completedOnce |= outcome == history::Outcome::Completed;
            setState(row, state, {{"event", state}, {"text", feedback.status.value_or("")}});
        };
        if (const auto* acked = std::get_if<event::Acknowledged>(&event)) {
            if (acked->blockNo > row.furthestAck && acked->blockNo <= row.blockTotal) {
                row.furthestAck = acked->blockNo;
                output.Moved();
            }
        } else if (const auto* progress = std::get_if<event::Progress>(&event)) {
            const auto snapshot = row.Progress();
            const auto rate = Rate(snapshot);
            output.Emit({{"event", "progress"},
                         {"percent", progress->percent},
                         {"bytes", snapshot.bytes},
                         {"size", snapshot.total},
                         {"bytes_per_second", rate ? *rate : 0.0}},
                        &row);
        } else if (std::holds_alternative<event::Completed>(event)) {
            end(history::Outcome::Completed, "completed");
        } else if (std::holds_alternative<event::Unconfirmed>(event)) {
            end(history::Outcome::Unconfirmed, "unconfirmed");
        } else if (std::holds_alternative<event::Failed>(event)) {
            end(history::Outcome::Failed, "failed");
        } else if (feedback.box) {
            output.Error(FormatMac(recorder.mac) + ": " +
                         RefusalLine(feedback.box->caption, feedback.box->text));
        }
    };
    const auto handleAll = [&](std::deque<Report> reports) {
        for (const Report& report : reports) {
            if (const auto* warning = std::get_if<std::string>(&report)) {
                output.Error(*warning);
            } else {
                const auto& [recorder, event] =
                    std::get<std::pair<StationRecorder, SessionEvent>>(report);
                handle(recorder, event);
            }
        }
        output.Draw(rows);
    };
    const auto allNamedDone = [&] {
        return std::all_of(rows.begin(), rows.end(), [](const auto& entry) {
            return !entry.second.named || entry.second.completedOnce;
        });
    };

    station.Start(plan);
    handleAll(terminal.Take(Clock::now()));
    bool interrupted = false;
    while (started && !portFailed && !(options.untilDone && allNamedDone())) {
        handleAll(terminal.Take(Clock::now() + std::chrono::milliseconds(50)));
        if (platform::StopRequested()) {
            interrupted = true;
            break;
        }
    }
    station.Stop();
    handleAll(terminal.Take(Clock::now()));
    // A transfer the stop cut short is recorded as interrupted.
    for (auto& [address, row] : rows) {
        if (!row.recording) continue;
        row.recording->SetStopOutcome(history::Outcome::Interrupted, kUploadingAbortedText);
        row.recording->OnEvent(event::Ended{});
        if (!row.outcome) row.state = "interrupted";
    }
    if (!started) return kExitCannotStart;
    if (interrupted) output.Line(kUploadingAbortedText);

    const ExitCode code = portFailed ? kExitFailed : StationExitCode(rows);
    const auto completed = std::count_if(rows.begin(), rows.end(), [](const auto& entry) {
        return entry.second.outcome == history::Outcome::Completed;
    });
    if (output.Mode() == OutputMode::Json) {
        Json recorders = Json::array();
        for (const auto& [address, row] : rows) {
            recorders.push_back({{"mac", FormatMac(row.recorder.mac)},
                                 {"address", FormatDottedQuad(address)},
                                 {"state", row.state}});
        }
        output.Emit({{"event", "summary"},
                     {"recorders", recorders},
                     {"completed", completed},
                     {"exit_status", static_cast<int>(code)}});
    } else {
        output.Line("Summary: " + std::to_string(completed) + " of " + std::to_string(rows.size()) +
                    " recorder(s) completed");
        for (const auto& [address, row] : rows) output.Line("  " + RowLine(row));
    }
    return code;
}

}  // namespace fk::cli
