// flashkit-cli station in the pc namespace of a bench of simulated recorders on a bridge:
// each recorder flashed byte for byte at an address of its own, with its own record, whatever
// another one does.

#include <signal.h>

#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/ipv4.h"
#include "tests/e2e/boot_server_double.h"
#include "tests/e2e/window_e2e.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kImageSize = 300'000;

enum class Role {
    Completes,
    GoesSilent,  // stops acknowledging after block 20 and stays on the link
    Restarts,    // stops after block 20 and ends; started again, it asks by BOOTP and fetches
};

// A host on the recorder's LAN that means harm, holding the first recorder's address (or, when
// it asks from elsewhere, one of its own) once that recorder's entry stands.
enum class Stranger {
    None,
    AckSweep,        // acknowledges block 1, 2, 3 ... from one port of its own, a millisecond apart
    AsksFirst,       // fetches the boot file before the recorder asks
    AsksFromAfar,    // the same from another address of the subnet
    FloodsRequests,  // 2,000 read requests in 3 s, each from a new port, while the recorder fetches
};

struct Row {
    const char* name;
    std::vector<Role> roles;         // one per recorder of the bench
    bool learn = false;              // not named: they ask by BOOTP request
    bool untilDone = true;           // otherwise Ctrl-C once the recorders are done
    int exitCode = 0;                // 130: interrupted while a named one had not completed
    std::string pool = {};           // --pool FIRST-LAST
    std::string foreignHolder = {};  // an address of the pool that another device's entry holds
    bool json = false;
    std::size_t max = 0;  // --max; 0: the default
    Stranger stranger = Stranger::None;
    bool upload = false;                       // flashkit-cli upload of the one recorder
    std::vector<std::string> recorderExtra{};  // more simulator options for Completes
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

const std::vector<Role> kAllComplete(4, Role::Completes);

// Sixteen, the fifth of them going silent on purpose.
std::vector<Role> SixteenOneSilent() {
    std::vector<Role> roles(16, Role::Completes);
    roles[4] = Role::GoesSilent;
    return roles;
}

class StationE2e : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
        m_bench = std::make_unique<NetnsBench>(static_cast<int>(GetParam().roles.size()));
        m_work = fs::temp_directory_path() /
                 ("fk-station-" + std::to_string(getpid()) + "-" + GetParam().name);
        fs::create_directories(m_work);
    }
    void TearDown() override {
        m_bench.reset();
        std::error_code ignored;
        fs::remove_all(m_work, ignored);
    }

    std::vector<std::string> Cli(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv{"ip", "netns", "exec", m_bench->pc, CliPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
    std::string HistoryPath() const { return (m_work / "history.sqlite3").string(); }
    nlohmann::json History() const {
        const auto run =
            ChildProcess(Cli({"history", "--json", "--history-file", HistoryPath()}), 20s).Wait();
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return nlohmann::json::parse(run.out.empty() ? "[]" : run.out);
    }
    fs::path Received(int n) const { return m_work / ("received-" + std::to_string(n) + ".bin"); }

    // The first recorder's address once the pc holds its entry: the station announces to it.
    std::string FirstRecorderAddress(std::chrono::milliseconds bound) const {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            const auto table = CommandOutput("ip -n " + m_bench->pc + " -4 neigh show nud all");
            const auto at = table.find(" lladdr " + m_bench->recorders.front().mac);
            if (at != std::string::npos) {
                const auto line = table.rfind('\n', at) + 1;  // npos + 1: the first line
                return table.substr(line, table.find(' ', line) - line);
            }
            std::this_thread::sleep_for(20ms);
        }
        return {};
    }

    int RunStranger(Stranger stranger) {
        if (stranger == Stranger::None) return 0;
        const std::string address = FirstRecorderAddress(10s);
        if (address.empty()) return -1;
        const bool afar = stranger == Stranger::AsksFromAfar;
        const std::string ns = m_bench->AddStranger(afar ? "192.168.77.99" : address);
        std::string command = "ip netns exec " + ns +
                              " python3 " FLASHKIT_SOURCE_DIR
                              "/tests/e2e/lan_stranger.py --server 192.168.77.1 --source " +
                              (afar ? "192.168.77.99" : address) + " --name fw_station.bin ";
        switch (stranger) {
            case Stranger::AckSweep:
                command += "ack-sweep --blocks 600 --seconds 6";
                break;
            case Stranger::AsksFirst:
            case Stranger::AsksFromAfar:
                command += "read-requests --count 1";
                break;
            case Stranger::FloodsRequests:
                std::this_thread::sleep_for(1500ms);
                command += "read-requests --count 2000 --seconds 3";
                break;
            case Stranger::None:
                break;
        }
        return RunCommand(command);
    }

    std::unique_ptr<NetnsBench> m_bench;
    fs::path m_work;
};

TEST_P(StationE2e, EveryRecorderIsServedOnItsOwnWhateverTheOthersDo) {
    const Row& row = GetParam();
    const auto& recorders = m_bench->recorders;
    const int count = static_cast<int>(recorders.size());
    if (!row.foreignHolder.empty()) {
        ASSERT_EQ(RunCommand("ip -n " + m_bench->pc + " neigh add " + row.foreignHolder +
                             " lladdr 52:54:00:12:34:56 nud permanent dev " + m_bench->pcLink),
                  0);
    }
    const auto image = SystemImage(kImageSize);
    const fs::path imagePath = m_work / "fw_station.bin";
    WriteFile(imagePath, image);

    std::vector<std::string> arguments{row.upload ? "upload" : "station", "--card", m_bench->pcLink,
                                       "--history-file", HistoryPath()};
    if (row.upload) {
        arguments.insert(arguments.end(), {"--mac", recorders.front().MacTail()});
    } else if (row.learn) {
        arguments.insert(arguments.end(), {"--learn", "--max", std::to_string(count)});
    } else {
        for (const auto& recorder : recorders)
            arguments.insert(arguments.end(), {"--mac", recorder.MacTail()});
    }
    if (row.max > 0) arguments.insert(arguments.end(), {"--max", std::to_string(row.max)});
    if (row.untilDone && !row.upload) arguments.push_back("--until-done");
    if (!row.pool.empty()) arguments.insert(arguments.end(), {"--pool", row.pool});
    if (row.json) arguments.push_back("--json");
    arguments.push_back(imagePath.string());
    // Its output is drained meanwhile: into a pipe it writes a line per tenth of a percent.
    ChildProcess station(Cli(arguments), 60s);
    auto stationResult = std::async(std::launch::async, [&] { return station.Wait(); });
    // One that asks first has asked before any recorder is switched on.
    const bool asksFirst =
        row.stranger == Stranger::AsksFirst || row.stranger == Stranger::AsksFromAfar;
    auto stranger = std::async(asksFirst ? std::launch::deferred : std::launch::async,
                               [&] { return RunStranger(row.stranger); });
    if (asksFirst) stranger.wait();

    // All at once, each in its own namespace; a restarted one's second life follows its first.
    std::vector<std::future<ProcessResult>> sims;
    for (int n = 0; n < count; ++n) {
        sims.push_back(std::async(std::launch::async, [&, n] {
            const auto& recorder = recorders[n];
            std::vector<std::string> ask;
            if (row.learn) ask.push_back("--ask");
            const auto run = [&](std::vector<std::string> more, const char* timeout) {
                more.insert(more.end(), {"--timeout", timeout});
                more.insert(more.begin(), ask.begin(), ask.end());
                return RecorderProcess(recorder, more, 45s).Wait();
            };
            std::vector<std::string> fetch{"--fetch", "--expect-kind", "1", "--output",
                                           Received(n).string()};
            fetch.insert(fetch.end(), row.recorderExtra.begin(), row.recorderExtra.end());
            // The bounds leave room for the station's first entries, each made after a probe of
            // up to half a second: 8 s for sixteen recorders.
            switch (row.roles[n]) {
                case Role::Completes:
                    return run(fetch, "30");
                case Role::GoesSilent:
                    return run({"--fetch", "--stop-after", "20"}, "12");
                case Role::Restarts: {
                    const auto first = run({"--fetch", "--stop-after", "20"}, "5");
                    EXPECT_EQ(first.Line("tftp")["status"], "stopped") << first.out << first.err;
                    ask = {"--ask"};
                    return run(fetch, "30");
                }
            }
            return ProcessResult{};
        }));
    }
    std::vector<ProcessResult> results;
    for (auto& sim : sims) results.push_back(sim.get());
    EXPECT_EQ(stranger.get(), 0);
    if (!row.untilDone) station.SignalGroup(SIGINT);
    const auto ran = stationResult.get();
    EXPECT_EQ(ran.exitCode, row.exitCode) << ran.out << ran.err;
    EXPECT_FALSE(ran.killedAtLimit);

    const std::string headerAndImage = [&] {
        const auto bytes = HeaderAndImage(1, kImageSize, image);
        return std::string(bytes.begin(), bytes.end());
    }();
    std::set<std::string> addresses;
    const auto rows = History();
    for (int n = 0; n < count; ++n) {
        SCOPED_TRACE(recorders[n].mac);
        const auto& sim = results[n];
        const std::string address = sim.Line("bootp")["yiaddr"];
        addresses.insert(address);
        EXPECT_FALSE(address.empty()) << sim.out << sim.err;
        if (!row.foreignHolder.empty()) {
            EXPECT_NE(address, row.foreignHolder);
        }
        EXPECT_NE(address, "192.168.77.1");
        std::vector<std::string> outcomes;
        for (const auto& record : rows) {
            if (record["recorder_mac"] == recorders[n].mac) outcomes.push_back(record["outcome"]);
        }
        ASSERT_FALSE(outcomes.empty()) << rows.dump();
        if (row.roles[n] == Role::GoesSilent) {
            EXPECT_EQ(sim.exitCode, 0) << sim.err;
            EXPECT_EQ(sim.Line("tftp")["status"], "stopped");
            EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "completed"), 0);
            continue;
        }
        ASSERT_EQ(sim.exitCode, 0) << sim.out << sim.err;
        const auto received = ReadAll(Received(n));
        EXPECT_TRUE(std::string(received.begin(), received.end()) == headerAndImage);
        // A restarted recorder's first transfer may have its own record; its last one completed.
        EXPECT_EQ(outcomes.back(), "completed");
        // A stranger's request from the recorder's own address has a record of its own; a
        // flood of them a few at most.
        if (row.roles[n] == Role::Completes) {
            EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), "completed"), 1);
            EXPECT_LE(outcomes.size(), row.stranger == Stranger::None ? 1u : 3u) << rows.dump();
        }
    }
    EXPECT_EQ(addresses.size(), recorders.size());
    if (!row.pool.empty()) {
        const auto first = ParseDottedQuad(row.pool.substr(0, row.pool.find('-')));
        const auto last = ParseDottedQuad(row.pool.substr(row.pool.find('-') + 1));
        for (const auto& address : addresses) {
            EXPECT_GE(ParseDottedQuad(address), first) << address;
            EXPECT_LE(ParseDottedQuad(address), last) << address;
        }
    }
    for (const auto& record : rows) {
        if (record["outcome"] == "completed") {
            EXPECT_EQ(record["sha256"], Sha256Hex(image));
        }
    }
    if (row.roles == kAllComplete) {
        EXPECT_EQ(rows.size(), recorders.size());
    }

    // Each recorder's entry is gone with the station; the foreign one is as it was.
    const auto table = CommandOutput("ip -n " + m_bench->pc + " -4 neigh show nud all");
    EXPECT_EQ(table.find("proto 241"), std::string::npos) << table;
    if (!row.foreignHolder.empty()) {
        EXPECT_NE(table.find(row.foreignHolder + " dev " + m_bench->pcLink +
                             " lladdr 52:54:00:12:34:56 PERMANENT"),
                  std::string::npos)
            << table;
    }

    if (row.json) {
        // Every event of a recorder names it; together they name them all.
        std::set<std::string> named;
        std::istringstream lines(ran.out);
        for (std::string line; std::getline(lines, line);) {
            const auto event = nlohmann::json::parse(line);
            if (event.contains("mac")) named.insert(event["mac"].get<std::string>());
            if (event["event"] == "completed" || event["event"] == "request") {
                EXPECT_TRUE(event.contains("mac")) << line;
            }
        }
        std::set<std::string> expected;
        for (const auto& recorder : recorders) expected.insert(recorder.mac);
        EXPECT_EQ(named, expected) << ran.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StationE2e,
    ::testing::Values(Row{.name = "FourNamedByMac", .roles = kAllComplete, .json = true},
                      Row{.name = "FourLearntFromTheirRequests",
                          .roles = kAllComplete,
                          .learn = true,
                          .untilDone = false},
                      Row{.name = "OneSilentOneRestartedTheOthersComplete",
                          .roles = {Role::Completes, Role::GoesSilent, Role::Restarts,
                                    Role::Completes},
                          .untilDone = false,
                          .exitCode = 130},
                      Row{.name = "AnAddressOfThePoolHeldByAForeignMacIsSkipped",
                          .roles = kAllComplete,
                          .pool = "192.168.77.50-192.168.77.60",
                          .foreignHolder = "192.168.77.51"},
                      Row{.name = "ThirtyTwoNamedSixteenAtOnceTakeTurns",
                          .roles = std::vector<Role>(32, Role::Completes),
                          .max = 16},
                      Row{.name = "SixteenAtOnceOneSilentTheOthersComplete",
                          .roles = SixteenOneSilent(),
                          .untilDone = false,
                          .exitCode = 130},
                      // Hosts on the LAN that mean harm: none of them completes anything.
                      Row{.name = "AnAckSweepFromAHostHoldingItsAddressMovesNothing",
                          .roles = {Role::Completes},
                          .stranger = Stranger::AckSweep,
                          .recorderExtra = {"--ack-delay", "0.005"}},
                      Row{.name = "AStrangersRequestFromItsAddressSilencesNoAnnouncement",
                          .roles = {Role::Completes},
                          .stranger = Stranger::AsksFirst,
                          .recorderExtra = {"--retry", "1"}},
                      Row{.name = "AnUploadServesNoStrangerAtAnotherAddress",
                          .roles = {Role::Completes},
                          .stranger = Stranger::AsksFromAfar,
                          .upload = true},
                      Row{.name = "ARequestFloodFromItsAddressRestartsNothing",
                          .roles = {Role::Completes},
                          .stranger = Stranger::FloodsRequests,
                          .recorderExtra = {"--ack-delay", "0.01"}}),
    [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fk::testing
