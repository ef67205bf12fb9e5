// flashkit-cli upload: the same checks and the same upload session as the window's Upload
// button, reported on the terminal, recorded in the upload history.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/progress.h"
#include "history/recording_host.h"
#include "history/upload_history.h"
#include "image/image_files.h"
#include "net/address_plan.h"
#include "net/arp_entry.h"
#include "platform/adapter_source.h"
#include "platform/format_text.h"
#include "platform/neighbour_table.h"
#include "platform/network_watch.h"
#include "platform/system_facts.h"
#include "platform/tcpip_config.h"
#include "upgrade/device_arp.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_session.h"

namespace fk::cli {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr const char* kCompletedText = "Uploading Completed";
constexpr const char* kAbortedText = "Uploading Aborted";

// A report of the session, carried from its threads to the terminal's.
struct Event {
    enum class Kind { Status, Message, Warning, Request, Acked, Resent, Finished, Ended };
    Kind kind = Kind::Status;
    std::string text{}, caption{};
    bool completed = false;
    platform::Endpoint peer{};
    std::uint64_t number = 0, total = 0;
};

// The operator's choices for one upload, as the terminal took them.
struct Inputs {
    ImagePage page = ImagePage::System;
    std::string path, bootFileName;
    MacAddress mac = kRecorderMacPrefix;
    Ipv4 host = 0;
    int ifindex = 0;
};

// What the session reads and reports. Reads come from the inputs, fixed before the session
// starts; reports are queued for the terminal's thread, in the order they are made.
class TerminalHost final : public SessionHost, public DeviceArp {
  public:
    TerminalHost(const Inputs& inputs, platform::NeighbourTable& neighbours)
        : m_inputs(inputs), m_arpEntry(neighbours, [this](const std::string& line) {
              Push({Event::Kind::Warning, line});
          }) {}

    ImagePage ActivePage() const override { return m_inputs.page; }
    std::string BootFileName(ImagePage) const override { return m_inputs.bootFileName; }
    std::string ImagePath(ImagePage) const override { return m_inputs.path; }
    SelectedCard Card() const override { return m_card.load(); }
    // The card as it is now: the announcer waits while it holds no address.
    void FollowCard(SelectedCard card) { m_card.store(card); }
    MacAddress DeviceMac() const override { return m_inputs.mac; }

    void ShowStatus(const std::string& text) override { Push({Event::Kind::Status, text}); }
    void SetProgress(int) override {}
    void PlayCue(int) override {}
    void ShowMessage(const std::string& text, const std::string& caption,
                     platform::MessageIcon) override {
        Push({Event::Kind::Message, text, caption});
    }
    void SessionEnded() override { Push({Event::Kind::Ended}); }
    void RequestAccepted(const platform::Endpoint& recorder, std::uint64_t imageSize,
                         const std::shared_ptr<ServedImage>&) override {
        Push({Event::Kind::Request, {}, {}, false, recorder, imageSize, 0});
    }
    void BlockAcknowledged(std::uint64_t blockNo, std::uint64_t blockTotal) override {
        Push({Event::Kind::Acked, {}, {}, false, {}, blockNo, blockTotal});
    }
    void BlockResent() override { Push({Event::Kind::Resent}); }
    void UploadFinished(bool completed, const std::string& text) override {
        Push({Event::Kind::Finished, text, {}, completed});
    }

    void SetDeviceArpEntry(int ifindex, Ipv4 address, const MacAddress& mac, bool add) override {
        m_arpEntry.Set(ifindex, address, mac, add);
    }
    void ResetErrorReport() override { m_arpEntry.ResetErrorReport(); }

    // The reports made so far; waits for one until the deadline when there are none.
    std::deque<Event> Take(Clock::time_point deadline) {
        std::unique_lock lock(m_mutex);
        m_arrived.wait_until(lock, deadline, [this] { return !m_events.empty(); });
        return std::exchange(m_events, {});
    }

  private:
    void Push(Event event) {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(std::move(event));
        }
        m_arrived.notify_one();
    }

    const Inputs m_inputs;
    std::atomic<SelectedCard> m_card{SelectedCard{m_inputs.host, m_inputs.ifindex}};
    DeviceArpEntry m_arpEntry;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Event> m_events;
};

std::string EndpointText(const platform::Endpoint& endpoint) {
    return FormatDottedQuad(endpoint.address) + ":" + std::to_string(endpoint.port);
}

// The terminal's side of an upload: lines, a redrawn progress line or JSON events.
class Output {
  public:
    explicit Output(OutputMode mode) : m_mode(mode) {}

    void Emit(Json event) {
        event["time"] = history::UtcTimeText();
        std::printf("%s\n", event.dump().c_str());
        std::fflush(stdout);
    }

    void Line(const std::string& text) {
        if (m_mode == OutputMode::Json) return;
        ClearBar();
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        DrawBar();
    }

    void Error(std::string text) {
        ClearBar();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::fprintf(stderr, "%s\n", text.c_str());
        DrawBar();
    }

    void RequestAccepted(std::uint64_t size) {
        m_progress = {0, size, std::chrono::milliseconds(0)};
        m_requestedAt = Clock::now();
        m_shownTenth = 0;
        m_transferring = true;
        m_lastDraw = {};
    }

    void Acknowledged(std::uint64_t bytes, std::uint64_t resends) {
        m_progress.bytes = bytes;
        m_progress.elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_requestedAt);
        m_resends = resends;
        const auto now = Clock::now();
        const bool done = bytes >= m_progress.total;
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
                          {"percent",
                           m_progress.total ? m_progress.bytes * 100 / m_progress.total : 100},
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

// SIGINT, SIGTERM and SIGHUP (the SSH connection lost) are taken synchronously, so that a stop
// always runs the session's own tidy-up (neighbour entry, ports) on this thread. Blocked before
// any thread starts, so every thread of the process inherits the block.
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

bool StopAsked(const sigset_t& set) {
    const timespec now{0, 0};
    return sigtimedwait(&set, nullptr, &now) > 0;
}

// A card without a carrier, or whose address a network manager took with the carrier, gives the
// recorder nothing to answer: the upload waits for both, saying so once. Nothing when the
// deadline passed or a stop signal came first (then `stopped`).
std::optional<AdapterRecord> AwaitCardReady(const std::string& name,
                                            platform::AdapterSource& adapters,
                                            Clock::time_point until, const sigset_t& stopSignals,
                                            Output& output, bool& stopped) {
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
            const std::string text = "Waiting for " + awaited + " on " + card->adapterName;
            if (output.Mode() == OutputMode::Json) {
                output.Emit({{"event", "waiting"}, {"text", text}});
            } else {
                output.Line(text);
            }
            told = true;
        }
        stopped = StopAsked(stopSignals);
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

std::optional<ImagePage> KindOf(const UploadOptions& options) {
    if (options.system) return *options.system ? ImagePage::System : ImagePage::Data;
    if (HasImageExtension(options.image, kSystemImageExtension)) return ImagePage::System;
    if (HasImageExtension(options.image, kDataImageExtension)) return ImagePage::Data;
    return std::nullopt;
}

}  // namespace

int RunUpload(const UploadOptions& options) {
    Output output(options.output);
    // The checks of the window's Upload button, in its order.
    Inputs inputs;
    if (!ParseRecorderMacArgument(options.mac, inputs.mac)) {
        output.Error(RefusalLine(kMacRefusalCaption, kMacRefusalText));
        return kExitBadInput;
    }
    const auto page = KindOf(options);
    if (!page) {
        output.Error(RefusalLine(kUploadCheckCaption,
                                 "'" + options.image +
                                     "' is neither a system image (.bin) nor a data image (.Fnt): "
                                     "say which with --system or --data."));
        return kExitBadInput;
    }
    inputs.page = *page;
    if (const auto refusal = CheckUploadImage(*page, options.image, inputs.mac)) {
        if (!refusal->fileError.empty()) output.Error(refusal->fileError);
        output.Error(RefusalLine(refusal->caption, refusal->text));
        return kExitBadInput;
    }
    const auto adapters = platform::MakeSystemAdapterSource();
    const auto tcpipConfig = platform::MakeKeyfileTcpipConfig();
    const auto neighbours = platform::MakeSystemNeighbourTable();
    // What the address rules refuse no waiting mends: refused at once when the card has an
    // address, and checked again once the card is ready.
    const auto addressRefused = [&](const AdapterRecord& card) {
        const auto refusal = CheckRecorderAddressFree(
            *adapters, BuildAdapterList(adapters->List()), static_cast<int>(card.index),
            HostAddressFor(card, card.description, tcpipConfig.get()), *neighbours);
        if (refusal) output.Error(RefusalLine(refusal->caption, refusal->text));
        return refusal.has_value();
    };
    const auto named = FindCard(BuildAdapterList(adapters->List()), options.card);
    if (!named) {
        output.Error("No network card '" + options.card + "'; flashkit-cli cards lists them.");
        return kExitBadInput;
    }
    if (ParseDottedQuad(named->ipAddress) != 0 && addressRefused(*named)) return kExitBadInput;
    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // Output into a pipe whose reader has gone must not end the upload without its tidy-up.
    signal(SIGPIPE, SIG_IGN);
    // --wait bounds the wait for the card and for the recorder's request together.
    const auto waitUntil =
        options.waitSeconds
            ? Clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(*options.waitSeconds * 1000))
            : Clock::time_point::max();
    bool stopped = false;
    const auto card =
        AwaitCardReady(options.card, *adapters, waitUntil, stopSignals, output, stopped);
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
    if (addressRefused(*card)) return kExitBadInput;
    inputs.host = HostAddressFor(*card, card->description, tcpipConfig.get());
    inputs.ifindex = static_cast<int>(card->index);
    inputs.path = options.image;
    inputs.bootFileName = BareImageName(options.image);
    std::error_code sizeError;
    const auto size = std::filesystem::file_size(options.image, sizeError);

    history::UploadHistory history(options.historyPath.empty() ? history::DefaultHistoryPath()
                                                               : options.historyPath);
    TerminalHost host(inputs, *neighbours);
    history::RecordingSessionHost recording(host, &history, "flashkit-cli");
    UploadSession session(recording, host);

    const std::string recorderAddress = FormatDottedQuad(DeviceAddressFor(inputs.host));
    const std::string kind = *page == ImagePage::System ? "system" : "data";
    if (output.Mode() == OutputMode::Json) {
        output.Emit({{"event", "started"},
                     {"card", card->adapterName},
                     {"host_address", FormatDottedQuad(inputs.host)},
                     {"recorder_address", recorderAddress},
                     {"recorder_mac", FormatMac(inputs.mac)},
                     {"image", options.image},
                     {"kind", kind},
                     {"size", sizeError ? 0 : size}});
    } else {
        output.Line("Uploading " + options.image + " (" + kind + " image, " +
                    std::to_string(sizeError ? 0 : size) + " bytes) to the recorder " +
                    FormatMac(inputs.mac) + " at " + recorderAddress + " through " +
                    card->adapterName + " (" + FormatDottedQuad(inputs.host) + ")");
    }

    std::optional<std::string> outcome;  // once the upload has an end
    std::string finalText;
    bool requested = false, ended = false;
    std::uint64_t imageSize = 0, blockTotal = 0, furthestAck = 0, resends = 0;
    // The terminal stops the upload itself: recorded as outcome, shown as the window's abort.
    const auto stop = [&](const char* why, const std::string& text) {
        recording.SetStopOutcome(why, text);
        outcome = why;
        finalText = text;
        session.StopUpload();
    };
    const auto handle = [&](const Event& event) {
        switch (event.kind) {
            case Event::Kind::Status:
                // Every stop shows "Uploading Completed" before the caller's own text; here it is
                // true only of a completed upload. Progress texts become the progress line.
                if (event.text == kCompletedText && outcome != history::kCompleted) break;
                if (event.text.rfind("Upload ", 0) == 0) break;
                output.Line(event.text);
                break;
            case Event::Kind::Message:
                output.Error(RefusalLine(event.caption, event.text));
                // A file that cannot be served is a failed transfer here: the terminal has no
                // operator to fix it and go on.
                if (!outcome && requested) stop(history::kFailed, event.text);
                break;
            case Event::Kind::Warning:
                output.Error(event.text);
                break;
            case Event::Kind::Request:
                requested = true;
                imageSize = event.number;
                blockTotal = (imageSize + 511) / 512 + 1;
                furthestAck = 0;
                output.RequestAccepted(imageSize);
                if (output.Mode() == OutputMode::Json) {
                    output.Emit({{"event", "request"},
                                 {"from", EndpointText(event.peer)},
                                 {"file", inputs.bootFileName},
                                 {"size", imageSize}});
                } else {
                    output.Line("The recorder at " + EndpointText(event.peer) + " asked for " +
                                inputs.bootFileName);
                }
                break;
            case Event::Kind::Acked:
                // Only blocks sent and not confirmed before move the line on.
                if (event.number <= furthestAck || event.number > blockTotal) break;
                furthestAck = event.number;
                output.Acknowledged(AcknowledgedBytes(furthestAck, imageSize), resends);
                break;
            case Event::Kind::Resent:
                ++resends;
                break;
            case Event::Kind::Finished:
                output.EndTransfer();
                if (!outcome) {
                    outcome = event.completed ? history::kCompleted : history::kFailed;
                    finalText = event.text;
                }
                break;
            case Event::Kind::Ended:
                ended = true;
                // An end the session gave no reason for is no success.
                if (!outcome) outcome = history::kFailed;
                break;
        }
    };

    session.StartUpload();
    const bool started = session.State() != SessionState::StartFailed;
    for (const Event& event : host.Take(Clock::now())) handle(event);
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
        session.StopUpload();
    }
    // While announcing, the card's address is followed as a network manager takes and restores it.
    const auto cardWatch = platform::MakeSystemNetworkWatch();
    while (!ended || !outcome) {
        for (const Event& event : host.Take(Clock::now() + std::chrono::milliseconds(50))) {
            handle(event);
        }
        if (!requested && cardWatch && !cardWatch->Wait(Clock::now()).empty()) {
            const auto now = FindCard(BuildAdapterList(adapters->List()), card->adapterName);
            host.FollowCard({now ? ParseDottedQuad(now->ipAddress) : 0,
                             now ? static_cast<int>(now->index) : inputs.ifindex});
        }
        if (outcome) continue;
        if (StopAsked(stopSignals)) {
            stop(history::kInterrupted, kAbortedText);
            output.EndTransfer();
            output.Line(kAbortedText);
        } else if (!requested && Clock::now() >= waitUntil) {
            stop(history::kNoRequest,
                 FormatText("The recorder did not ask for its image within %g s",
                            *options.waitSeconds));
            output.Line(finalText);
            output.Line("flashkit-cli check --card " + card->adapterName + " --mac " + options.mac +
                        " tells what may keep it from asking.");
        }
    }
    session.Shutdown();
    output.EndTransfer();
    const ExitCode code = ExitCodeForOutcome(*outcome, started);
    if (output.Mode() == OutputMode::Json) {
        if (code == kExitOk) {
            output.Emit({{"event", "completed"}, {"text", finalText}, {"size", imageSize}});
        } else {
            output.Emit({{"event", "failed"},
                         {"outcome", *outcome},
                         {"text", finalText},
                         {"exit_status", static_cast<int>(code)}});
        }
    }
    return code;
}

}  // namespace fk::cli
