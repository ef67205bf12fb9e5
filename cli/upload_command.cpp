// flashkit-cli upload: the same checks and the same upload session as the window's Upload
// button, reported on the terminal, recorded in the upload history.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>
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
#include "net/address_plan.h"
#include "net/arp_entry.h"
#include "platform/adapter_source.h"
#include "platform/format_text.h"
#include "platform/neighbour_table.h"
#include "platform/network_watch.h"
#include "platform/stop_requests.h"
#include "platform/system_facts.h"
#include "platform/tcpip_config.h"
#include "upgrade/device_arp.h"
#include "upgrade/transfer_percent.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_station.h"

namespace fk::cli {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

std::string EndpointText(const platform::Endpoint& endpoint) {
    return FormatDottedQuad(endpoint.address) + ":" + std::to_string(endpoint.port);
}

// The terminal's side of an upload: lines, a redrawn progress line or JSON events.
class Output {
  public:
    explicit Output(OutputMode mode) : m_mode(mode) {}

    void Emit(Json event) { PrintJsonEvent(std::move(event)); }

    void Line(const std::string& text) {
        if (m_mode == OutputMode::Json) return;
        ClearBar();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        DrawBar();
    }

    void Error(const std::string& text) {
        ClearBar();
        PrintError(text);
        DrawBar();
    }

    void RequestAccepted(std::uint64_t size) {
        m_progress = {0, size, std::chrono::milliseconds(0)};
        m_requestedAt = Clock::now();
        m_shownTenth = 0;
        m_transferring = true;
        m_lastDraw = {};
    }

    void Acknowledged(std::uint64_t bytes, int percent, std::uint64_t resends) {
        m_progress.bytes = bytes;
        m_progress.percent = percent;
        m_progress.elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_requestedAt);
        m_resends = resends;
        const auto now = Clock::now();
        const bool done = percent >= 100;
        switch (m_mode) {
            case OutputMode::Terminal:
                if (done || now - m_lastDraw >= kRedrawInterval) {
                    m_lastDraw = now;
                    ClearBar();
                    DrawBar();
                }
                break;
            case OutputMode::Plain:
                if (const int tenth = TenthDone(m_progress); tenth > m_shownTenth) {
                    m_shownTenth = tenth;
                    std::printf("%s  %s\n",
                                FormatText("Upload %d (%%) Completed", tenth * 10).c_str(),
                                FormatProgressLine(m_progress).c_str());
                    std::fflush(stdout);
                }
                break;
            case OutputMode::Json:
                if (done || now - m_lastDraw >= kRedrawInterval) {
                    m_lastDraw = now;
                    const auto rate = Rate(m_progress);
                    Emit({{"event", "progress"},
                          {"bytes", m_progress.bytes},
                          {"size", m_progress.total},
                          {"percent", m_progress.percent},
                          {"bytes_per_second", rate ? *rate : 0.0},
                          {"resends", m_resends}});
                }
                break;
        }
    }

    // The transfer is over: the progress line is drawn once more as it ends, and stays.
    void EndTransfer() {
        if (m_mode == OutputMode::Terminal && m_transferring) {
            ClearBar();
            DrawBar();
            std::printf("\n");
        }
        m_barShown = false;
        m_transferring = false;
    }

    OutputMode Mode() const { return m_mode; }

  private:
    void ClearBar() {
        if (m_mode != OutputMode::Terminal || !m_barShown) return;
        std::printf("\r\033[K");
        m_barShown = false;
    }
    void DrawBar() {
        if (m_mode != OutputMode::Terminal || !m_transferring) return;
        std::printf("%s", FormatProgressLine(m_progress).c_str());
        std::fflush(stdout);
        m_barShown = true;
    }

    const OutputMode m_mode;
    ProgressSnapshot m_progress;
    Clock::time_point m_requestedAt;
    Clock::time_point m_lastDraw;
    std::uint64_t m_resends = 0;
    int m_shownTenth = 0;
    bool m_transferring = false;
    bool m_barShown = false;
};

}  // namespace

// A card without a carrier, or whose address a network manager took with the carrier, gives the
// recorder nothing to answer: the upload waits for both, saying so once. Nothing when the
// deadline passed or a stop signal came first (then `stopped`).
std::optional<AdapterRecord> AwaitCardReady(const std::string& name,
                                            platform::AdapterSource& adapters,
                                            Clock::time_point until,
                                            const std::function<void(const std::string&)>& say,
                                            bool& stopped) {
    const auto watch = platform::MakeSystemNetworkWatch();
    bool told = false;
    for (;;) {
        const auto card = FindCard(BuildAdapterList(adapters.List()), name);
        if (!card) return std::nullopt;
        const bool carrier = platform::ReadLinkState(card->adapterName).carrier;
        const bool address = ParseDottedQuad(card->ipAddress) != 0;
        if (carrier && address) return card;
        if (!told) {
            const std::string awaited = carrier   ? "an IPv4 address"
                                        : address ? "a carrier"
                                                  : "a carrier and an IPv4 address";
            say("Waiting for " + awaited + " on " + card->adapterName);
            told = true;
        }
        stopped = platform::StopRequested();
        if (stopped || Clock::now() >= until) return std::nullopt;
        // The watch only shortens the wait; the card is read afresh either way.
        const auto next = std::min(until, Clock::now() + std::chrono::milliseconds(200));
        if (watch) {
            watch->Wait(next);
        } else {
            std::this_thread::sleep_until(next);
        }
    }
}

void PrintJsonEvent(Json event) {
    event["time"] = history::UtcTimeText();
    MarkBytes(event);
    std::printf("%s\n", event.dump().c_str());
    std::fflush(stdout);
}

std::optional<ImagePage> ImageKindOf(const std::string& image, std::optional<bool> system) {
    if (system) return *system ? ImagePage::System : ImagePage::Data;
    if (HasImageExtension(image, kSystemImageExtension)) return ImagePage::System;
    if (HasImageExtension(image, kDataImageExtension)) return ImagePage::Data;
    return std::nullopt;
}

std::string ImageKindRefusal(const std::string& image) {
    return RefusalLine(kUploadCheckCaption,
                       "'" + image +
                           "' is neither a system image (.bin) nor a data image (.Fnt): say which "
                           "with --system or --data.");
}

int RunUpload(const UploadOptions& options) {
    Output output(options.output);
    MacAddress mac = kRecorderMacPrefix;
    if (!ParseRecorderMacArgument(options.mac, mac)) {
        output.Error(RefusalLine(kMacRefusalCaption, kMacRefusalText));
        return kExitBadInput;
    }
    const auto page = ImageKindOf(options.image, options.system);
    if (!page) {
        output.Error(ImageKindRefusal(options.image));
        return kExitBadInput;
    }
    const auto adapters = platform::MakeSystemAdapterSource();
    const auto tcpipConfig = platform::MakeSystemTcpipConfig();
    const auto neighbours = platform::MakeSystemNeighbourTable();
    // The window's checks, in its order. What they refuse no waiting mends: refused at once, the
    // address too when the card has one, and all checked again once the card is ready.
    const auto plan = [&](const AdapterRecord* card) -> std::optional<UploadPlan> {
        UploadChoices choices{*page, options.image, mac, {}, true};
        if (card) {
            choices.card = {HostAddressFor(*card, card->description, tcpipConfig.get()),
                            static_cast<int>(card->index)};
            choices.deferAddressCheck = ParseDottedQuad(card->ipAddress) == 0;
        }
        auto planned =
            MakeUploadPlan(choices, *adapters, BuildAdapterList(adapters->List()), *neighbours);
        if (auto* ready = std::get_if<UploadPlan>(&planned)) return std::move(*ready);
        const auto& refusal = std::get<UploadRefusal>(planned);
        const RefusalTexts texts = TextsOf(refusal);
        if (!texts.fileError.empty()) output.Error(texts.fileError);
        output.Error(RefusalLine(texts.caption, texts.text));
        return std::nullopt;
    };
    if (!plan(nullptr)) return kExitBadInput;
    const auto query = adapters->List();
    const auto named = FindCard(BuildAdapterList(query), options.card);
    if (!named) {
        output.Error(NoUploadCardText(query, options.card));
        return kExitBadInput;
    }
    if (!plan(&*named)) return kExitBadInput;
    // Output into a pipe whose reader has gone must not end the upload without its tidy-up.
    platform::HoldStopRequests();
    // --wait bounds the wait for the card and for the recorder's request together.
    const auto waitUntil =
        options.waitSeconds
            ? Clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(*options.waitSeconds * 1000))
            : Clock::time_point::max();
    bool stopped = false;
    const auto card = AwaitCardReady(
        options.card, *adapters, waitUntil,
        [&](const std::string& text) {
            if (output.Mode() == OutputMode::Json) {
                output.Emit({{"event", "waiting"}, {"text", text}});
            } else {
                output.Line(text);
            }
        },
        stopped);
    if (stopped) return kExitInterrupted;
    if (!card && !options.waitSeconds) {
        output.Error("No network card '" + options.card + "'; flashkit-cli cards lists them.");
        return kExitBadInput;
    }
    if (!card) {
        output.Error(FormatText("%s had no carrier and IPv4 address within %g s",
                                options.card.c_str(), *options.waitSeconds));
        return kExitNoRequest;
    }
    const auto ready = plan(&*card);
    if (!ready) return kExitBadInput;

    history::UploadHistory history(
        options.historyPath.empty() ? history::DefaultHistoryPath() : options.historyPath,
        PrintError);
    TerminalHost host(ParseDottedQuad(card->ipMask), *neighbours);
    QuietHost quiet;
    history::RecordingSessionHost recording(quiet, &history, "flashkit-cli", FinalTextOf);
    StationOptions sessionOptions;
    sessionOptions.headerWait =
        std::chrono::milliseconds(static_cast<long long>(options.headerWaitSeconds * 1000));
    StationSession session(host, host, platform::SystemPortOpener(), sessionOptions);

    const std::string recorderAddress = FormatDottedQuad(DeviceAddressFor(ready->card.hostAddress));
    const std::string hostAddress = FormatDottedQuad(ready->card.hostAddress);
    const std::string kind = *page == ImagePage::System ? "system" : "data";
    const std::string& bootFileName = ready->file.bootFileName;
    if (output.Mode() == OutputMode::Json) {
        output.Emit({{"event", "started"},
                     {"card", card->adapterName},
                     {"host_address", hostAddress},
                     {"recorder_address", recorderAddress},
                     {"recorder_mac", FormatMac(mac)},
                     {"image", options.image},
                     {"kind", kind},
                     {"size", ready->imageSize}});
    } else {
        output.Line("Uploading " + options.image + " (" + kind + " image, " +
                    std::to_string(ready->imageSize) + " bytes) to the recorder " + FormatMac(mac) +
                    " at " + recorderAddress + " through " + card->adapterName + " (" +
                    hostAddress + ")");
    }

    std::optional<history::Outcome> outcome;  // once the upload has an end
    std::string finalText;
    bool requested = false, ended = false, started = true, addressHeld = false;
    std::uint64_t imageSize = 0, blockTotal = 0, furthestAck = 0, resends = 0;
    // The terminal stops the upload itself: recorded as outcome, shown as the window's abort.
    const auto stop = [&](history::Outcome why, const std::string& text) {
        recording.SetStopOutcome(why, text);
        outcome = why;
        finalText = text;
        session.Stop();
    };
    // An end the session gave: the progress line ends, the outcome is kept.
    const auto end = [&](history::Outcome why, const std::string& text) {
        output.EndTransfer();
        if (outcome) return;
        outcome = why;
        finalText = text;
    };
    // The terminal's table: the window's texts as lines (progress texts become the progress
    // line), boxes as errors, and the facts the progress line and the exit status need.
    const auto handle = [&](const SessionEvent& event) {
        const OperatorFeedback feedback = FeedbackFor(event);
        const std::string text = feedback.status.value_or("");
        if (const auto* accepted = std::get_if<event::RequestAccepted>(&event)) {
            requested = true;
            imageSize = accepted->imageSize;
            blockTotal = (imageSize + 511) / 512 + 1;
            furthestAck = 0;
            output.RequestAccepted(imageSize);
            if (output.Mode() == OutputMode::Json) {
                output.Emit({{"event", "request"},
                             {"from", EndpointText(accepted->recorder)},
                             {"file", bootFileName},
                             {"size", imageSize}});
            } else {
                output.Line("The recorder at " + EndpointText(accepted->recorder) + " asked for " +
                            bootFileName);
            }
        } else if (const auto* acked = std::get_if<event::Acknowledged>(&event)) {
            // Only blocks sent and not confirmed before move the line on.
            if (acked->blockNo > furthestAck && acked->blockNo <= blockTotal) {
                furthestAck = acked->blockNo;
                output.Acknowledged(AcknowledgedBytes(furthestAck, imageSize),
                                    TransferPercent(furthestAck, blockTotal), resends);
            }
        } else if (const auto* resent = std::get_if<event::Resent>(&event)) {
            resends += resent->sent;
        } else if (const auto ends = OutcomeOf(event)) {
            started &= !std::holds_alternative<event::StartFailed>(event);
            if (*ends == history::Outcome::Completed) output.Acknowledged(imageSize, 100, resends);
            end(*ends, text);
        } else if (std::holds_alternative<event::Ended>(event)) {
            ended = true;
            // An end the session gave no reason for is no success.
            if (!outcome) outcome = history::Outcome::Failed;
        }
        if (feedback.status && !feedback.progress) output.Line(text);
        if (feedback.box) output.Error(RefusalLine(feedback.box->caption, feedback.box->text));
        // A file that cannot be served is a failed transfer here: the terminal has no operator
        // to fix it and go on.
        if (std::holds_alternative<event::FileError>(event) && feedback.box && !outcome &&
            requested) {
            stop(history::Outcome::Failed, text);
        }
    };
    const auto handleReport = [&](const Report& report) {
        if (const auto* warning = std::get_if<std::string>(&report)) return output.Error(*warning);
        if (const auto* held = std::get_if<AddressHeld>(&report)) {
            // As the check before the start refuses an address held: a refusal, exit 2.
            const std::string text = RecorderAddressHeldText(held->address, kAnsweringDeviceHolder);
            output.Error(RefusalLine(kRecorderAddressHeldCaption, text));
            if (!outcome) {
                addressHeld = true;
                stop(history::Outcome::Failed, text);
            }
            return;
        }
        const SessionEvent& event =
            std::get<std::pair<StationRecorder, SessionEvent>>(report).second;
        recording.OnEvent(event);
        handle(event);
    };

    const SessionEvent begun =
        event::Started{ready->card, ready->mac, ready->file.path, ready->file.page};
    handleReport(std::pair{StationRecorder{}, begun});
    session.Start(UploadStationPlan(*ready, *adapters));
    for (const Report& report : host.Take(Clock::now())) handleReport(report);
    if (started) {
        if (output.Mode() == OutputMode::Json) {
            output.Emit({{"event", "announcing"}, {"recorder_address", recorderAddress}});
        } else {
            output.Line("Announcing every 30 ms; waiting for the recorder to ask" +
                        (options.waitSeconds ? FormatText(" (at most %g s)", *options.waitSeconds)
                                             : std::string(" (Ctrl-C stops)")));
        }
    } else {
        // The failed socket step and its outcome have been reported; the stop tidies up.
        session.Stop();
    }
    const auto over = [&] { return ended && outcome.has_value(); };
    const auto tick = [&] {
        if (outcome) {
            // The session ended by itself, or was stopped: its Ended comes now.
            session.Stop();
        } else if (!requested && Clock::now() >= waitUntil) {
            stop(history::Outcome::NoRequest,
                 FormatText("The recorder did not ask for its image within %g s",
                            *options.waitSeconds));
            output.Line(finalText);
            output.Line("flashkit-cli check --card " + card->adapterName + " --mac " + options.mac +
                        " tells what may keep it from asking.");
        }
    };
    while (RunTerminalLoop(host, handleReport, over, tick)) {
        if (outcome) continue;
        stop(history::Outcome::Interrupted, kUploadingAbortedText);
        output.EndTransfer();
        output.Line(kUploadingAbortedText);
    }
    session.Stop();
    output.EndTransfer();
    const ExitCode code = addressHeld ? kExitBadInput : ExitCodeForOutcome(*outcome, started);
    if (output.Mode() == OutputMode::Json) {
        if (code == kExitOk) {
            output.Emit({{"event", "completed"}, {"text", finalText}, {"size", imageSize}});
        } else {
            output.Emit({{"event", "failed"},
                         {"outcome", history::OutcomeName(*outcome)},
                         {"text", finalText},
                         {"exit_status", static_cast<int>(code)}});
        }
    }
    return code;
}

}  // namespace fk::cli
