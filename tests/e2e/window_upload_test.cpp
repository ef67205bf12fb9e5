// The window, built in-process inside the pc namespace of a private namespace pair with the real
// card list and neighbour table, upgrades the simulated recorder on the other side. The window is
// driven through its handlers as the operator would; the recorder is flashkit-recorder-sim.

#include <QLabel>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <string>
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
using Clock = std::chrono::steady_clock;

std::vector<long long> Stamps(const fs::path& periodLog) {
    std::ifstream log(periodLog);
    return {std::istream_iterator<long long>(log), {}};
}

// The threads of this process now.
std::size_t ThreadCount() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator{}));
}

long long NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

class WindowUploadE2e : public WindowE2e {};

TEST_F(WindowUploadE2e, SystemImageIsUpgradedByteForByte) {
    auto& w = OpenWindow();
    const auto image = SystemImage(1000);
    Prepare(0, Image("fw_e2e.bin", image));
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--fetch", "--expect-kind", "1", "--output", received.string()},
                      15s);

    Press();
    EXPECT_EQ(Caption(), "&Abort");
    EXPECT_FALSE(w.ImgPageCtrl->isEnabled());
    const auto run = recorder.Finish();

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.Line("bootp").at("file"), "fw_e2e.bin");
    EXPECT_EQ(run.Line("bootp").at("yiaddr"), kRecorderAddress);
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 1000, image));
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
    EXPECT_EQ(Status(), "Uploading Completed");
    EXPECT_EQ(w.m_ctrlProgXfer->value(), 100);
    EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
    EXPECT_FALSE(w.Uploading());
    EXPECT_TRUE(boxes.Shown().empty());
    // The stop closed both ports. (Its entry delete is checked where the recorder stays quiet:
    // here its last ACK meets a closed port, and the kernel's answer makes an entry of its own.)
    EXPECT_TRUE(PortsFree());
    // The window's upload is on record, with the hash of exactly the bytes the recorder got.
    const auto rows = RecordedUploads();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].start.program, "flashkit");
    EXPECT_EQ(rows[0].start.card, m_net->pcLink);
    EXPECT_EQ(rows[0].start.recorderMac, kRecorderMacText);
    EXPECT_EQ(rows[0].start.recorderAddress, kRecorderAddress);
    EXPECT_EQ(rows[0].start.kind, "system");
    EXPECT_EQ(rows[0].end.outcome, "completed");
    EXPECT_EQ(rows[0].end.finalText, "Uploading Completed");
    EXPECT_EQ(rows[0].end.bytesServed, 1000u);
    EXPECT_EQ(rows[0].end.sha256, Sha256Hex(image));
}

TEST_F(WindowUploadE2e, DataImageIsUpgradedByteForByteAndASecondUploadStartsAfresh) {
    auto& w = OpenWindow();
    std::vector<std::uint8_t> font(3000);
    for (std::size_t i = 0; i < font.size(); ++i) font[i] = static_cast<std::uint8_t>(i % 251);
    Prepare(1, Image("Font.Fnt", font));
    const fs::path received = m_work / "received.fnt";

    for (int upload = 0; upload < 2; ++upload) {
        SCOPED_TRACE(upload);
        sound.Clear();
        fs::remove(received);
        Recorder recorder(*m_net,
                          {"--fetch", "--expect-kind", "data", "--output", received.string()}, 15s);
        Press();
        // Every upload starts from an empty bar.
        EXPECT_EQ(w.m_ctrlProgXfer->value(), 0);
        const auto run = recorder.Finish();
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.Line("bootp").at("file"), "font.fnt");
        EXPECT_EQ(ReadAll(received), HeaderAndImage(2, 3000, font));
        ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
        EXPECT_EQ(Status(), "Uploading Completed");
        EXPECT_EQ(w.m_ctrlProgXfer->value(), 100);
    }
}

TEST_F(WindowUploadE2e, AnnouncesEvery30MsWithTheEntryInPlaceAndFallsSilentAtAbort) {
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(1000)));
    const fs::path periodLog = m_work / "periods";
    // Only listens: it never asks for the file, so the window keeps announcing until Abort.
    Recorder recorder(*m_net, {"--count", "100000", "--period-log", periodLog.string()}, 3s);
    const std::size_t threads = ThreadCount();

    Press();
    ASSERT_TRUE(WaitFor([&] { return Stamps(periodLog).size() >= 20; }, 5'000));
    // An upload adds its network thread and no other (no neighbour keeper, no card follower).
    EXPECT_EQ(ThreadCount(), threads + 1);
    // A reply reached a recorder without an address, so the entry was there before the first.
    const std::string entry = Neighbour(m_net->pcLink, kRecorderAddress);
    EXPECT_NE(entry.find(std::string("lladdr ") + kRecorderMacText), std::string::npos) << entry;
    EXPECT_EQ(Status(), "Uploading Started");

    Press();
    const long long abortedAt = NowMicros();
    EXPECT_EQ(Caption(), "&Upload");
    EXPECT_EQ(Status(), "Uploading Aborted");
    EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
    EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
    EXPECT_TRUE(PortsFree());
    EXPECT_EQ(ThreadCount(), threads);
    const auto rows = RecordedUploads();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].end.outcome, "aborted");
    EXPECT_EQ(rows[0].end.bytesServed, 0u);

    const auto run = recorder.Finish();
    EXPECT_FALSE(run.killedAtLimit);
    const auto stamps = Stamps(periodLog);
    ASSERT_GE(stamps.size(), 20u);
    // Generous bounds: they catch a wrong period or a burst, not scheduling noise.
    const double mean = double(stamps.back() - stamps.front()) / double(stamps.size() - 1);
    EXPECT_GT(mean, 20'000);
    EXPECT_LT(mean, 60'000);
    // Nothing after the stop, allowing one period for a reply already on its way.
    EXPECT_LT(stamps.back(), abortedAt + 30'000);
}

TEST_F(WindowUploadE2e, BusyPortsShowTheStepErrorAndTheNextUploadSucceeds) {
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(1000)));
    for (const auto& [port, text] :
         {std::pair<std::uint16_t, const char*>{67, "Step 3 bootp socket error: error code (98)"},
          {69, "Step 3 tftp socket error: error code (98)"}}) {
        SCOPED_TRACE(port);
        {
            BusyPort busy(port);
            ASSERT_TRUE(busy.bound);
            Press();
            EXPECT_EQ(Status(), text);
            EXPECT_EQ(w.m_strStatus->palette().color(QPalette::Text), QColor(255, 0, 0));
            EXPECT_TRUE(w.BTimer->isActive());
            EXPECT_EQ(Caption(), "&Abort");
            EXPECT_FALSE(w.ImgPageCtrl->isEnabled());
            EXPECT_FALSE(w.Uploading());

            Press();
            EXPECT_EQ(Status(), "Uploading Aborted");
            EXPECT_EQ(Caption(), "&Upload");
            // Usable again, so the operator can pick another image before the next try.
            EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
        }
        // Nothing of the failed start is left open.
        EXPECT_TRUE(PortsFree());
        Recorder recorder(*m_net, {"--count", "2"}, 5s);
        Press();
        EXPECT_TRUE(w.Uploading());
        EXPECT_EQ(recorder.Finish().exitCode, 0);
        Press();
        EXPECT_EQ(Status(), "Uploading Aborted");
        ASSERT_TRUE(PortsFree());
    }
    EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(WindowUploadE2e, RefusedInputsShowTheirBoxAndOpenNoSocket) {
    auto& w = OpenWindow();
    const fs::path good = Image("fw_e2e.bin", SystemImage(1000));
    auto otherSeries = SystemImage(1000);
    otherSeries[998] = 0x07;
    const fs::path wrongRecorder = Image("fw_other.bin", otherSeries);
    const fs::path longName = Image(std::string(124, 'n') + ".bin", SystemImage(1000));
    // Sparse, with the trailer of the simulator's recorder at its end.
    const fs::path tooLarge = m_work / "huge.bin";
    WriteFile(tooLarge, {});
    fs::resize_file(tooLarge, kMaxImageSize + 1 - 4);
    std::ofstream(tooLarge, std::ios::binary | std::ios::app).write("\0\0\x05\x20", 4);
    Prepare(0, good);

    struct Case {
        const char* what;
        std::function<void()> setUp;
        std::string text, caption;
        std::size_t browseRequests;
    };
    const std::vector<Case> cases{
        {"invalid MAC", [&] { TypeMac("30", "1G", "01"); }, "MAC address is invalid",
         "MAC address error", 0},
        {"missing system image",
         [&] { w.m_strSysFile->setText(QString::fromStdString((m_work / "gone.bin").string())); },
         "Image file is invalid", "Image file error", 1},
        {"missing data image",
         [&] {
             w.ImgPageCtrl->setCurrentIndex(1);
             w.m_strDataFile->setText(QString::fromStdString((m_work / "gone.fnt").string()));
         },
         "Image file is invalid", "Image file error", 1},
        {"image for another recorder",
         [&] { w.m_strSysFile->setText(QString::fromStdString(wrongRecorder.string())); },
         "The uploading system file image doesn't agree right with system to upload.",
         "Check system image file", 1},
        {"boot name too long for the BOOTP file field",
         [&] { w.m_strSysFile->setText(QString::fromStdString(longName.string())); },
         BootFileNameTooLongText(longName.filename().string()), kUploadCheckCaption, 0},
        {"image beyond the last block number",
         [&] { w.m_strSysFile->setText(QString::fromStdString(tooLarge.string())); },
         ImageTooLargeText(), kUploadCheckCaption, 0},
        // The recorder's address (the rule gives .2 for the card's .1) taken by another device's
        // fixed entry, then also by the gateway: neither may be overwritten.
        {"recorder address held by another device",
         [&] { PcCommand("neigh add 192.168.77.2 lladdr 52:54:00:12:34:56 nud permanent dev "); },
         RecorderAddressHeldText(ParseDottedQuad("192.168.77.2"),
                                 "the device 52:54:00:12:34:56 (a fixed neighbour entry)"),
         kRecorderAddressHeldCaption, 0},
        {"recorder address held by the gateway",
         [&] { PcCommand("route add default via 192.168.77.2 dev "); },
         RecorderAddressHeldText(ParseDottedQuad("192.168.77.2"),
                                 "the gateway of this network card"),
         kRecorderAddressHeldCaption, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Prepare(0, good);
        c.setUp();
        w.m_strStatus->setText("before");
        boxes.shown.clear();
        dialogs.requests.clear();

        Press();
        const auto shown = boxes.Shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, c.text);
        EXPECT_EQ(shown[0].caption, c.caption);
        EXPECT_EQ(shown[0].icon, platform::MessageIcon::Stop);
        EXPECT_EQ(dialogs.requests.size(), c.browseRequests);
        EXPECT_EQ(Status(), "before");
        EXPECT_EQ(Caption(), "&Upload");
        EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
        EXPECT_TRUE(PortsFree());
    }
    const std::string held = Neighbour(m_net->pcLink, "192.168.77.2");
    EXPECT_NE(held.find("lladdr 52:54:00:12:34:56"), std::string::npos) << held;
    EXPECT_NE(held.find("PERMANENT"), std::string::npos) << held;

    // A device that owns the address unknown to the PC is found only by the probe as the entry
    // is added: the upload stops with the same box, and nothing points the address elsewhere.
    PcCommand("neigh del 192.168.77.2 dev ");
    PcCommand("route del default via 192.168.77.2 dev ");
    for (const std::string& command :
         {"link set " + m_net->recorderLink + " address 52:54:00:ab:cd:ef",
          "addr add 192.168.77.2/24 dev " + m_net->recorderLink}) {
        ASSERT_EQ(RunCommand("ip -n " + m_net->recorder + " " + command), 0) << command;
    }
    Prepare(0, good);
    boxes.shown.clear();
    Press();
    ASSERT_TRUE(WaitFor([&] { return !boxes.Shown().empty(); }));
    const auto shown = boxes.Shown();
    EXPECT_EQ(shown[0].text,
              RecorderAddressHeldText(ParseDottedQuad("192.168.77.2"), kAnsweringDeviceHolder));
    EXPECT_EQ(shown[0].caption, kRecorderAddressHeldCaption);
    EXPECT_EQ(shown[0].icon, platform::MessageIcon::Stop);
    EXPECT_EQ(Caption(), "&Upload");
    EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
    EXPECT_TRUE(PortsFree());
    EXPECT_EQ(Neighbour(m_net->pcLink, "192.168.77.2").find("02:5e:a1"), std::string::npos);
}

TEST_F(WindowUploadE2e, PickingAnotherCardWhileAnnouncingMovesTheReplies) {
    const std::string second = "fkm" + m_net->pcLink.substr(3);
    for (const std::string& command :
         {"link add " + second + " link " + m_net->pcLink + " type macvlan mode bridge",
          "addr add 192.168.88.1/24 dev " + second, "link set " + second + " up"}) {
        ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " " + command), 0) << command;
    }
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(1000)));
    Press();
    {
        Recorder recorder(*m_net, {"--count", "3"}, 5s);
        const auto run = recorder.Finish();
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.Line("bootp").at("yiaddr"), kRecorderAddress);
        EXPECT_EQ(run.Line("bootp").at("siaddr"), "192.168.77.1");
    }

    PickCard(second);
    ASSERT_EQ(w.m_ctrlAddrIp->text(), "192.168.88.1");
    Recorder recorder(*m_net, {"--count", "3"}, 5s);
    const auto run = recorder.Finish();
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.Line("bootp").at("yiaddr"), "192.168.88.2");
    EXPECT_EQ(run.Line("bootp").at("siaddr"), "192.168.88.1");
    EXPECT_NE(Neighbour(second, "192.168.88.2").find("lladdr"), std::string::npos);
    // The sockets serve the picked card alone now: the recorder's request arrives on it.
    EXPECT_EQ(CommandOutput("ip netns exec " + m_net->pc +
                            " ss -uan 'sport = :67 or sport = :69' | awk 'NR > 1 { print $4 }' | "
                            "sort"),
              "0.0.0.0%" + second + ":67\n0.0.0.0%" + second + ":69\n");

    // Abort deletes the entries of both cards.
    Press();
    EXPECT_EQ(Status(), "Uploading Aborted");
    EXPECT_EQ(Neighbour(second, "192.168.88.2").find("lladdr"), std::string::npos);
    EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
}

TEST_F(WindowUploadE2e, ClosingTheWindowMidTransferShutsDownCleanly) {
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(20'000)));
    // The recorder goes silent after block 4, so the transfer stands with the window resending.
    Recorder recorder(*m_net, {"--fetch", "--stop-after", "4"}, 4s);
    Press();
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("retry transfer"); }));
    EXPECT_GT(w.m_ctrlProgXfer->value(), 0);
    EXPECT_TRUE(w.Uploading());
    EXPECT_NE(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);

    DestroyMainWindow(std::move(m_window));

    EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
    EXPECT_TRUE(PortsFree());
    const auto run = recorder.Finish();
    EXPECT_EQ(run.Line("tftp").at("status"), "stopped") << run.out << run.err;
    EXPECT_TRUE(boxes.Shown().empty());
}

}  // namespace
}  // namespace fk::testing
