// flashkit-cli station: one card serving a bench of recorders at once, each with its own
// address, its own line on the terminal and its own history row per transfer.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
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
#include "cli/terminal_loop.h"
#include "feedback/operator_feedback.h"
#include "feedback/refusal_texts.h"
#include "history/recording_host.h"
#include "history/upload_history.h"
#include "image/image_files.h"
#include "image/system_image_check.h"
#include "net-helper/protocol.h"
#include "net/address_plan.h"
#include "net/arp_entry.h"
#include "platform/adapter_source.h"
#include "platform/format_text.h"
#include "platform/neighbour_table.h"
#include "platform/stop_requests.h"
#include "upgrade/station_session.h"
#include "upgrade/transfer_percent.h"
#include "upgrade/upload_checks.h"

namespace fk::cli {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

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

// A text from outside as it may be echoed: bytes that are not printable escaped, and cut short.
std::string Printable(const std::string& text) {
    constexpr std::size_t kShown = 64;
    std::string shown;
    for (std::size_t n = 0; n < text.size() && n < kShown; ++n) {
        const auto byte = static_cast<unsigned char>(text[n]);
        shown += byte >= 0x20 && byte < 0x7F && byte != '\\' ? std::string(1, text[n])
                                                             : FormatText("\\x%02x", byte);
    }
    return text.size() > kShown ? shown + "..." : shown;
}

// The lines of the --macs file: a regular file, at most kMaxMacsFileSize bytes and
// kMaxMacsLine characters a line. Nothing (after an error naming the problem) otherwise.
std::optional<std::vector<std::string>> MacsFileLines(const std::string& path,
                                                      StationOutput& output) {
    constexpr std::uintmax_t kMaxMacsFileSize = 64 * 1024;
    constexpr std::size_t kMaxMacsLine = 256;
    const std::string named = "--macs " + Printable(path) + ": ";
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        output.Error("Cannot read the MAC list File (" + Printable(path) + ")");
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        output.Error(named + "not a regular file");
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > kMaxMacsFileSize) {
        output.Error(named + "larger than " + std::to_string(kMaxMacsFileSize / 1024) +
                     " KiB; a MAC list is one MAC a line");
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        output.Error("Cannot read the MAC list File (" + Printable(path) + ")");
        return std::nullopt;
    }
    std::vector<std::string> texts;
    std::size_t number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (line.size() > kMaxMacsLine) {
            output.Error(named + "line " + std::to_string(number) + " is longer than " +
                         std::to_string(kMaxMacsLine) + " characters");
            return std::nullopt;
        }
        line = line.substr(0, line.find('#'));
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) continue;
        texts.push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
    }
    return texts;
}

// The MACs of --mac and --macs, in order, each once. Nothing (after an error) when one is no
// recorder's MAC or the file cannot be read.
std::optional<std::vector<MacAddress>> NamedMacs(const StationRunOptions& options,
                                                 StationOutput& output) {
    std::vector<std::string> texts = options.macs;
    if (!options.macsFile.empty()) {
        const auto lines = MacsFileLines(options.macsFile, output);
        if (!lines) return std::nullopt;
        texts.insert(texts.end(), lines->begin(), lines->end());
    }
    std::vector<MacAddress> macs;
    for (const std::string& text : texts) {
        MacAddress mac = kRecorderMacPrefix;
        if (!ParseRecorderMacArgument(text, mac)) {
            output.Error(RefusalLine(kMacRefusalCaption,
                                     std::string(kMacRefusalText) + ": '" + Printable(text) + "'"));
            return std::nullopt;
        }
        if (std::find(macs.begin(), macs.end(), mac) == macs.end()) macs.push_back(mac);
    }
    return macs;
}

// The exit status of the station: 0 when every recorder named (with none named, every one it
// served) completed; else that of the worst of them.
ExitCode StationExitCode(const std::map<Ipv4, Row>& rows) {
    // With recorders named, theirs is the outcome: a unit learnt on the way (perhaps forged)
    // decides nothing.
    const bool anyNamed =
        std::any_of(rows.begin(), rows.end(), [](const auto& entry) { return entry.second.named; });
    bool failed = false, unconfirmed = false, unfinished = rows.empty();
    for (const auto& [address, row] : rows) {
        if (anyNamed && !row.named) continue;
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
    // The network helper keeps no more entries than that for a card.
    if (macs->size() > nethelper::kMaxRecorderEntries ||
        (options.learn && macs->size() + options.max > nethelper::kMaxRecorderEntries)) {
        output.Error(std::to_string(macs->size()) + " named recorder(s)" +
                     (options.learn ? " and --max " + std::to_string(options.max) + " learnt" : "") +
                     ": at most " + std::to_string(nethelper::kMaxRecorderEntries) +
                     " recorders have entries at once.");
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
        const RefusalTexts texts = TextsOf(*refusal);
        if (!texts.fileError.empty()) output.Error(texts.fileError);
        output.Error(RefusalLine(texts.caption, texts.text));
        return true;
    };
    for (const MacAddress& mac : *macs) {
        if (refused(CheckUploadImage(*page, options.image, mac))) return kExitBadInput;
    }
    if (macs->empty() &&
        refused(CheckUploadImage(ImagePage::Data, options.image, kRecorderMacPrefix))) {
        return kExitBadInput;
    }
    // A system image for learnt recorders is one some recorder can take.
    if (macs->empty() && *page == ImagePage::System) {
        const TrailerReadResult read = ReadImageTrailer(options.image);
        if (read.failure != TrailerFailure::None || !ImageFitsAnyRecorder(read.trailer)) {
            UploadRefusal refusal;
            refusal.reason = UploadRefusal::Reason::WrongRecorder;
            refusal.imagePath = options.image;
            refusal.trailerRead = read;
            refused(refusal);
            return kExitBadInput;
        }
    }

    const auto adapters = platform::MakeSystemAdapterSource();
    const auto neighbours = platform::MakeSystemNeighbourTable();
    if (const auto query = adapters->List(); !FindCard(BuildAdapterList(query), options.card)) {
        output.Error(NoUploadCardText(query, options.card));
        return kExitBadInput;
    }
    platform::HoldStopRequests();
    if (options.waitSeconds) {
        bool stopped = false;
        const auto until = Clock::now() + std::chrono::milliseconds(
                                              static_cast<long long>(*options.waitSeconds * 1000));
        const auto ready = AwaitCardReady(
            options.card, *adapters, until,
            [&](const std::string& text) {
                output.Line(text);
                output.Emit({{"event", "waiting"}, {"text", text}});
            },
            stopped);
        if (stopped) return kExitInterrupted;
        if (!ready) {
            output.Error(FormatText("%s had no carrier and IPv4 address within %g s",
                                    options.card.c_str(), *options.waitSeconds));
            return kExitNoRequest;
        }
    }
    const auto query = adapters->List();
    const AdapterList cards = BuildAdapterList(query);
    const auto card = FindCard(cards, options.card);
    if (!card) {
        output.Error(NoUploadCardText(query, options.card));
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
    // Every card of this PC holds its own addresses, whether it carries uploads or not.
    const StationAddressRules rules = StationAddressRulesFor(*card, query.adapters, host, pool);
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

    // A pool that holds no address a recorder can be given serves nobody.
    if (plan.named.empty() && !NextStationAddress(rules, given, lookup)) {
        output.Error(
            "No address is left for any recorder" +
            (pool ? " in the pool " + options.pool : " in the subnet of " + card->adapterName) +
            ".");
        return kExitBadInput;
    }

    TerminalHost terminal(ParseDottedQuad(card->ipMask), *neighbours);
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
    QuietHost quiet;
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
    std::size_t waiting = 0;
    const auto admitted = [&](const StationRecorder& recorder, const event::Admission& admission) {
        const auto kind = admission.kind;
        using Kind = event::Admission::Kind;
        const std::string mac = FormatMac(recorder.mac);
        switch (kind) {
            case Kind::Waiting:
                if (waiting++ == 0) {
                    output.Line("The named recorders beyond --max wait their turn: " +
                                std::to_string(options.max) + " are served at once.");
                }
                setState(rows[recorder.address], "waiting", {{"event", "waiting"}});
                return;
            case Kind::LetGo:
                output.Line(mac + " was answered but never asked for its image: let go");
                output.Emit({{"event", "let_go"}, {"mac", mac}});
                rows.erase(recorder.address);
                return;
            case Kind::Readdressed: {
                auto moved = rows.extract(admission.previous);
                Row& row = rows[recorder.address];
                if (!moved.empty()) row = std::move(moved.mapped());
                row.recorder = recorder;
                const std::string from = FormatDottedQuad(admission.previous);
                output.Line(mac + ": another device answers for " + from + "; it gets " +
                            FormatDottedQuad(recorder.address) + " instead");
                output.Emit({{"event", "readdressed"}, {"from", from}}, &row);
                return;
            }
            case Kind::NoPlace:
            case Kind::NoAddress:
                const bool place = kind == Kind::NoPlace;
                output.Line(
                    mac + " turned away: " +
                    (place ? "no place free (at most " + std::to_string(options.max) + " at once)"
                           : std::string("no address left for it")));
                output.Emit({{"event", "turned_away"},
                             {"mac", mac},
                             {"reason", place ? "no_place" : "no_address"}});
                return;
        }
    };
    const auto handle = [&](const StationRecorder& recorder, const SessionEvent& event) {
        if (const auto* admission = std::get_if<event::Admission>(&event)) {
            return admitted(recorder, *admission);
        }
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
            // A named one's turn came; a learnt one was answered.
            if (row.named) {
                setState(row, "announcing", {{"event", "announcing"}});
            } else {
                setState(row, "answered", {{"event", "answered"}});
            }
        } else if (const auto* accepted = std::get_if<event::RequestAccepted>(&event)) {
            // Every transfer is a row of the history of its own; one the recorder left by asking
            // again is over.
            if (row.recording && !row.outcome) {
                row.recording->SetStopOutcome(history::Outcome::Restarted,
                                              "The recorder asked again: its transfer began anew");
                row.recording->OnEvent(event::Ended{});
            }
            row.recording = std::make_unique<history::RecordingSessionHost>(
                quiet, &history, "flashkit-cli", FinalTextOf);
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
        if (const auto outcome = OutcomeOf(event)) {
            end(*outcome, history::OutcomeName(*outcome));
        } else if (const auto* acked = std::get_if<event::Acknowledged>(&event)) {
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
        } else if (feedback.box) {
            output.Error(FormatMac(recorder.mac) + ": " +
                         RefusalLine(feedback.box->caption, feedback.box->text));
        }
    };
    const auto handleReport = [&](const Report& report) {
        if (const auto* warning = std::get_if<std::string>(&report)) {
            output.Error(*warning);
        } else if (std::holds_alternative<AddressHeld>(report)) {
            // The station moves the recorder to its next address and says so itself.
        } else {
            const auto& [recorder, event] =
                std::get<std::pair<StationRecorder, SessionEvent>>(report);
            handle(recorder, event);
        }
    };
    const auto allNamedDone = [&] {
        return std::all_of(rows.begin(), rows.end(), [](const auto& entry) {
            return !entry.second.named || entry.second.completedOnce;
        });
    };

    station.Start(plan);
    const bool interrupted = RunTerminalLoop(
        terminal, handleReport,
        [&] { return !started || portFailed || (options.untilDone && allNamedDone()); },
        [&] { output.Draw(rows); });
    station.Stop();
    for (const Report& report : terminal.Take(Clock::now())) handleReport(report);
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
