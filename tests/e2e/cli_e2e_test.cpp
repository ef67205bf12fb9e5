// flashkit-cli in the pc namespace of a private namespace pair, the simulated recorder on the
// other side: the terminal's upload, its exit statuses, its record, its stop, and its check.

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "feedback/refusal_texts.h"
#include "net/address_plan.h"
#include "tests/e2e/boot_server_double.h"
#include "tests/e2e/window_e2e.h"
#include "upgrade/upload_checks.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The check's line about `name`, as "ok <text>" or "FAIL <text>"; empty when there is none.
std::string Finding(const std::string& out, const std::string& name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto verdictEnd = line.find(' ');
        const auto at = line.find_first_not_of(' ', verdictEnd);
        if (at == std::string::npos || line.compare(at, name.size() + 1, name + " ") != 0) continue;
        const auto text = line.find_first_not_of(' ', at + name.size());
        return line.substr(0, verdictEnd) + " " + line.substr(text);
    }
    return {};
}

// A name as JSON carries it: its text, or its exact bytes in hex where it is not UTF-8.
std::string NameBytes(const nlohmann::json& object, const std::string& key) {
    const auto hex = object.find(key + "_hex");
    if (hex == object.end()) return object.at(key).get<std::string>();
    std::string bytes;
    const auto& digits = hex->get_ref<const std::string&>();
    for (std::size_t n = 0; n + 1 < digits.size(); n += 2) {
        bytes += static_cast<char>(std::stoi(digits.substr(n, 2), nullptr, 16));
    }
    return bytes;
}

class CliE2e : public WindowE2e {
  protected:
    std::vector<std::string> Command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv{"ip", "netns", "exec", m_net->pc, CliPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    std::vector<std::string> Upload(const std::string& mac, const fs::path& image,
                                    std::vector<std::string> more = {},
                                    std::string card = {}) const {
        std::vector<std::string> arguments{
            "upload",      "--card",      card.empty() ? m_net->pcLink : card,
            "--mac",       mac,           "--history-file",
            HistoryPath(), image.string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return arguments;
    }
    ProcessResult Cli(const std::vector<std::string>& arguments,
                      std::chrono::milliseconds limit = 20s) {
        return ChildProcess(Command(arguments), limit).Wait();
    }
    nlohmann::json History() {
        const auto run = Cli({"history", "--json", "--history-file", HistoryPath()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return nlohmann::json::parse(run.out);
    }
};

TEST_F(CliE2e, UploadFlashesTheRecorderByteForByteAndTheHistoryShowsIt) {
    const auto image = SystemImage(5000);
    const fs::path path = Image("fw_cli.bin", image);
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--fetch", "--expect-kind", "1", "--output", received.string()},
                      15s);

    const auto run = Cli(Upload("30:01:01", path, {"--wait", "10"}));
    const auto sim = recorder.Finish();

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_EQ(sim.exitCode, 0) << sim.err;
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 5000, image));
    // Not on a terminal: the window's texts, one line per state change.
    for (const char* text : {"\nUploading Started\n", "asked for fw_cli.bin",
                             "Upload 50 (%) Completed", "\nUploading Completed\n"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text << " in\n" << run.out;
    }
    const auto rows = History();
    ASSERT_EQ(rows.size(), 1u) << rows.dump();
    EXPECT_EQ(rows[0]["outcome"], "completed");
    EXPECT_EQ(rows[0]["program"], "flashkit-cli");
    EXPECT_EQ(rows[0]["sha256"], Sha256Hex(image));
    EXPECT_EQ(rows[0]["size"], 5000);
    EXPECT_EQ(rows[0]["recorder_mac"], kRecorderMacText);
    EXPECT_EQ(rows[0]["image_path"], path.string());

    // For other programs: one JSON object per event, in the order they happen. A name that is
    // not UTF-8 is JSON all the same, its bytes coming back from the events and the record.
    const fs::path oddPath = Image("fw_\xff\xfe.bin", image);
    for (const fs::path& sent : {path, oddPath}) {
        Recorder again(*m_net, {"--fetch", "--output", received.string()}, 15s);
        const auto json = Cli(Upload("30:01:01", sent, {"--wait", "10", "--json"}));
        EXPECT_EQ(again.Finish().exitCode, 0);
        EXPECT_EQ(json.exitCode, 0) << json.out << json.err;
        std::vector<std::string> events;
        std::istringstream lines(json.out);
        for (std::string line; std::getline(lines, line);) {
            const auto event = nlohmann::json::parse(line);
            if (events.empty() || events.back() != event["event"]) events.push_back(event["event"]);
            if (event["event"] == "request") {
                EXPECT_EQ(event["size"], 5000);
            }
            if (event["event"] == "started") {
                EXPECT_EQ(NameBytes(event, "image"), sent.string());
            }
        }
        EXPECT_EQ(events, (std::vector<std::string>{"started", "announcing", "request", "progress",
                                                    "completed"}));
        EXPECT_EQ(NameBytes(History().back(), "image_path"), sent.string());
    }
    EXPECT_EQ(History().size(), 3u);
    // The CSV keeps its columns; the odd name's bytes are in its hex column.
    const auto csv = Cli({"history", "--csv", "--history-file", HistoryPath()});
    EXPECT_NE(csv.out.find(",image_path_hex,"), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find("2f66775ffffe2e62696e"), std::string::npos) << csv.out;

    // A card whose address a network manager took away is waited for, within --wait, and said so.
    PcCommand("addr flush dev ");
    const std::string waiting = "Waiting for an IPv4 address on " + m_net->pcLink;
    const auto bare = Cli(Upload("30:01:01", path, {"--wait", "0.5"}));
    EXPECT_EQ(bare.exitCode, 4) << bare.out << bare.err;
    EXPECT_NE(bare.out.find(waiting), std::string::npos) << bare.out;
    EXPECT_EQ(History().size(), 3u);
    // Taken away while announcing: the announcer waits for it, and goes on with it.
    PcCommand("addr add 192.168.77.1/24 dev ");
    ChildProcess waits(Command(Upload("30:01:01", path, {"--wait", "10"})), 20s);
    // Announcing once the recorder's entry stands (made after the probe, which holds the first
    // turn up to half a second); looked at, not bound, so as not to race the upload.
    ASSERT_TRUE(WaitFor(
        [&] {
            return Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr") != std::string::npos;
        },
        5'000));
    PcCommand("addr flush dev ");
    std::this_thread::sleep_for(300ms);
    PcCommand("addr add 192.168.77.1/24 dev ");
    Recorder third(*m_net, {"--silent-arp", "--fetch", "--output", received.string()}, 15s);
    const auto resumed = waits.Wait();
    EXPECT_EQ(third.Finish().exitCode, 0);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.out << resumed.err;
    EXPECT_NE(resumed.out.find(waiting, resumed.out.find("Announcing")), std::string::npos)
        << resumed.out;
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 5000, image));
    EXPECT_EQ(History().back()["outcome"], "completed");
}

TEST_F(CliE2e, RefusedInputsExitWithTheirStatusAndNothingIsRecordedAsCompleted) {
    const fs::path fits = Image("fw.bin", SystemImage(1000));
    struct Case {
        std::string mac;
        fs::path image;
        std::string card;
        int exitCode;
        std::string said;
        std::string neighbour{};  // another device's fixed entry on the recorder's address
        std::string answering{};  // the MAC of a device that owns the address, unknown to the PC
    };
    const std::vector<Case> cases{
        {"3G:01:01", fits, {}, 2, "MAC address error: MAC address is invalid"},
        {"30:01", fits, {}, 2, "MAC address error: MAC address is invalid"},
        {"80:01:01",
         fits,
         {},
         2,
         "Check system image file: The uploading system file image doesn't agree right with "
         "system to upload."},
        {"30:01:01", m_work / "missing.bin", {}, 2, "Image file error: Image file is invalid"},
        {"30:01:01", Image("fw.img", SystemImage(1000)), {}, 2, "say which with --system"},
        {"30:01:01", fits, "no-such-card", 2, "No network card 'no-such-card'"},
        {"30:01:01",
         fits,
         {},
         2,
         std::string(kRecorderAddressHeldCaption) + ": " +
             RecorderAddressHeldText(ParseDottedQuad(kRecorderAddress),
                                     "the device 52:54:00:12:34:56 (a fixed neighbour entry)"),
         "52:54:00:12:34:56"},
        // Found only by the probe made as the entry is added: the upload stops, recorded failed.
        {"30:01:01",
         fits,
         {},
         2,
         std::string(kRecorderAddressHeldCaption) + ": " +
             RecorderAddressHeldText(ParseDottedQuad(kRecorderAddress), kAnsweringDeviceHolder),
         {},
         "52:54:00:ab:cd:ef"},
        // A host ending in .254 on a /24: the rule would give the recorder the broadcast address.
        {"30:01:01", fits, "fkb0", 2,
         std::string(kRecorderAddressUnusableCaption) +
             ": The recorder would get the address 192.168.88.255, which is the broadcast address "
             "of this network card's subnet, so the upload is not started. Give this network card "
             "an address"},
    };
    for (const char* command : {"link add fkb0 type veth peer name fkb1",
                                "addr add 192.168.88.254/24 dev fkb0", "link set fkb0 up"}) {
        ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " " + command), 0) << command;
    }
    const std::string neigh = "ip -n " + m_net->pc + " neigh ";
    const std::string onRecorder = std::string(kRecorderAddress) + " dev " + m_net->pcLink;
    const std::string device = "ip -n " + m_net->recorder + " ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        if (!c.answering.empty()) {
            for (const std::string& command :
                 {"link set " + m_net->recorderLink + " address " + c.answering,
                  "addr add " + std::string(kRecorderAddress) + "/24 dev " + m_net->recorderLink}) {
                ASSERT_EQ(RunCommand(device + command), 0) << command;
            }
        }
        if (!c.neighbour.empty()) {
            ASSERT_EQ(RunCommand(neigh + "add " + onRecorder + " lladdr " + c.neighbour +
                                 " nud permanent"),
                      0);
        }
        const auto run = Cli(Upload(c.mac, c.image, {}, c.card));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
        if (!c.answering.empty()) {
            // Nothing points the device's address elsewhere.
            EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("02:5e:a1"),
                      std::string::npos);
            ASSERT_EQ(RunCommand(device + "addr flush dev " + m_net->recorderLink), 0);
            // What the PC learnt of the device when the announcer's reply went to it.
            RunCommand(neigh + "del " + onRecorder);
        }
        if (c.neighbour.empty()) continue;
        // Neither replaced nor deleted: the upload never began.
        EXPECT_NE(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr " + c.neighbour),
                  std::string::npos);
        EXPECT_EQ(RunCommand(neigh + "del " + onRecorder), 0);
    }
    // The station's inputs, each refused with its reason; what a terminal would act on escaped.
    std::string many;
    for (int n = 0; n < 65; ++n) many += "30:01:" + std::to_string(10 + n) + "\n";
    WriteFile(m_work / "many.txt", std::vector<std::uint8_t>(many.begin(), many.end()));
    const std::string control = "30:01:\x1b[2J01\n";
    WriteFile(m_work / "control.txt", std::vector<std::uint8_t>(control.begin(), control.end()));
    const fs::path noSystem = Image("none.bin", std::vector<std::uint8_t>(1000, 0));
    struct StationCase {
        std::vector<std::string> more;
        fs::path image;
        std::string said;
    };
    const std::vector<StationCase> stationCases{
        {{"--macs", m_work.string()}, fits, "not a regular file"},
        {{"--macs", (m_work / "many.txt").string()}, fits, "at most 64 recorders"},
        {{"--macs", (m_work / "control.txt").string()}, fits, "'30:01:\\x1b[2J01'"},
        {{"--learn", "--pool", "192.168.77.1-192.168.77.1"}, fits, "No address is left"},
        {{"--learn"}, noSystem, "Check system image file"},
    };
    for (const auto& c : stationCases) {
        SCOPED_TRACE(c.said);
        std::vector<std::string> arguments{"station", "--card", m_net->pcLink, "--history-file",
                                           HistoryPath()};
        arguments.insert(arguments.end(), c.more.begin(), c.more.end());
        arguments.push_back(c.image.string());
        const auto run = Cli(arguments);
        EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
    // A port held by another server: the window's step text, the start-failure status, a row.
    m_net->EnterPc();
    BusyPort tftp(69);
    ASSERT_TRUE(tftp.bound);
    const auto busy = Cli(Upload("30:01:01", fits, {"--json"}));
    EXPECT_EQ(busy.exitCode, 3) << busy.out << busy.err;
    EXPECT_NE(busy.out.find(R"("event":"failed")"), std::string::npos) << busy.out;
    EXPECT_NE(busy.out.find("Step 3 tftp socket error: error code (98)"), std::string::npos);
    const auto rows = History();
    ASSERT_EQ(rows.size(), 2u) << rows.dump();
    EXPECT_EQ(rows[0]["outcome"], "failed");
    EXPECT_EQ(rows[0]["final_text"],
              RecorderAddressHeldText(ParseDottedQuad(kRecorderAddress), kAnsweringDeviceHolder));
    EXPECT_EQ(rows[1]["outcome"], "failed");
    EXPECT_EQ(rows[1]["final_text"], "Step 3 tftp socket error: error code (98)");
}

TEST_F(CliE2e, SigtermWhileAnnouncingRemovesTheEntryClosesThePortsAndIsRecorded) {
    const fs::path image = Image("fw.bin", SystemImage(1000));
    // SIGHUP is what a lost SSH connection sends; Ctrl-C sends SIGINT to the whole group.
    struct Stop {
        int signal;
        bool wholeGroup;
    };
    const std::vector<Stop> stopSignals{
        {SIGTERM, false}, {SIGINT, false}, {SIGHUP, false}, {SIGINT, true}};
    for (const auto [signal, wholeGroup] : stopSignals) {
        SCOPED_TRACE(std::to_string(signal) + (wholeGroup ? " to the group" : ""));
        ChildProcess cli(Command(Upload("30:01:01", image)), 20s);
        // The entry is added before the first reply: the upload is announcing.
        ASSERT_TRUE(WaitFor(
            [&] {
                return Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr") !=
                       std::string::npos;
            },
            10'000));
        wholeGroup ? cli.SignalGroup(signal) : cli.Signal(signal);
        const auto run = cli.Wait();

        EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
        EXPECT_NE(run.out.find("\nUploading Aborted\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Uploading Completed"), std::string::npos) << run.out;
        EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
        m_net->EnterPc();
        EXPECT_TRUE(PortsFree());
        m_net->LeavePc();
    }
    auto rows = History();
    ASSERT_EQ(rows.size(), stopSignals.size()) << rows.dump();
    for (const auto& row : rows) {
        EXPECT_EQ(row["outcome"], "interrupted");
        EXPECT_FALSE(row["ended"].get<std::string>().empty());
    }

    // A recorder that never asks ends the wait with its own status and outcome. A name's control
    // bytes reach the terminal as escapes: in the lines, the table (no row forged) and the CSV.
    const fs::path odd = Image("fw\n\x1b[2Jcompleted.bin", SystemImage(1000));
    const std::string shown = (m_work / "fw\\x0a\\x1b[2Jcompleted.bin").string();
    const auto unanswered = Cli(Upload("30:01:01", odd, {"--wait", "0.5"}));
    EXPECT_EQ(unanswered.exitCode, 4) << unanswered.out << unanswered.err;
    EXPECT_NE(unanswered.out.find("Uploading " + shown + " (system image"), std::string::npos)
        << unanswered.out;
    rows = History();
    ASSERT_EQ(rows.size(), stopSignals.size() + 1);
    EXPECT_EQ(rows.back()["outcome"], "no_request");
    EXPECT_EQ(rows.back()["image_path"], odd.string());
    EXPECT_EQ(unanswered.out.find('\x1b'), std::string::npos) << unanswered.out;
    for (const auto& listed : {Cli({"history", "--history-file", HistoryPath()}),
                               Cli({"history", "--csv", "--history-file", HistoryPath()})}) {
        EXPECT_EQ(listed.out.find('\x1b'), std::string::npos) << listed.out;
        EXPECT_EQ(static_cast<std::size_t>(std::count(listed.out.begin(), listed.out.end(), '\n')),
                  rows.size() + 1)
            << listed.out;
        EXPECT_NE(listed.out.find(shown), std::string::npos) << listed.out;
    }

    // An image swapped for a FIFO before the recorder asks holds nothing up: opening it waits for
    // no writer, and the transfer ends at once, saying why.
    const fs::path fifo = Image("fifo.Fnt", SystemImage(1000));
    ChildProcess swapped(Command(Upload("30:01:01", fifo)), 20s);
    ASSERT_TRUE(WaitFor(
        [&] {
            return Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr") != std::string::npos;
        },
        10'000));
    fs::remove(fifo);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Recorder asking(*m_net, {"--fetch"}, 3s);
    const auto ended = swapped.Wait();
    EXPECT_FALSE(ended.killedAtLimit);
    EXPECT_EQ(ended.exitCode, 5) << ended.out << ended.err;
    EXPECT_NE(ended.err.find("Open Error, not a regular file"), std::string::npos) << ended.err;
    EXPECT_EQ(History().back()["outcome"], "failed");
}

TEST_F(CliE2e, CheckNamesAHeldRecorderAddressABusyPortWithItsHolderAndADownLink) {
    const auto ready = Cli({"check", "--card", m_net->pcLink, "--mac", "30:01:01"});
    EXPECT_EQ(ready.exitCode, 0) << ready.out << ready.err;
    // The machine's managers own none of a namespace's cards, whatever their indexes.
    EXPECT_EQ(Finding(ready.out, "manager"), "ok no network manager owns " + m_net->pcLink +
                                                 ": its address stays when the link drops");

    // Another device's fixed entry on the recorder's address: what Upload refuses.
    const std::string onRecorder = std::string(kRecorderAddress) + " dev " + m_net->pcLink;
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " neigh add " + onRecorder +
                         " lladdr 52:54:00:12:34:56 nud permanent"),
              0);
    const auto held = Cli({"check", "--card", m_net->pcLink, "--mac", "30:01:01"});
    EXPECT_EQ(held.exitCode, 1) << held.out;
    EXPECT_EQ(Finding(held.out, "recorder"),
              "FAIL 192.168.77.2 is already held by the device 52:54:00:12:34:56 (a fixed "
              "neighbour entry): give the card another address, or choose another card");
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " neigh del " + onRecorder), 0);

    m_net->EnterPc();
    BusyPort tftp(69);
    ASSERT_TRUE(tftp.bound);
    const auto busy = Cli({"check", "--card", m_net->pcLink});
    EXPECT_EQ(busy.exitCode, 1) << busy.out;
    EXPECT_EQ(Finding(busy.out, "port 67"), "ok free") << busy.out;
    EXPECT_EQ(Finding(busy.out, "port 69"), "FAIL in use by flashkit_e2e_te (pid " +
                                                std::to_string(getpid()) +
                                                "): stop it while uploading");

    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " link set " + m_net->pcLink + " down"), 0);
    const auto down = Cli({"check", "--card", m_net->pcLink});
    EXPECT_EQ(down.exitCode, 1) << down.out;
    EXPECT_EQ(
        Finding(down.out, "link"),
        "FAIL " + m_net->pcLink + " is down: bring it up (ip link set " + m_net->pcLink + " up)");
    // For other programs: one object per check line, verdict and hint apart.
    const auto json = Cli({"check", "--card", m_net->pcLink, "--json"});
    EXPECT_EQ(json.exitCode, 1);
    std::istringstream lines(json.out);
    std::string first;
    ASSERT_TRUE(std::getline(lines, first)) << json.out;
    EXPECT_EQ(nlohmann::json::parse(first),
              (nlohmann::json{{"check", "link"},
                              {"verdict", "FAIL"},
                              {"text", m_net->pcLink + " is down"},
                              {"hint", "bring it up (ip link set " + m_net->pcLink + " up)"}}));
}

// A card that cannot carry an upload is neither listed nor taken when named, and the check reads
// every address of a card.
TEST_F(CliE2e, OnlyCardsAnUploadCanUseAreOfferedAndAnotherNamedIsRefusedWithTheReason) {
    for (const std::string& command :
         {std::string("link add fki0 type ifb"), std::string("link set fki0 up"),
          std::string("tuntap add dev fkt0 mode tun"),
          "addr add 192.168.77.50/24 dev " + m_net->pcLink}) {
        ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " " + command), 0) << command;
    }
    const auto cards = Cli({"cards", "--json"});
    EXPECT_EQ(cards.exitCode, 0) << cards.err;
    std::istringstream lines(cards.out);
    std::vector<std::string> listed;
    for (std::string line; std::getline(lines, line);)
        listed.push_back(nlohmann::json::parse(line)["card"]);
    EXPECT_EQ(listed, std::vector<std::string>{m_net->pcLink});

    const fs::path image = Image("fw.bin", SystemImage(1000));
    struct Row {
        std::vector<std::string> arguments;
        std::string error;
    };
    const std::string others = ". flashkit-cli cards lists the cards that can.";
    for (const Row& row :
         {Row{{"check", "--card", "fki0"},
              "fki0 cannot carry an upload: it does not use ARP (NOARP), so no recorder can be "
              "reached through it by its MAC" +
                  others},
          Row{Upload("30:01:01", image, {}, "fkt0"),
              "fkt0 cannot carry an upload: it is a point-to-point link, with no neighbours to "
              "reach a recorder by its MAC" +
                  others},
          Row{{"station", "--card", "lo", "--mac", "30:01:01", image.string()},
              "lo cannot carry an upload: it is the loopback card, which reaches only this PC" +
                  others},
          Row{{"check", "--card", "fkz9"},
              "No network card 'fkz9'; flashkit-cli cards lists them."}}) {
        SCOPED_TRACE(row.arguments[0] + " " + row.arguments[2]);
        const auto run = Cli(row.arguments);
        EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
        EXPECT_NE(run.err.find(row.error), std::string::npos) << run.err;
    }

    const auto check = Cli({"check", "--card", m_net->pcLink});
    EXPECT_EQ(Finding(check.out, "address"), "ok 192.168.77.1/24, 192.168.77.50/24 on " +
                                                 m_net->pcLink +
                                                 "; the recorder address comes from 192.168.77.1")
        << check.out;
}

}  // namespace
}  // namespace fk::testing
