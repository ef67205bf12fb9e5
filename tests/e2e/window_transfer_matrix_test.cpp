// The TFTP side of an upgrade, end to end: the window in the pc namespace serves the simulated
// recorder (or a stock TFTP client) in the other. Image kinds and sizes, the recorder's own
// quirks and faults, and the ways a transfer can end without completing.

#include <QLineEdit>
#include <QObject>
#include <QProgressBar>
#include <QRegularExpression>
#include <algorithm>
#include <future>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/boot_server_double.h"
#include "tests/e2e/window_e2e.h"
#include "upgrade/tftp_engine.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const QColor kRed(255, 0, 0);

// Everything the operator saw on the status line and the progress bar, in order. Texts reach
// the line on the GUI thread, so they are recorded there as they are set.
class Watch {
  public:
    struct Seen {
        QString text;
        bool red;
    };

    explicit Watch(TKVUpgradeFrm& w) {
        QLineEdit* status = w.m_strStatus;
        QObject::connect(status, &QLineEdit::textChanged, &m_context, [this, status](QString t) {
            texts.push_back({t, status->palette().color(QPalette::Text) == kRed});
        });
        QObject::connect(w.m_ctrlProgXfer, &QProgressBar::valueChanged, &m_context,
                         [this](int value) { peak = std::max(peak, value); });
    }

    std::vector<Seen> texts;
    int peak = 0;

    bool Saw(const QString& text) const { return Find(text) != nullptr; }
    const Seen* Find(const QString& text) const {
        const auto at = std::find_if(texts.begin(), texts.end(),
                                     [&](const Seen& seen) { return seen.text == text; });
        return at == texts.end() ? nullptr : &*at;
    }
    // The numbers of the "Upload %d (%) Completed" texts, in order.
    std::vector<int> Percents() const {
        static const QRegularExpression progress(
            QStringLiteral(R"(^Upload (\d+) \(%\) Completed$)"));
        std::vector<int> percents;
        for (const auto& seen : texts) {
            if (const auto match = progress.match(seen.text); match.hasMatch())
                percents.push_back(match.captured(1).toInt());
        }
        return percents;
    }
    std::vector<QString> StartingWith(const QString& prefix) const {
        std::vector<QString> found;
        for (const auto& seen : texts)
            if (seen.text.startsWith(prefix)) found.push_back(seen.text);
        return found;
    }

  private:
    QObject m_context;  // the connections end with it
};

// Runs `work` on its own thread while the window's event loop goes on.
template <typename Work>
auto BesideEventLoop(Work work) {
    auto result = std::async(std::launch::async, std::move(work));
    const bool ended =
        QTest::qWaitFor([&] { return result.wait_for(0s) == std::future_status::ready; }, 60'000);
    EXPECT_TRUE(ended) << "the work outlived its own limit";
    return result.get();
}

class WindowTransferE2e : public WindowE2e {
  protected:
    // The end every completed upload shows: the progress texts climb to 100 (from the start
    // again if the recorder restarted), then "Uploading Completed", with the bar at 100, the
    // completion cue and the Upload button back.
    void ExpectCompleted(const Watch& watch, bool restarted = false) {
        ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
        const auto percents = watch.Percents();
        ASSERT_FALSE(percents.empty());
        if (!restarted) {
            EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        }
        EXPECT_EQ(percents.back(), 100);
        ASSERT_GE(watch.texts.size(), 2u);
        EXPECT_EQ(watch.texts.back().text, "Uploading Completed");
        EXPECT_EQ(watch.texts[watch.texts.size() - 2].text, "Upload 100 (%) Completed");
        EXPECT_EQ(Status(), "Uploading Completed");
        EXPECT_EQ(watch.peak, 100);
        EXPECT_EQ(m_window->m_ctrlProgXfer->value(), 100);
        EXPECT_TRUE(m_window->ImgPageCtrl->isEnabled());
        EXPECT_FALSE(m_window->Uploading());
        EXPECT_TRUE(PortsFree());
    }
};

std::vector<std::uint8_t> DataImage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251 + i / 4099);
    return bytes;
}

// ---- Kinds and sizes ------------------------------------------------------------------------

struct Shape {
    int page;  // 0 System Image, 1 Data Image
    std::size_t size;
    const char* name;
};

// Test names and failure reports show the case by its name.
void PrintTo(const Shape& shape, std::ostream* out) {
    *out << shape.name;
}

class ImageShapes : public WindowTransferE2e, public ::testing::WithParamInterface<Shape> {};

// Sizes: one short block, a whole number of blocks (an empty final block follows), three full
// blocks, and a few MiB whose block numbers run into the thousands. A system image carries the
// simulator's trailer, so it is at least four bytes; the empty one is refused below.
INSTANTIATE_TEST_SUITE_P(
    KindsAndSizes, ImageShapes,
    ::testing::Values(Shape{0, 1000, "System1000"}, Shape{0, 1024, "System1024"},
                      Shape{0, 512 * 3, "System1536"}, Shape{0, 3 * 1024 * 1024 + 77, "System3MiB"},
                      Shape{1, 0, "Data0"}, Shape{1, 1000, "Data1000"}, Shape{1, 1024, "Data1024"},
                      Shape{1, 512 * 3, "Data1536"}, Shape{1, 3 * 1024 * 1024, "Data3MiB"}),
    [](const ::testing::TestParamInfo<Shape>& info) { return std::string(info.param.name); });

TEST_P(ImageShapes, ArriveAsHeaderAndImageByteForByte) {
    const Shape shape = GetParam();
    auto& w = OpenWindow();
    Watch watch(w);
    const bool system = shape.page == 0;
    const auto image = system ? SystemImage(shape.size) : DataImage(shape.size);
    Prepare(shape.page, Image(system ? "fw_e2e.bin" : "font.fnt", image));
    const fs::path received = m_work / "received";
    Recorder recorder(
        *m_net,
        {"--fetch", "--expect-kind", system ? "system" : "data", "--output", received.string()},
        30s);

    Press();
    const auto run = recorder.Finish();

    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.Line("tftp").at("status"), "complete");
    // The bytes as they arrived, in block order: the header block, then the image.
    EXPECT_TRUE(ReadAll(received) ==
                HeaderAndImage(system ? 1 : 2, static_cast<std::uint32_t>(shape.size), image));
    ExpectCompleted(watch);
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_FALSE(watch.Saw("Tftp error received"));
}

TEST_F(WindowTransferE2e, AnEmptySystemImageHasNoTrailerAndIsRefusedBeforeAnySocket) {
    OpenWindow();
    const fs::path empty = Image("fw_empty.bin", {});
    Prepare(0, empty);

    const QString before = Status();
    Press();

    // The check's own box, then the refusal, then the browse dialog to pick another.
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, "File (" + empty.string() + ") Seek Error (Error Code = 22)");
    EXPECT_EQ(shown[0].caption, kApplicationTitle);
    EXPECT_EQ(shown[1].caption, "Check system image file");
    EXPECT_EQ(dialogs.requests.size(), 1u);
    EXPECT_EQ(Status(), before);
    EXPECT_EQ(Caption(), "&Upload");
    EXPECT_TRUE(PortsFree());
}

// ---- The recorder's quirks and faults that the transfer rides out -----------------------------

struct Quirk {
    const char* name;
    std::vector<std::string> arguments;
    const char* shown;  // a text that must have appeared on the status line, or null
    bool shownInRed;
    std::map<std::string, std::string> recorderSays;  // fields of the simulator's tftp line
    // DATA packets on the wire beyond the blocks held and the window's resends ("retry
    // transfer"): those of a transfer the recorder restarted.
    unsigned extraData = 0;
};

void PrintTo(const Quirk& quirk, std::ostream* out) {
    *out << quirk.name;
}

class RecorderQuirks : public WindowTransferE2e, public ::testing::WithParamInterface<Quirk> {};

INSTANTIATE_TEST_SUITE_P(
    Faults, RecorderQuirks,
    ::testing::Values(
        Quirk{"UpperCaseName", {"--upper-case-name"}, nullptr, false, {{"duplicates", "0"}}},
        // Nothing at all answers the wrong name, not even an ERROR packet.
        Quirk{"WrongNameThenRightName",
              {"--wrong-name", "other.bin"},
              "Tftp file request error: file name is not same between Bootp and Tftp.",
              true,
              {{"server_errors", "0"}, {"malformed", "0"}}},
        // Every ACK twice: the second of each sends nothing, so every block goes out once.
        Quirk{"DuplicateAcks",
              {"--duplicate-acks", "2"},
              nullptr,
              false,
              {{"duplicates", "0"}, {"stale", "0"}, {"acks_sent", "14"}}},
        Quirk{"ErrorPacket", {"--send-error"}, "Tftp error received", true, {{"stale", "0"}}},
        // The ACK of block 3 is lost: the window's resend of block 3 brings the next one.
        Quirk{"LostAckRecoveredByTheResend",
              {"--lose-ack", "3"},
              "retry transfer 0",
              false,
              {{"duplicates", "0"}, {"retries", "0"}}},
        // A boot loader's client, its ACK of block 3 late past the resend: the resend and the
        // late ACK bring two ACKs of block 3, and the second sends nothing. (Answering it would
        // put every later block on the wire twice, each copy acknowledged in turn.)
        Quirk{"LateAckToAClientThatAcknowledgesRepeats",
              {"--ack-repeats", "--retry", "0.3", "--hold-ack", "3", "--hold", "5"},
              "retry transfer 0",
              false,
              {{"duplicates", "1"}, {"stale", "0"}}},
        // The ACK of the final block is lost: the final block is resent like any other, and
        // only its acknowledgement completes the upload.
        Quirk{"LostFinalAckRecoveredByTheResend",
              {"--drop-final-ack", "once"},
              "retry transfer 0",
              false,
              {{"duplicates", "0"}, {"last_block", "7"}}},
        // The recorder asks afresh when block 4 comes: the transfer starts again at the header.
        Quirk{"NewRequestMidTransfer",
              {"--restart-at", "4"},
              nullptr,
              false,
              {{"restarts", "1"}, {"stale", "0"}},
              4}),
    [](const ::testing::TestParamInfo<Quirk>& info) { return std::string(info.param.name); });

TEST_P(RecorderQuirks, TheTransferStillCompletesByteForByte) {
    const Quirk& quirk = GetParam();
    auto& w = OpenWindow();
    Watch watch(w);
    const auto image = SystemImage(3000);
    Prepare(0, Image("Fw_E2e.bin", image));
    const fs::path received = m_work / "received";
    std::vector<std::string> arguments{"--fetch", "--expect-kind", "system", "--output",
                                       received.string()};
    arguments.insert(arguments.end(), quirk.arguments.begin(), quirk.arguments.end());
    Recorder recorder(*m_net, arguments, 15s);

    Press();
    const auto run = recorder.Finish();

    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto tftp = run.Line("tftp");
    EXPECT_EQ(tftp.at("status"), "complete");
    EXPECT_TRUE(ReadAll(received) == HeaderAndImage(1, 3000, image));
    ExpectCompleted(watch, quirk.extraData > 0);
    EXPECT_TRUE(boxes.Shown().empty());
    if (quirk.shown) {
        const auto* seen = watch.Find(quirk.shown);
        ASSERT_NE(seen, nullptr) << quirk.shown;
        EXPECT_EQ(seen->red, quirk.shownInRed);
        EXPECT_EQ(ErrorCuePlayed(), quirk.shownInRed);
    } else {
        EXPECT_FALSE(ErrorCuePlayed());
    }
    EXPECT_EQ(tftp.at("blocks"), "7");
    for (const auto& [field, value] : quirk.recorderSays) EXPECT_EQ(tftp.at(field), value) << field;
    // Every DATA packet is a block or a resend the time-out made: none answers a repeated ACK.
    const auto resends = watch.StartingWith("retry transfer").size();
    EXPECT_EQ(std::stoul(tftp.at("data")), 7 + resends + quirk.extraData) << run.out;
}

// ---- A stock TFTP client --------------------------------------------------------------------

struct Client {
    const char* name;
    // The command on the recorder side: server address, remote name, local path.
    std::vector<std::string> (*command)(const std::string&, const std::string&, const std::string&);
};

void PrintTo(const Client& client, std::ostream* out) {
    *out << client.name;
}

class StockClients : public WindowTransferE2e, public ::testing::WithParamInterface<Client> {};

INSTANTIATE_TEST_SUITE_P(
    Debian, StockClients,
    ::testing::Values(
        Client{"TftpHpa",
               [](const std::string& server, const std::string& name, const std::string& path) {
                   return std::vector<std::string>{"tftp", "-m",  "binary", server,
                                                   "-c",   "get", name,     path};
               }},
        Client{"Curl",
               [](const std::string& server, const std::string& name, const std::string& path) {
                   return std::vector<std::string>{
                       "curl", "--silent", "--show-error", "--max-time",
                       "10",   "--output", path,           "tftp://" + server + "/" + name};
               }}),
    [](const ::testing::TestParamInfo<Client>& info) { return std::string(info.param.name); });

TEST_P(StockClients, FetchTheHeaderAndImageWhileTheWindowAnnounces) {
    const Client& client = GetParam();
    auto& w = OpenWindow();
    Watch watch(w);
    const auto image = DataImage(5000);
    Prepare(1, Image("font.fnt", image));
    // A stock client knows its own address and the server's; the window's neighbour entry for
    // the recorder address then only repeats what ARP would find.
    ASSERT_TRUE(GiveRecorderAddress(*m_net, std::string(kRecorderAddress) + "/24"));
    const fs::path received = m_work / "received";
    std::vector<std::string> argv{"ip", "netns", "exec", m_net->recorder};
    const auto command = client.command("192.168.77.1", "font.fnt", received.string());
    argv.insert(argv.end(), command.begin(), command.end());

    Press();
    ASSERT_EQ(Status(), "Uploading Started");
    const auto run = BesideEventLoop([&] { return ChildProcess(argv, 15s).Wait(); });

    EXPECT_FALSE(run.killedAtLimit) << run.out << run.err;
    EXPECT_TRUE(ReadAll(received) == HeaderAndImage(2, 5000, image)) << run.out << run.err;
    ExpectCompleted(watch);
}

// ---- Transfers that do not complete ---------------------------------------------------------

TEST_F(WindowTransferE2e, ASilentRecorderEndsInTheSendTimeOutAfterTwentyResends) {
    // Twenty resends and the give-up at the interval given, a couple of seconds in all.
    m_options.sendTimeOut = 100ms;
    auto& w = OpenWindow();
    Watch watch(w);
    Prepare(0, Image("fw_e2e.bin", SystemImage(20'000)));
    Recorder recorder(*m_net, {"--fetch", "--stop-after", "2"}, 5s);
    constexpr const char* kGiveUp = "TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)";

    Press();
    ASSERT_TRUE(WaitFor([&] { return watch.Saw(kGiveUp); }, 20'000));

    const std::vector<QString> retries = ResendTexts();
    EXPECT_EQ(watch.StartingWith("retry transfer"), retries);
    // The reason, in red; no end but a completion says "Uploading Completed", even for a moment.
    EXPECT_FALSE(watch.Saw("Uploading Completed"));
    EXPECT_EQ(watch.texts.back().text, kGiveUp);
    EXPECT_TRUE(watch.texts.back().red);
    ASSERT_TRUE(WaitFor([&] { return !boxes.Shown().empty(); }));
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kGiveUp);
    EXPECT_EQ(shown[0].caption, "FlashPilot Transmission Error");
    EXPECT_EQ(shown[0].icon, platform::MessageIcon::Stop);
    EXPECT_TRUE(WaitFor([&] { return Caption() == "&Upload"; }));
    EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
    EXPECT_FALSE(w.Uploading());
    EXPECT_FALSE(CompletionCuePlayed());
    EXPECT_LT(watch.peak, 100);
    EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
    EXPECT_TRUE(PortsFree());

    const auto run = recorder.Finish();
    EXPECT_EQ(run.Line("tftp").at("status"), "stopped") << run.out << run.err;
    // Block 3 went out once and then twenty times again.
    EXPECT_EQ(run.Line("tftp").at("silent_data"), "21");
}

// The recorder has every byte but its acknowledgement of the final block never arrives: the
// window must not claim a success the recorder did not confirm, nor a failure that invites the
// operator to switch off a recorder that may be writing its flash.
TEST_F(WindowTransferE2e, AFinalBlockNeverAcknowledgedEndsUnconfirmedNotInSuccess) {
    m_options.sendTimeOut = 100ms;
    auto& w = OpenWindow();
    Watch watch(w);
    const auto image = SystemImage(3000);
    Prepare(0, Image("fw_e2e.bin", image));
    const fs::path received = m_work / "received";
    Recorder recorder(*m_net,
                      {"--fetch", "--drop-final-ack", "always", "--output", received.string()}, 5s);
    constexpr const char* kUnconfirmed = "Upload not confirmed: do not switch the recorder off";

    Press();
    ASSERT_TRUE(WaitFor([&] { return watch.Saw(kUnconfirmed); }, 20'000));
    // Until the end the port stayed open for the final block's acknowledgement.
    const std::vector<QString> retries = ResendTexts();
    EXPECT_EQ(watch.StartingWith("retry transfer"), retries);
    EXPECT_EQ(watch.texts.back().text, kUnconfirmed);
    EXPECT_FALSE(watch.Saw("Upload 100 (%) Completed"));
    EXPECT_FALSE(watch.Saw("Uploading Completed"));
    EXPECT_FALSE(watch.Saw("TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)"));
    EXPECT_LT(watch.peak, 100);
    EXPECT_FALSE(CompletionCuePlayed());
    ASSERT_TRUE(WaitFor([&] { return !boxes.Shown().empty(); }));
    EXPECT_EQ(boxes.Shown()[0].caption, "Upload not confirmed");
    EXPECT_TRUE(WaitFor([&] { return Caption() == "&Upload"; }));
    EXPECT_TRUE(PortsFree());

    const auto run = recorder.Finish();
    const auto tftp = run.Line("tftp");
    EXPECT_EQ(tftp.at("status"), "stopped") << run.out << run.err;
    EXPECT_TRUE(ReadAll(received) == HeaderAndImage(1, 3000, image));
    // The final block once and twenty times again.
    EXPECT_EQ(tftp.at("silent_data"), "20");
    EXPECT_EQ(tftp.at("data"), "27");
}

TEST_F(WindowTransferE2e, AnImageDeletedMidTransferShowsTheOpenErrorAndAbortStillWorks) {
    auto& w = OpenWindow();
    Watch watch(w);
    const fs::path image = Image("fw_e2e.bin", SystemImage(20'000));
    Prepare(0, image);
    // The recorder sits on its ACK of block 4 long enough for the file to go.
    Recorder recorder(*m_net, {"--fetch", "--hold-ack", "4", "--hold", "2"}, 4s);
    const std::string openError = "File (" + image.string() + ") Open Error (Error Code = 2)";

    Press();
    ASSERT_TRUE(WaitFor([&] { return Status().startsWith("retry transfer"); }));
    ASSERT_TRUE(fs::remove(image));
    ASSERT_TRUE(WaitFor([&] { return watch.Saw(QString::fromStdString(openError)); }));

    EXPECT_TRUE(watch.Find(QString::fromStdString(openError))->red);
    ASSERT_TRUE(WaitFor([&] { return !boxes.Shown().empty(); }));
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, openError);
    EXPECT_EQ(shown[0].caption, kApplicationTitle);
    EXPECT_TRUE(w.Uploading());
    EXPECT_EQ(Caption(), "&Abort");

    Press();
    EXPECT_EQ(Status(), "Uploading Aborted");
    EXPECT_EQ(Caption(), "&Upload");
    EXPECT_TRUE(w.ImgPageCtrl->isEnabled());
    EXPECT_FALSE(w.Uploading());
    EXPECT_FALSE(CompletionCuePlayed());
    EXPECT_EQ(Neighbour(m_net->pcLink, kRecorderAddress).find("lladdr"), std::string::npos);
    EXPECT_TRUE(PortsFree());
    const auto run = recorder.Finish();
    EXPECT_EQ(run.Line("tftp").at("last_block"), "4") << run.out << run.err;
}

// Beside the stalled transfer of the upload tests: here the worker is busy sending and its
// reports are still queued for the window when it goes.
TEST_F(WindowTransferE2e, ClosingTheWindowWhileBlocksFlowLeavesNothingBehind) {
    constexpr std::size_t kSize = 30 * 1024 * 1024;  // some seconds of blocks
    auto& w = OpenWindow();
    Watch watch(w);
    Prepare(1, Image("font.fnt", DataImage(kSize)));
    Recorder recorder(*m_net, {"--fetch", "--expect-kind", "data"}, 3s);

    Press();
    ASSERT_TRUE(WaitFor([&] { return watch.peak >= 1; }));
    DestroyMainWindow(std::move(m_window));
    // Whatever the worker had queued for the window is dropped with it.
    QTest::qWait(100);

    // (The entry's delete is checked where the recorder is quiet: here an ACK in flight meets
    // the closed port, and the kernel's answer to it makes an entry of its own.)
    EXPECT_TRUE(PortsFree());
    EXPECT_TRUE(boxes.Shown().empty());
    const auto run = recorder.Finish();
    EXPECT_EQ(run.Line("tftp").at("status"), "timed_out") << run.out << run.err;
    EXPECT_LT(std::stoul(run.Line("tftp").at("blocks")), kSize / 512);
}

}  // namespace
}  // namespace fk::testing
