// flashkit-cli: FlashKit from a terminal. The same checks, upload session and upload history as
// the window; see flashkit-cli(1).

#include <CLI/CLI.hpp>
#include <string_view>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/system_texts.h"
#include "flashkit_version.h"
#include "net-helper/protocol.h"
#include "platform/console.h"

namespace {

constexpr const char* kExitStatuses = R"(Exit status:
  0    upload: the recorder acknowledged the whole image; station: every recorder did;
       check: everything holds
  1    check: something does not hold; history: the record cannot be read
  2    a wrong option, an unknown card, a refused MAC address or image, a recorder address
       that another device holds
  3    the upload could not start (ports in use, no privileges)
  4    the recorder did not ask for its image within --wait
  5    the transfer began and failed
  6    every block was sent, but the recorder did not confirm the last one: it may be
       writing its flash, do not switch it off
)";

}  // namespace

int main(int argc, char** argv) {
    using namespace fk::cli;
    // A Windows user asks any program for its help so.
    for (int n = 1; n < argc; ++n) {
        if (std::string_view(argv[n]) == "/?" || std::string_view(argv[n]) == "-?") {
            argv[n] = const_cast<char*>("--help");
        }
    }
    const OutputMode lines =
        fk::platform::PrepareConsole() ? OutputMode::Terminal : OutputMode::Plain;
    CLI::App app{
        "Loads firmware into a network video recorder in network-boot mode: BOOTP "
        "announcer and TFTP server, as the FlashKit window.",
        "flashkit-cli"};
    app.set_version_flag("--version", std::string("flashkit-cli ") + FLASHKIT_VERSION);
    app.require_subcommand(1);
    app.footer(std::string(kExitStatuses) + kInterruptedStatusHelp);
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return ErrorLines(std::string(error.what()) + "\nRun with --help for more information.");
    });

    UploadOptions upload;
    double wait = 0;
    bool json = false;
    auto* uploadCommand = app.add_subcommand(
        "upload", "Upload a system image (.bin) or data image (.Fnt) to one recorder");
    uploadCommand->add_option("--card", upload.card, "network card: its name, as `cards` shows")
        ->required();
    uploadCommand
        ->add_option("--mac", upload.mac,
                     "the recorder's MAC octets 4 to 6, e.g. 30:01:01 (the first three are "
                     "02:5e:a1)")
        ->required();
    uploadCommand->add_option("IMAGE", upload.image, "the image file")->required();
    bool systemImage = false, dataImage = false;
    auto* system = uploadCommand->add_flag("--system", systemImage,
                                           "IMAGE is a system image, whatever its name");
    auto* data =
        uploadCommand->add_flag("--data", dataImage, "IMAGE is a data image, whatever its name");
    system->excludes(data);
    auto* waitOption =
        uploadCommand
            ->add_option("--wait", wait,
                         "give up when the recorder has not asked within SECONDS (default: wait "
                         "until interrupted)")
            ->check(CLI::NonNegativeNumber);
    uploadCommand
        ->add_option("--header-wait", upload.headerWaitSeconds,
                     "how long a recorder may take to acknowledge the first block while it "
                     "prepares its flash, in SECONDS")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    uploadCommand->add_flag("--json", json, "one JSON object per event on standard output");
    uploadCommand->add_option("--history-file", upload.historyPath, kHistoryFileHelp);

    StationRunOptions station;
    bool stationJson = false, stationSystem = false, stationData = false;
    auto* stationCommand = app.add_subcommand(
        "station", "Serve one image to a bench of recorders at once through one card");
    stationCommand->add_option("--card", station.card, "network card")->required();
    stationCommand
        ->add_option("--mac", station.macs,
                     "a recorder's MAC octets 4 to 6, e.g. 30:01:01 (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    stationCommand->add_option("--macs", station.macsFile,
                               "a file of recorder MACs, one a line, # starts a comment");
    stationCommand->add_flag("--learn", station.learn,
                             "serve any recorder whose boot request comes on the card");
    stationCommand->add_option("IMAGE", station.image, "the image file")->required();
    // No more than the network helper keeps entries for.
    stationCommand->add_option("--max", station.max, "recorders served at once")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, fk::nethelper::kMaxRecorderEntries));
    stationCommand->add_flag("--until-done", station.untilDone,
                             "end once every named recorder has completed (default: run until "
                             "interrupted)");
    stationCommand->add_option("--pool", station.pool,
                               "give the recorders addresses from FIRST-LAST only, e.g. "
                               "192.168.1.50-192.168.1.99");
    auto* stationSystemFlag = stationCommand->add_flag(
        "--system", stationSystem, "IMAGE is a system image, whatever its name");
    stationSystemFlag->excludes(stationCommand->add_flag(
        "--data", stationData, "IMAGE is a data image, whatever its name"));
    stationCommand
        ->add_option("--header-wait", station.headerWaitSeconds,
                     "how long a recorder may take to acknowledge the first block, in SECONDS")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    double stationWait = 0;
    auto* stationWaitOption =
        stationCommand
            ->add_option("--wait", stationWait,
                         "wait at most SECONDS for the card's carrier and IPv4 address (default: "
                         "they must be there)")
            ->check(CLI::NonNegativeNumber);
    stationCommand->add_flag("--json", stationJson,
                             "one JSON object per event, each with the recorder's MAC");
    stationCommand->add_option("--history-file", station.historyPath,
                               "the upload history database");

    auto* cardsCommand =
        app.add_subcommand("cards",
                           "List the network cards as the window does, with address, "
                           "link state and the recorder address each would give");
    bool cardsJson = false;
    cardsCommand->add_flag("--json", cardsJson, "one JSON object per card on standard output");

    CheckOptions check;
    auto* checkCommand =
        app.add_subcommand("check", "Tell why a recorder may never ask for its image on a card");
    checkCommand->add_option("--card", check.card, "network card")->required();
    checkCommand->add_option("--mac", check.mac, "the recorder's MAC octets 4 to 6");
    checkCommand->add_flag("--json", check.json,
                           "one JSON object per check, with its verdict and hint, on standard "
                           "output");

    HistoryOptions history;
    auto* historyCommand = app.add_subcommand("history", "Show the record of uploads");
    historyCommand->add_option("--mac", history.mac,
                               "only this recorder (its last octets suffice)");
    historyCommand->add_option("--since", history.since,
                               "only uploads since a date, local time or age (2026-12-07, "
                               "\"2026-12-07 14:30\", 12h, 7d)");
    auto* historyJson = historyCommand->add_flag("--json", history.json, "as a JSON array");
    historyCommand->add_flag("--csv", history.csv, "as CSV with a header line")
        ->excludes(historyJson);
    historyCommand->add_option("--history-file", history.historyPath,
                               "the upload history database");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // --help and --version end here too, with status 0.
        return app.exit(error) == 0 ? kExitOk : kExitBadInput;
    }

    if (*uploadCommand) {
        if (systemImage) upload.system = true;
        if (dataImage) upload.system = false;
        if (waitOption->count() > 0) upload.waitSeconds = wait;
        upload.output = json ? OutputMode::Json : lines;
        return RunUpload(upload);
    }
    if (*stationCommand) {
        if (stationSystem) station.system = true;
        if (stationData) station.system = false;
        if (stationWaitOption->count() > 0) station.waitSeconds = stationWait;
        station.output = stationJson ? OutputMode::Json : lines;
        return RunStation(station);
    }
    if (*cardsCommand) return RunCards(cardsJson);
    if (*checkCommand) return RunCheck(check);
    return RunHistory(history);
}
