#include "cli/run_setup.h"

#include <algorithm>
#include <thread>

#include "feedback/refusal_texts.h"
#include "image/image_files.h"
#include "platform/format_text.h"
#include "platform/network_watch.h"
#include "platform/stop_requests.h"
#include "platform/system_facts.h"

namespace fk::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A card without a carrier, or whose address a network manager took with the carrier, gives the
// recorder nothing to answer: waits for both, saying so once. Nothing when the card went, the
// deadline passed or a stop signal came first (then `stopped`).
std::optional<AdapterRecord> AwaitCardReady(const std::string& name,
                                            platform::AdapterSource& adapters,
                                            Clock::time_point until, TerminalOutput& output,
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
            const std::string text = "Waiting for " + awaited + " on " + CardLabel(*card);
            output.Tell(text, {{"event", "waiting"}, {"text", text}});
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

}  // namespace

std::optional<ImagePage> ImageKind(const std::string& image, std::optional<bool> system,
                                   TerminalOutput& output) {
    if (system) return *system ? ImagePage::System : ImagePage::Data;
    if (HasImageExtension(image, kSystemImageExtension)) return ImagePage::System;
    if (HasImageExtension(image, kDataImageExtension)) return ImagePage::Data;
    output.Error(RefusalLine(kUploadCheckCaption,
                             "'" + image +
                                 "' is neither a system image (.bin) nor a data image (.Fnt): say "
                                 "which with --system or --data."));
    return std::nullopt;
}

std::optional<UploadPlan> PlanRun(const UploadChoices& choices, platform::AdapterSource& adapters,
                                  platform::NeighbourTable& neighbours, TerminalOutput& output) {
    auto planned = MakeUploadPlan(choices, adapters, BuildAdapterList(adapters.List()), neighbours);
    if (auto* plan = std::get_if<UploadPlan>(&planned)) return std::move(*plan);
    const RefusalTexts texts = TextsOf(std::get<UploadRefusal>(planned));
    if (!texts.fileError.empty()) output.Error(texts.fileError);
    output.Error(RefusalLine(texts.caption, texts.text));
    return std::nullopt;
}

std::optional<AdapterRecord> NamedCard(const std::string& name, platform::AdapterSource& adapters,
                                       TerminalOutput& output) {
    const auto query = adapters.List();
    auto card = FindCard(BuildAdapterList(query), name);
    if (!card) output.Error(NoUploadCardText(query, name));
    return card;
}

Clock::time_point WaitDeadline(std::optional<double> waitSeconds) {
    if (!waitSeconds) return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(static_cast<long long>(*waitSeconds * 1000));
}

std::variant<AdapterRecord, ExitCode> AwaitCard(const std::string& name,
                                                std::optional<double> waitSeconds,
                                                Clock::time_point until,
                                                platform::AdapterSource& adapters,
                                                TerminalOutput& output) {
    bool stopped = false;
    auto card = AwaitCardReady(name, adapters, until, output, stopped);
    if (stopped) return kExitInterrupted;
    if (card) return std::move(*card);
    if (!waitSeconds) {
        output.Error(NoUploadCardText(adapters.List(), name));
        return kExitBadInput;
    }
    output.Error(
        FormatText("%s had no carrier and IPv4 address within %g s", name.c_str(), *waitSeconds));
    return kExitNoRequest;
}

history::UploadHistory OpenHistory(const std::string& path) {
    return history::UploadHistory(path.empty() ? history::DefaultHistoryPath() : path, PrintError);
}

StationOptions SessionOptions(double headerWaitSeconds) {
    StationOptions options;
    options.headerWait =
        std::chrono::milliseconds(static_cast<long long>(headerWaitSeconds * 1000));
    return options;
}

}  // namespace fk::cli
