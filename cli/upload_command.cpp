// flashkit-cli upload: the same checks and the same upload session as the window's Upload
// button, reported on the terminal, recorded in the upload history.

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/progress.h"
#include "cli/run_setup.h"
#include "cli/terminal_loop.h"
#include "cli/terminal_output.h"
#include "feedback/operator_feedback.h"
#include "feedback/refusal_texts.h"
#include "history/recording_host.h"
#include "history/upload_history.h"
#include "net/address_plan.h"
#include "platform/adapter_source.h"
#include "platform/format_text.h"
#include "platform/neighbour_table.h"
#include "platform/stop_requests.h"
#include "platform/tcpip_config.h"
#include "upgrade/overloaded.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_station.h"

namespace fk::cli {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

int RunUpload(const UploadOptions& options) {
    // The transfer's progress line: from the recorder's request to the transfer's end.
    TransferProgress progress;
    bool barShown = false;
    TerminalOutput output(options.output, [&]() -> std::vector<std::string> {
        if (!barShown) return {};
        return {FormatProgressLine(progress.Snapshot(Clock::now()))};
    });
    const auto adapters = platform::MakeSystemAdapterSource();
    const auto tcpipConfig = platform::MakeSystemTcpipConfig();
    const auto neighbours = platform::MakeSystemNeighbourTable();
    MacAddress mac = kRecorderMacPrefix;
    if (!ParseRecorderMacArgument(options.mac, mac)) {
        output.Error(RefusalLine(kMacRefusalCaption, kMacRefusalText));
        return kExitBadInput;
    }
    const auto page = ImageKind(options.image, options.system, output);
    if (!page) return kExitBadInput;
    // The window's checks, in its order. What they refuse no waiting mends: refused at once, the
    // address too when the card has one, and all checked again once the card is ready.
    const auto plan = [&](const AdapterRecord* card) {
        UploadChoices choices{*page, options.image, mac, {}, true};
        if (card) {
            choices.card = {HostAddressFor(*card, card->description, tcpipConfig.get()),
                            static_cast<int>(card->index)};
            choices.deferAddressCheck = ParseDottedQuad(card->ipAddress) == 0;
        }
        return PlanRun(choices, *adapters, *neighbours, output);
    };
    if (!plan(nullptr)) return kExitBadInput;
    const auto named = NamedCard(options.card, *adapters, output);
    if (!named || !plan(&*named)) return kExitBadInput;
    // Output into a pipe whose reader has gone must not end the upload without its tidy-up.
    platform::HoldStopRequests();
    // --wait bounds the wait for the card and for the recorder's request together.
    const auto waitUntil = WaitDeadline(options.waitSeconds);
    const auto awaited = AwaitCard(options.card, options.waitSeconds, waitUntil, *adapters, output);
    if (const auto* exit = std::get_if<ExitCode>(&awaited)) return *exit;
    const auto* card = std::get_if<AdapterRecord>(&awaited);
    const auto ready = plan(card);
    if (!ready) return kExitBadInput;

    // The terminal's own stop in its words; any other end in the window's.
    std::string stopText;
    const auto wordsFor = [&](const event::RecorderEnded& ended) {
        return std::holds_alternative<event::RecorderEnded::Stopped>(ended.reason)
                   ? stopText
                   : FinalTextOf(ended);
    };
    history::UploadHistory history = OpenHistory(options.historyPath);
    TerminalHost host(ParseDottedQuad(card->ipMask), *neighbours);
    QuietHost quiet;
    history::RecordingSessionHost recording(quiet, &history, "flashkit-cli", wordsFor);
    StationSession session(host, host.Entries(), platform::SystemPortOpener(),
                           SessionOptions(options.headerWaitSeconds));

    const std::string recorderAddress = FormatDottedQuad(DeviceAddressFor(ready->card.hostAddress));
    const std::string hostAddress = FormatDottedQuad(ready->card.hostAddress);
    const std::string kind = *page == ImagePage::System ? "system" : "data";
    const std::string& bootFileName = ready->file.bootFileName;
    output.Tell("Uploading " + options.image + " (" + kind + " image, " +
                    std::to_string(ready->imageSize) + " bytes) to the recorder " + FormatMac(mac) +
                    " at " + recorderAddress + " through " + CardLabel(*card) + " (" + hostAddress +
                    ")",
                {{"event", "started"},
                 {"card", card->adapterName},
                 {"host_address", hostAddress},
                 {"recorder_address", recorderAddress},
                 {"recorder_mac", FormatMac(mac)},
                 {"image", options.image},
                 {"kind", kind},
                 {"size", ready->imageSize}});

    std::optional<history::Outcome> outcome;  // once the upload has an end
    std::string finalText;
    bool requested = false, ended = false, started = true, addressHeld = false, stopped = false;
    int shownTenth = 0;
    Clock::time_point lastProgressEvent;
    // The transfer moved on: into a pipe a line a tenth, on a terminal the progress line, with
    // --json an event at most every kRedrawInterval and at the end.
    const auto movedOn = [&](bool done) {
        const auto now = Clock::now();
        const ProgressSnapshot snapshot = progress.Snapshot(now);
        if (const int tenth = TenthDone(snapshot); tenth > shownTenth) {
            shownTenth = tenth;
            output.Changed(FormatText("Upload %d (%%) Completed", tenth * 10) + "  " +
                           FormatProgressLine(snapshot));
        } else {
            output.Moved();
        }
        if (!done && now - lastProgressEvent < kRedrawInterval) return;
        lastProgressEvent = now;
        nlohmann::json event = ProgressEvent(snapshot, snapshot.percent);
        event["resends"] = progress.Resends();
        output.Emit(std::move(event));
    };
    // The transfer is over: the progress line is drawn once more as it ends, and stays.
    const auto endTransfer = [&] {
        if (!barShown) return;
        output.Keep();
        barShown = false;
    };
    // The terminal stops the upload itself: the station ends it with why, worded as text.
    const auto stop = [&](history::Outcome why, const std::string& text) {
        stopped = true;
        stopText = text;
        session.Stop(why);
    };
    // The transfer's last fact: the progress line ends.
    const auto transferEnded = [&](bool completed) {
        progress.End(completed, Clock::now());
        if (completed) movedOn(true);
        endTransfer();
    };
    // The terminal's table: the window's texts as lines (progress texts become the progress
    // line), boxes as errors, and the facts the progress line and the exit status need.
    const auto handle = [&](const SessionEvent& event) {
        const OperatorFeedback feedback = FeedbackFor(event);
        const std::string text = feedback.status.value_or("");
        // A file that cannot be served is a failed transfer here: the terminal has no operator
        // to fix it and go on.
        bool fileFailed = false;
        std::visit(Overloaded{
                       [](const event::Started&) {},
                       [&](const event::StartFailed&) { started = false; },
                       [](const event::Announcing&) {},
                       [](const event::WaitingForAddress&) {},
                       [](const event::AddressBack&) {},
                       [&](const event::RequestAccepted& accepted) {
                           requested = true;
                           progress.Begin(accepted.imageSize, Clock::now());
                           barShown = true;
                           shownTenth = 0;
                           lastProgressEvent = {};
                           output.Tell("The recorder at " + EndpointText(accepted.recorder) +
                                           " asked for " + bootFileName,
                                       {{"event", "request"},
                                        {"from", EndpointText(accepted.recorder)},
                                        {"file", bootFileName},
                                        {"size", progress.Size()}});
                       },
                       [](const event::ImageUnmeasurable&) {},
                       [](const event::StrayDatagram&) {},
                       [](const event::BlockServed&) {},
                       [&](const event::Acknowledged& acked) {
                           if (progress.Acknowledge(acked.blockNo)) movedOn(false);
                       },
                       [](const event::Progress&) {},
                       [&](const event::Resent& resent) { progress.Resent(resent.sent); },
                       [](const event::SendFailed&) {},
                       [&](const event::FileError&) {
                           fileFailed = feedback.box && !outcome && !stopped && requested;
                       },
                       [&](const event::Completed&) { transferEnded(true); },
                       [&](const event::Failed&) { transferEnded(false); },
                       [&](const event::Unconfirmed&) { transferEnded(false); },
                       // As the check before the start refuses an address held: a refusal.
                       [&](const event::Admission& admission) {
                           addressHeld = admission.kind == event::Admission::Kind::AddressHeld;
                       },
                       [&](const event::RecorderEnded& end) {
                           outcome = OutcomeOf(event);
                           finalText = wordsFor(end);
                       },
                       [&](const event::Ended&) { ended = true; },
                   },
                   event);
        if (feedback.status && !feedback.progress) output.Line(text);
        if (feedback.box) output.Error(RefusalLine(feedback.box->caption, feedback.box->text));
        if (fileFailed) stop(history::Outcome::Failed, text);
    };
    const auto handleReport = [&](const Report& report) {
        if (const auto* warning = std::get_if<std::string>(&report)) return output.Error(*warning);
        const SessionEvent& event =
            std::get<std::pair<StationRecorder, SessionEvent>>(report).second;
        recording.OnEvent(event);
        handle(event);
    };

    session.Start(UploadStationPlan(*ready, *adapters));
    for (const Report& report : host.Take(Clock::now())) handleReport(report);
    if (started) {
        output.Tell("Announcing every 30 ms; waiting for the recorder to ask" +
                        (options.waitSeconds ? FormatText(" (at most %g s)", *options.waitSeconds)
                                             : std::string(" (Ctrl-C stops)")),
                    {{"event", "announcing"}, {"recorder_address", recorderAddress}});
    } else {
        // The failed socket step and its outcome have been reported; the stop tidies up.
        session.Stop(history::Outcome::Failed);
    }
    const auto over = [&] { return ended && outcome.has_value(); };
    const auto tick = [&] {
        if (outcome) {
            // The upload has ended: the session's Ended comes now, if it has not yet.
            session.Stop(*outcome);
        } else if (!requested && !stopped && Clock::now() >= waitUntil) {
            stop(history::Outcome::NoRequest,
                 FormatText("The recorder did not ask for its image within %g s",
                            *options.waitSeconds));
            output.Line(stopText);
            output.Line("flashkit-cli check --card " + CardArgument(*card) + " --mac " +
                        options.mac + " tells what may keep it from asking.");
        }
    };
    while (RunTerminalLoop(host, handleReport, over, tick)) {
        if (outcome || stopped) continue;
        stop(history::Outcome::Interrupted, kUploadingAbortedText);
        endTransfer();
        output.Line(kUploadingAbortedText);
    }
    session.Stop(*outcome);
    endTransfer();
    const ExitCode code = addressHeld ? kExitBadInput : ExitCodeForOutcomes({*outcome}, started);
    if (code == kExitOk) {
        output.Emit({{"event", "completed"}, {"text", finalText}, {"size", progress.Size()}});
    } else {
        output.Emit({{"event", "failed"},
                     {"outcome", history::OutcomeName(*outcome)},
                     {"text", finalText},
                     {"exit_status", static_cast<int>(code)}});
    }
    return code;
}

}  // namespace fk::cli
