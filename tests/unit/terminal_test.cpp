// The terminal front end's parts without the system: exit statuses, the progress line, the
// output, the MAC argument.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/firewall_rule.h"
#include "cli/json_text.h"
#include "cli/progress.h"
#include "cli/terminal_output.h"
#include "upgrade/transfer_percent.h"

namespace {

using namespace fk::cli;
using std::chrono::milliseconds;

TEST(ExitCodeForOutcomes, EachEndHasItsOwnStatusTheWorstDecidesAndOnlyCompletionsAreZero) {
    using fk::history::Outcome;
    struct Row {
        std::vector<Outcome> outcomes;
        bool started;
        int code;
    };
    for (const Row& row : {
             Row{{Outcome::Completed}, true, 0},
             Row{{Outcome::Failed}, true, 5},
             Row{{Outcome::Failed}, false, 3},
             Row{{Outcome::NoRequest}, true, 4},
             Row{{Outcome::Interrupted}, true, 130},
             Row{{Outcome::Interrupted}, false, 130},
             Row{{Outcome::Aborted}, true, 5},
             Row{{Outcome::Unconfirmed}, true, 6},
             // A station's recorders: the worst of them.
             Row{{Outcome::Completed, Outcome::Completed}, true, 0},
             Row{{Outcome::Completed, Outcome::Interrupted}, true, 130},
             Row{{Outcome::Interrupted, Outcome::Unconfirmed, Outcome::Completed}, true, 6},
             Row{{Outcome::Unconfirmed, Outcome::Failed}, true, 5},
             Row{{Outcome::Interrupted, Outcome::Failed}, false, 3},
             Row{{}, true, 130},
         }) {
        std::string named;
        for (const Outcome outcome : row.outcomes)
            named += fk::history::OutcomeName(outcome) + std::string(" ");
        EXPECT_EQ(ExitCodeForOutcomes(row.outcomes, row.started), row.code) << named << row.started;
    }
}

TEST(ProgressLine, ShowsBarPercentBytesRateAndTimeLeft) {
    struct Row {
        ProgressSnapshot progress;
        int barWidth;
        const char* line;
    };
    const Row rows[] = {
        // Nothing known yet about the rate.
        {{0, 1000, milliseconds(0), 0}, 10, "[          ]   0%  0 B / 1000 B  --/s  -- left"},
        {{512, 2048, milliseconds(0), 25}, 8, "[##      ]  25%  512 B / 2.0 KiB  --/s  -- left"},
        // 1 MiB of 3 MiB in 2 s: 512 KiB/s, 4 s left; bar and percent are the window's.
        {{1048576, 3145728, milliseconds(2000), 33},
         12,
         "[###         ]  33%  1.0 MiB / 3.0 MiB  512.0 KiB/s  0:04 left"},
        // Time left rounds up and counts minutes.
        {{1000, 100000, milliseconds(1000), 1},
         4,
         "[    ]   1%  1000 B / 97.7 KiB  1000 B/s  1:39 left"},
        // Every byte acknowledged, the upload not yet completed.
        {{2048, 2048, milliseconds(500), 99},
         4,
         "[### ]  99%  2.0 KiB / 2.0 KiB  4.0 KiB/s  0:00 left"},
        {{0, 0, milliseconds(0), 100}, 4, "[####] 100%  0 B / 0 B  --/s  -- left"},
    };
    for (const Row& row : rows) EXPECT_EQ(FormatProgressLine(row.progress, row.barWidth), row.line);
}

TEST(ProgressLine, TenthsPercentAndAcknowledgedBytesFollowTheBlocks) {
    // Block 1 is the header; block n acknowledges (n - 1) * 512 image bytes, at most the size.
    EXPECT_EQ(AcknowledgedBytes(0, 5000), 0u);
    EXPECT_EQ(AcknowledgedBytes(1, 5000), 0u);
    EXPECT_EQ(AcknowledgedBytes(2, 5000), 512u);
    EXPECT_EQ(AcknowledgedBytes(11, 5000), 5000u);
    // The window's percent: the block about to go out counts, 100 only once completed.
    EXPECT_EQ(fk::TransferPercent(0, 11), 9);
    EXPECT_EQ(fk::TransferPercent(1, 11), 18);
    EXPECT_EQ(fk::TransferPercent(10, 11), 99);
    EXPECT_EQ(fk::TransferPercent(11, 11), 99);
    EXPECT_EQ(fk::TransferPercent(60000, 65600), 91);
    EXPECT_EQ(fk::TransferPercent(5, 0), 0);
    EXPECT_EQ(TenthDone({0, 5000, {}, 9}), 0);
    EXPECT_EQ(TenthDone({500, 5000, {}, 10}), 1);
    EXPECT_EQ(TenthDone({5000, 5000, {}, 99}), 9);
    EXPECT_EQ(TenthDone({5000, 5000, {}, 100}), 10);

    // A transfer of 5000 bytes is blocks 1 to 11: an acknowledgement moves it on only forward
    // and within them, and only its completion shows every byte and 100 percent.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point asked{std::chrono::seconds(100)};
    TransferProgress progress;
    progress.Begin(5000, asked);
    EXPECT_TRUE(progress.Acknowledge(3));
    EXPECT_FALSE(progress.Acknowledge(3));
    EXPECT_FALSE(progress.Acknowledge(2));
    EXPECT_FALSE(progress.Acknowledge(12));
    EXPECT_EQ(progress.Snapshot(asked + milliseconds(500)).bytes, 1024u);
    EXPECT_TRUE(progress.Acknowledge(11));
    auto last = progress.Snapshot(asked + milliseconds(500));
    EXPECT_EQ(last.bytes, 5000u);
    EXPECT_EQ(last.percent, 99);
    progress.End(true, asked + milliseconds(1000));
    last = progress.Snapshot(asked + milliseconds(9000));
    EXPECT_EQ(last.percent, 100);
    EXPECT_EQ(last.elapsed, milliseconds(1000));
    // Asked again: a transfer of its own.
    progress.Begin(512, asked);
    EXPECT_EQ(progress.Snapshot(asked).percent, fk::TransferPercent(0, 2));
    EXPECT_TRUE(progress.Acknowledge(2));
}

// A name that is not UTF-8 (a file's or card's, which are bytes) is readable in JSON and comes
// back byte for byte from its hex; error lines carry the program's name on every line.
// What each mode writes: on a terminal, lines go above a block of rows redrawn in place (a
// shrinking block leaves no stale row, a kept one stays); into a pipe, a line per change; with
// --json, events only.
TEST(TerminalOutput, EachModeWritesWhatItsReaderExpects) {
    std::vector<std::string> rows{"row 1", "row 2"};
    // Ten columns: a wider row is cut to nine characters, so it never wraps.
    const fk::cli::TerminalScreen screen{10, [](int erased) { std::printf("<%d>", erased); }};
    const auto run = [&](OutputMode mode, const std::function<void(TerminalOutput&)>& steps) {
        TerminalOutput output(
            mode, [&] { return rows; }, screen);
        ::testing::internal::CaptureStdout();
        steps(output);
        return ::testing::internal::GetCapturedStdout();
    };
    rows = {"row 1", "row 2"};
    EXPECT_EQ(run(OutputMode::Terminal,
                  [&](TerminalOutput& output) {
                      output.Changed("ignored");
                      output.Line("above");
                      rows = {"row 1"};
                      output.Line("shrunk");
                      output.Keep();
                      output.Line("below");
                      rows = {
                          "r\xc3\xa9"
                          "corder 02:5e:a1:30:01:01"};
                      output.Line("wide");
                  }),
              "row 1\nrow 2\n"
              "<2>above\nrow 1\nrow 2\n"
              "<2>shrunk\nrow 1\n"
              "<1>row 1\n"
              "below\nrow 1\n"
              "<1>wide\nr\xc3\xa9"
              "corder \n");
    EXPECT_EQ(run(OutputMode::Plain,
                  [](TerminalOutput& output) {
                      output.Changed("30:01:01 completed");
                      output.Moved();
                      output.Redraw();
                      output.Keep();
                      output.Line("Uploading fw\n\x1b[2J.bin");
                  }),
              "30:01:01 completed\nUploading fw\\x0a\\x1b[2J.bin\n");
    const std::string json = run(OutputMode::Json, [](TerminalOutput& output) {
        output.Line("not in JSON");
        output.Changed("nor this");
        const fk::StationRecorder recorder{{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01}, 0xC0A8010B};
        output.Tell("told", {{"event", "request"}}, &recorder);
    });
    EXPECT_EQ(json.find("not in JSON"), std::string::npos);
    EXPECT_EQ(json.find("nor this"), std::string::npos);
    EXPECT_NE(json.find(R"("address":"192.168.1.11")"), std::string::npos);
    EXPECT_NE(json.find(R"("event":"request")"), std::string::npos);
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1);
}

TEST(JsonText, NamesThatAreNotUtf8KeepTheirBytesInHex) {
    nlohmann::ordered_json event{{"image", "/tmp/fw_\xff\xc3(.bin"},
                                 {"card", "fk-pc0"},
                                 {"text", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
                                 {"size", 5}};
    MarkBytes(event);
    EXPECT_EQ(event["image"], "/tmp/fw_\xef\xbf\xbd\xef\xbf\xbd(.bin");
    EXPECT_EQ(event["image_hex"], "2f746d702f66775fffc3282e62696e");
    EXPECT_FALSE(event.contains("card_hex"));
    EXPECT_FALSE(event.contains("text_hex"));
    EXPECT_NO_THROW(nlohmann::json::parse(event.dump()));
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80"}) {
        EXPECT_FALSE(IsUtf8(bad)) << HexBytes(bad);
    }
    EXPECT_EQ(ErrorLines("one\ntwo\n"), "flashkit-cli: one\nflashkit-cli: two\n");
}

// A name reaches the terminal unable to act on it: no cursor moves, no line of its own.
TEST(TerminalText, ControlCharactersAndStrayBytesBecomeVisibleEscapes) {
    struct Row {
        std::string text, shown;
    };
    for (const Row& row : {
             Row{"fw.bin", "fw.bin"},
             Row{"fw\n\x1b[2J\r\t\x7f.bin", "fw\\x0a\\x1b[2J\\x0d\\x09\\x7f.bin"},
             Row{std::string("a\0b", 3), "a\\x00b"},
             // C1 controls as UTF-8 (U+009B is a one-character CSI); U+00A0 is printable.
             Row{"\xc2\x9b"
                 "31m\xc2\xa0",
                 "\\xc2\\x9b31m\xc2\xa0"},
             Row{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                 "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
             Row{"fw_\xff\xc3(.bin", "fw_\\xff\\xc3(.bin"},
             Row{"C:\\fw\\x1b.bin", "C:\\fw\\x1b.bin"},
         }) {
        EXPECT_EQ(TerminalText(row.text), row.shown) << HexBytes(row.text);
    }
    EXPECT_EQ(ErrorLines("File (fw\x1b[2J\r\nnext)"),
              "flashkit-cli: File (fw\\x1b[2J\\x0d\nflashkit-cli: next)\n");
}

TEST(RecorderMacArgument, TakesTheLastThreeOctetsOrTheWholeAddressWithThePrefix) {
    struct Row {
        const char* text;
        bool ok;
        fk::MacAddress mac;
    };
    const fk::MacAddress untouched = fk::kRecorderMacPrefix;
    for (const Row& row : {
             Row{"30:01:01", true, {0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01}},
             Row{"a-B-0c", true, {0x02, 0x5E, 0xA1, 0x0A, 0x0B, 0x0C}},
             Row{"02:5E:a1:30:05:05", true, {0x02, 0x5E, 0xA1, 0x30, 0x05, 0x05}},
             Row{"02:5e:a2:30:05:05", false, untouched},
             Row{"30:01", false, untouched},
             Row{"30:01:01:01", false, untouched},
             Row{"30::01", false, {0x02, 0x5E, 0xA1, 0x30, 0x00, 0x00}},
             Row{"300:01:01", false, untouched},
         }) {
        fk::MacAddress mac = fk::kRecorderMacPrefix;
        EXPECT_EQ(ParseRecorderMacArgument(row.text, mac), row.ok) << row.text;
        EXPECT_EQ(mac, row.mac) << row.text;
    }
}

// The check's firewall line holds only for a rule that lets UDP 67 and 69 in to this program.
TEST(FirewallRule, OnlyARuleLettingBothPortsInToThisProgramHolds) {
    const std::string self = "C:\\Program Files\\FlashKit\\flashkit-cli.exe";
    const FirewallRule installed{true, true, true, 17, "67,69", self};
    EXPECT_TRUE(LetsRecordersIn(installed, self));
    const auto with = [&](auto change) {
        FirewallRule rule = installed;
        change(rule);
        return LetsRecordersIn(rule, self);
    };
    EXPECT_TRUE(with([](auto& r) { r.program = "c:/program files/flashkit/FLASHKIT-CLI.EXE"; }));
    EXPECT_TRUE(with([](auto& r) { r.program.clear(); }));
    EXPECT_TRUE(with([](auto& r) {
        r.protocol = 256;
        r.localPorts = "*";
    }));
    EXPECT_TRUE(with([](auto& r) { r.localPorts = "60-68, 69"; }));
    EXPECT_FALSE(with([](auto& r) { r.program = "D:\\Old\\FlashKit\\flashkit-cli.exe"; }));
    EXPECT_FALSE(with([](auto& r) { r.localPorts = "67"; }));
    EXPECT_FALSE(with([](auto& r) { r.localPorts = "670,69"; }));
    EXPECT_FALSE(with([](auto& r) { r.protocol = 6; }));
    EXPECT_FALSE(with([](auto& r) { r.enabled = false; }));
    EXPECT_FALSE(with([](auto& r) { r.inbound = false; }));
    EXPECT_FALSE(with([](auto& r) { r.allows = false; }));
}

}  // namespace
