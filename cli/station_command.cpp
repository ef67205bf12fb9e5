// flashkit-cli station: one card serving a bench of recorders at once, each with its own
// address, its own line on the terminal and its own history row per transfer.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/macs_file.h"
#include "cli/progress.h"
#include "cli/run_setup.h"
#include "cli/terminal_loop.h"
#include "cli/terminal_output.h"
#include "feedback/operator_feedback.h"
#include "feedback/refusal_texts.h"
#include "history/recording_host.h"
#include "history/upload_history.h"
#include "net-helper/protocol.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/stop_requests.h"
#include "upgrade/overloaded.h"
#include "upgrade/station_session.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_station.h"

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
    TransferProgress progress;                                 // of its last transfer
    std::unique_ptr<history::RecordingSessionHost> recording;  // of its current transfer
    // The current record began with the recorder asking again, then; further requests within
    // kRestartsFolded of it are folded into it (counted), so a flood adds few records.
    std::optional<Clock::time_point> restartedAt;
    std::shared_ptr<int> foldedRestarts = std::make_shared<int>(0);
    bool askedAgain = false;  // its last upload ended with its recorder asking again
    bool folding = false;     // the upload the recorder began asking again is folded into that
};

constexpr std::chrono::minutes kRestartsFolded{5};

// A record's final text, with the requests folded into it.
std::string FoldedText(std::string text, int folded) {
    if (folded > 0) text += " (asked again " + std::to_string(folded) + " more times)";
    return text;
}

std::string RowLine(const Row& row) {
    const auto progress = row.progress.Snapshot(Clock::now());
    const auto rate = Rate(progress);
    char line[160];
    std::snprintf(
        line, sizeof line, "%-17s  %-15s  %-12s  %3d%%  %s", FormatMac(row.recorder.mac).c_str(),
        FormatDottedQuad(row.recorder.address).c_str(), row.state.c_str(), progress.percent,
        rate && row.progress.Begun() ? (FormatBytes(*rate) + "/s").c_str() : "--");
    return line;
}

// The MACs of --mac and --macs, in order, each once. Nothing (after an error) when one is no
// recorder's MAC or the file cannot be read.
std::optional<std::vector<MacAddress>> NamedMacs(const StationRunOptions& options,
                                                 TerminalOutput& output) {
    std::vector<std::string> texts = options.macs;
    if (!options.macsFile.empty()) {
        auto read = ReadMacsFile(options.macsFile);
        if (const auto* error = std::get_if<std::string>(&read)) {
            output.Error(*error);
            return std::nullopt;
        }
        const auto& lines = std::get<std::vector<std::string>>(read);
        texts.insert(texts.end(), lines.begin(), lines.end());
    }
    auto macs = RecorderMacs(texts);
    if (const auto* refusal = std::get_if<std::string>(&macs)) {
        output.Error(*refusal);
        return std::nullopt;
    }
    return std::get<std::vector<MacAddress>>(std::move(macs));
}

// The exit status of the station: 0 when every recorder named (with none named, every one it
// served) completed; else that of the worst of them. A failure of the ports counts as one's.
ExitCode StationExitCode(const std::map<Ipv4, Row>& rows, bool started, bool portFailed) {
    // With recorders named, theirs is the outcome: a unit learnt on the way (perhaps forged)
    // decides nothing.
    const bool anyNamed =
        std::any_of(rows.begin(), rows.end(), [](const auto& entry) { return entry.second.named; });
    std::vector<history::Outcome> outcomes;
    if (!started || portFailed) outcomes.push_back(history::Outcome::Failed);
    for (const auto& [address, row] : rows) {
        if (anyNamed && !row.named) continue;
        // A named one that completed once is done, whatever became of a transfer it began anew.
        const bool done = row.named && row.completedOnce;
        outcomes.push_back(row.outcome.value_or(done ? history::Outcome::Completed
                                                     : history::Outcome::Interrupted));
    }
    return ExitCodeForOutcomes(outcomes, started);
}

}  // namespace

int RunStation(const StationRunOptions& options) {
    std::map<Ipv4, Row> rows;
    bool tableShown = true;  // until the summary
    TerminalOutput output(options.output, [&] {
        std::vector<std::string> table;
        if (tableShown) {
            for (const auto& [address, row] : rows) table.push_back(RowLine(row));
        }
        return table;
    });
    const auto adapters = platform::MakeSystemAdapterSource();
    const auto neighbours = platform::MakeSystemNeighbourTable();
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
        output.Error(
            std::to_string(macs->size()) + " named recorder(s)" +
            (options.learn ? " and --max " + std::to_string(options.max) + " learnt" : "") +
            ": at most " + std::to_string(nethelper::kMaxRecorderEntries) +
            " recorders have entries at once.");
        return kExitBadInput;
    }
    const auto page = ImageKind(options.image, options.system, output);
    if (!page) return kExitBadInput;
    // The upload's image checks, for every named recorder; a recorder learnt is checked as it
    // comes (its model is in its MAC).
    UploadChoices choices{*page, options.image, kRecorderMacPrefix,
                          {},    true,          BenchChoices{*macs, {}}};
    if (!PlanRun(choices, *adapters, *neighbours, output)) return kExitBadInput;
    auto card = NamedCard(options.card, *adapters, output);
    if (!card) return kExitBadInput;
    platform::HoldStopRequests();
    if (options.waitSeconds) {
        auto awaited = AwaitCard(options.card, options.waitSeconds,
                                 WaitDeadline(options.waitSeconds), *adapters, output);
        if (const auto* exit = std::get_if<ExitCode>(&awaited)) return *exit;
        card = std::get<AdapterRecord>(std::move(awaited));
    }
    // The address the card has now: replies go out from it.
    const Ipv4 host = HostAddressFor(*card, card->description, nullptr);
    if (host == 0) {
        output.Error(CardLabel(*card) + " has no IPv4 address to serve from.");
        return kExitBadInput;
    }
    std::optional<AddressRange> pool;
    if (!options.pool.empty()) {
        pool = ParseAddressRange(options.pool);
        const Ipv4 mask = ParseDottedQuad(card->ipMask);
        if (!pool || SubnetPlaceOf(pool->first, host, mask) != SubnetPlace::Inside ||
            SubnetPlaceOf(pool->last, host, mask) != SubnetPlace::Inside) {
            output.Error("--pool " + options.pool +
                         ": give FIRST-LAST, both inside the subnet of " + CardLabel(*card) +
                         ", e.g. 192.168.1.50-192.168.1.99.");
            return kExitBadInput;
        }
    }
    const int ifindex = static_cast<int>(card->index);
    choices.card = {host, ifindex};
    choices.deferAddressCheck = false;
    choices.bench->pool = pool;
    const auto planned = PlanRun(choices, *adapters, *neighbours, output);
    if (!planned) return kExitBadInput;
    StationPlan plan = UploadStationPlan(*planned, *adapters);
    TerminalHost terminal(ParseDottedQuad(card->ipMask), *neighbours);
    plan.learn = options.learn;
    const NeighbourLookup lookup = [&neighbours, ifindex](Ipv4 address) {
        return neighbours->Find(ifindex, address);
    };
    // On the station's thread: a recorder learnt gets the next free address if the image fits it.
    plan.nextAddress = [&, rules = planned->bench->rules, refusedMacs = std::set<MacAddress>()](
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

    history::UploadHistory history = OpenHistory(options.historyPath);
    QuietHost quiet;
    StationOptions stationOptions = SessionOptions(options.headerWaitSeconds);
    stationOptions.maxRecorders = options.max;
    StationSession station(terminal, terminal.Entries(), platform::SystemPortOpener(),
                           stationOptions);

    for (const StationRecorder& recorder : plan.named) {
        Row& row = rows[recorder.address];
        row.recorder = recorder;
        row.named = true;
    }
    const std::string kind = *page == ImagePage::System ? "system" : "data";
    output.Tell("Serving " + options.image + " (" + kind + " image) through " + CardLabel(*card) +
                    " (" + FormatDottedQuad(host) + ") to " +
                    (macs->empty() ? std::string("any recorder that asks")
                                   : std::to_string(macs->size()) + " named recorder(s)" +
                                         (options.learn ? " and any recorder that asks" : "")) +
                    "; at most " + std::to_string(options.max) + " at once" +
                    (options.untilDone ? "" : " (Ctrl-C stops)"),
                {{"event", "started"},
                 {"card", card->adapterName},
                 {"host_address", FormatDottedQuad(host)},
                 {"image", options.image},
                 {"kind", kind},
                 {"learn", options.learn},
                 {"max", options.max}});

    bool started = true, portFailed = false;
    const auto setState = [&](Row& row, std::string state, Json event) {
        row.state = std::move(state);
        output.Changed(RowLine(row));
        output.Emit(std::move(event), &row.recorder);
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
                rows.erase(recorder.address);
                output.Tell(mac + " was answered but never asked for its image: let go",
                            {{"event", "let_go"}, {"mac", mac}});
                return;
            case Kind::Readdressed: {
                auto moved = rows.extract(admission.held);
                Row& row = rows[recorder.address];
                if (!moved.empty()) row = std::move(moved.mapped());
                row.recorder = recorder;
                const std::string from = FormatDottedQuad(admission.held);
                output.Tell(mac + ": another device answers for " + from + "; it gets " +
                                FormatDottedQuad(recorder.address) + " instead",
                            {{"event", "readdressed"}, {"from", from}}, &row.recorder);
                return;
            }
            case Kind::AddressHeld: {
                const OperatorBox box = *FeedbackFor(admission).box;
                output.Error(mac + ": " + RefusalLine(box.caption, box.text));
                return;
            }
            case Kind::NoPlace:
            case Kind::NoAddress:
                const bool place = kind == Kind::NoPlace;
                output.Tell(mac + " turned away: " +
                                (place ? "no place free (at most " + std::to_string(options.max) +
                                             " at once)"
                                       : std::string("no address left for it")),
                            {{"event", "turned_away"},
                             {"mac", mac},
                             {"reason", place ? "no_place" : "no_address"}});
                return;
        }
    };
    // The station's own events (its ports, its announcements) name no recorder and have no row.
    const auto handleStation = [&](const StationRecorder& recorder, const SessionEvent& event) {
        const OperatorFeedback feedback = FeedbackFor(event);
        const auto told = [&] {
            if (feedback.status && !feedback.progress)
                output.Tell(*feedback.status, {{"event", "status"}, {"text", *feedback.status}});
        };
        std::visit(Overloaded{
                       [&](const event::Started&) { told(); },
                       [&](const event::StartFailed&) {
                           started = false;
                           output.Error(feedback.status.value_or("The ports could not be opened"));
                       },
                       [&](const event::Announcing&) {
                           for (auto& [address, row] : rows)
                               setState(row, "announcing", {{"event", "announcing"}});
                       },
                       [&](const event::WaitingForAddress&) { told(); },
                       [&](const event::AddressBack&) { told(); },
                       [&](const event::RequestAccepted&) { told(); },
                       [&](const event::ImageUnmeasurable&) { told(); },
                       [&](const event::StrayDatagram&) { told(); },
                       [&](const event::BlockServed&) { told(); },
                       [&](const event::Acknowledged&) { told(); },
                       [&](const event::Progress&) { told(); },
                       [&](const event::Resent&) { told(); },
                       [&](const event::SendFailed&) { told(); },
                       [&](const event::FileError&) { told(); },
                       [&](const event::Completed&) { told(); },
                       [&](const event::Failed&) {
                           portFailed = true;
                           output.Error(feedback.status.value_or("The ports failed"));
                       },
                       [&](const event::Unconfirmed&) { told(); },
                       [&](const event::Admission& admission) { admitted(recorder, admission); },
                       [](const event::RecorderEnded&) {},
                       [](const event::Ended&) {},
                   },
                   event);
    };
    const auto handleRecorder = [&](const StationRecorder& recorder, const SessionEvent& event) {
        const OperatorFeedback feedback = FeedbackFor(event);
        // The recorder's row, made at its first event.
        const auto rowOf = [&]() -> Row& {
            Row& row = rows[recorder.address];
            row.recorder = recorder;
            return row;
        };
        const auto record = [&](Row& row) {
            if (row.recording) row.recording->OnEvent(event);
        };
        const auto shown = [&] {
            record(rowOf());
            if (feedback.box) {
                output.Error(FormatMac(recorder.mac) + ": " +
                             RefusalLine(feedback.box->caption, feedback.box->text));
            }
        };
        // Every transfer is a row of the history of its own; one the recorder left by asking
        // again is over. Asking again soon after that is folded into the record it began.
        const auto begun = [&] {
            Row& row = rowOf();
            if (row.folding) return;
            const auto now = Clock::now();
            row.restartedAt = row.askedAgain ? std::optional(now) : std::nullopt;
            row.foldedRestarts = std::make_shared<int>(0);
            row.recording = std::make_unique<history::RecordingSessionHost>(
                quiet, &history, "flashkit-cli",
                [folded = row.foldedRestarts](const event::RecorderEnded& ended) {
                    const std::string text = FinalTextOf(ended);
                    return std::holds_alternative<event::RecorderEnded::Stopped>(ended.reason)
                               ? text
                               : FoldedText(text, *folded);
                });
            record(row);
        };
        const auto ended = [&](const event::RecorderEnded& end) {
            Row& row = rowOf();
            row.askedAgain = std::holds_alternative<event::RecorderEnded::AskedAgain>(end.reason);
            if (row.askedAgain && row.restartedAt &&
                Clock::now() - *row.restartedAt < kRestartsFolded) {
                ++*row.foldedRestarts;
                row.folding = true;
                return;
            }
            record(row);
            const history::Outcome outcome = *OutcomeOf(event);
            // Cut short by the stop: the summary says so.
            if (std::holds_alternative<event::RecorderEnded::Stopped>(end.reason)) {
                row.state = history::OutcomeName(outcome);
                return;
            }
            if (row.askedAgain) return;
            const char* state = history::OutcomeName(outcome);
            row.outcome = outcome;
            row.progress.End(outcome == history::Outcome::Completed, Clock::now());
            row.completedOnce |= outcome == history::Outcome::Completed;
            setState(row, state, {{"event", state}, {"text", FinalTextOf(end)}});
        };
        std::visit(Overloaded{
                       [&](const event::Started&) { begun(); },
                       [&](const event::StartFailed&) { record(rowOf()); },
                       [&](const event::Announcing&) {
                           // A named one's turn came; a learnt one was answered.
                           Row& row = rowOf();
                           if (row.named) {
                               setState(row, "announcing", {{"event", "announcing"}});
                           } else {
                               setState(row, "answered", {{"event", "answered"}});
                           }
                           record(row);
                       },
                       [&](const event::WaitingForAddress&) { shown(); },
                       [&](const event::AddressBack&) { shown(); },
                       [&](const event::RequestAccepted& accepted) {
                           Row& row = rowOf();
                           row.progress.Begin(accepted.imageSize, Clock::now());
                           if (!std::exchange(row.folding, false)) {
                               row.outcome.reset();
                               setState(row, "transferring",
                                        {{"event", "request"},
                                         {"from", EndpointText(accepted.recorder)},
                                         {"size", row.progress.Size()}});
                           }
                           record(row);
                       },
                       [&](const event::ImageUnmeasurable&) { shown(); },
                       [&](const event::StrayDatagram&) { shown(); },
                       [&](const event::BlockServed&) { shown(); },
                       [&](const event::Acknowledged& acked) {
                           Row& row = rowOf();
                           record(row);
                           if (row.progress.Acknowledge(acked.blockNo)) output.Moved();
                       },
                       [&](const event::Progress& progress) {
                           Row& row = rowOf();
                           record(row);
                           output.Emit(
                               ProgressEvent(row.progress.Snapshot(Clock::now()), progress.percent),
                               &row.recorder);
                       },
                       [&](const event::Resent&) { shown(); },
                       [&](const event::SendFailed&) { shown(); },
                       [&](const event::FileError&) { shown(); },
                       // Its transfer's last fact: its end follows.
                       [&](const event::Completed&) { record(rowOf()); },
                       [&](const event::Failed&) { record(rowOf()); },
                       [&](const event::Unconfirmed&) { record(rowOf()); },
                       [&](const event::Admission& admission) { admitted(recorder, admission); },
                       [&](const event::RecorderEnded& end) { ended(end); },
                       [&](const event::Ended&) { record(rowOf()); },
                   },
                   event);
    };
    const auto handleReport = [&](const Report& report) {
        if (const auto* warning = std::get_if<std::string>(&report)) {
            output.Error(*warning);
        } else {
            const auto& [recorder, event] =
                std::get<std::pair<StationRecorder, SessionEvent>>(report);
            if (recorder.address == 0) {
                handleStation(recorder, event);
            } else {
                handleRecorder(recorder, event);
            }
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
        [&] { output.Redraw(); });
    // A transfer the stop cuts short is interrupted.
    station.Stop(history::Outcome::Interrupted);
    for (const Report& report : terminal.Take(Clock::now())) handleReport(report);
    const ExitCode code = StationExitCode(rows, started, portFailed);
    if (!started) return code;
    // The table makes way for the summary.
    tableShown = false;
    if (interrupted) output.Line(kUploadingAbortedText);

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
