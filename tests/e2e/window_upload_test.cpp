// The window, built in-process inside the pc namespace of a private namespace pair with the real
// card list and neighbour table, upgrades the simulated recorder on the other side. The window is
// driven through its handlers as the operator would; the recorder is flashkit-recorder-sim.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/kvupgradefrm.h"
#include "app/startup.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/tcpip_config.h"
#include "tests/e2e/boot_server_double.h"
#include "tests/support/fakes.h"
#include "tests/support/netns.h"
#include "tests/support/recorder_process.h"
#include "upgrade/upload_checks.h"
#include "upgrade/upload_session.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// 30 01 01 is an early recorder of the 0x30 family: its images end in series 05, sub-code 20.
constexpr const char* kRecorderMacText = "02:5e:a1:30:01:01";
constexpr const char* kRecorderAddress = "192.168.77.2";

std::vector<std::uint8_t> SystemImage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 509);
    std::copy_n(std::begin({0x00, 0x00, 0x05, 0x20}), 4, bytes.end() - 4);
    return bytes;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string Output(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        pclose(pipe);
    }
    return text;
}

std::vector<long long> Stamps(const fs::path& periodLog) {
    std::ifstream log(periodLog);
    return {std::istream_iterator<long long>(log), {}};
}

long long NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// A UDP port held by another server of the PC; released with the object.
class BusyPort {
  public:
    explicit BusyPort(std::uint16_t port) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BusyPort() {
        if (m_fd >= 0) close(m_fd);
    }
    BusyPort(const BusyPort&) = delete;
    BusyPort& operator=(const BusyPort&) = delete;
    bool bound = false;

  private:
    int m_fd;
};

// The simulated recorder, run beside the event loop.
class Recorder {
  public:
    Recorder(const NetnsPair& net, std::vector<std::string> arguments, std::chrono::seconds timeout)
        : m_process(net, WithTimeout(std::move(arguments), timeout), timeout + 5s),
          m_result(std::async(std::launch::async, [this] { return m_process.Wait(); })) {}

    // Lets the window work while waiting; bounded by the simulator's own limit.
    ProcessResult Finish() {
        const bool ended = QTest::qWaitFor(
            [this] { return m_result.wait_for(0s) == std::future_status::ready; }, 60'000);
        EXPECT_TRUE(ended) << "the simulator outlived its own limit";
        return m_result.get();
    }

  private:
    static std::vector<std::string> WithTimeout(std::vector<std::string> arguments,
                                                std::chrono::seconds timeout) {
        arguments.insert(arguments.end(), {"--timeout", std::to_string(timeout.count())});
        return arguments;
    }
    RecorderProcess m_process;
    std::future<ProcessResult> m_result;
};

class WindowUploadE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
        m_net = std::make_unique<NetnsPair>("192.168.77.1/24", kRecorderMacText);
        m_work = fs::temp_directory_path() /
                 ("fk-e2e-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_work);
        // The resend time-out is shortened so that a silent recorder shows within a test.
        m_options.sendTimeOut = 500ms;
    }

    void TearDown() override {
        if (m_window) DestroyMainWindow(std::move(m_window));
        m_net.reset();
        std::error_code ignored;
        fs::remove_all(m_work, ignored);
    }

    // Everything the window opens (card list, neighbour table, sockets, workers) lives in the
    // pc namespace from here on.
    TKVUpgradeFrm& OpenWindow() {
        m_net->EnterPc();
        m_adapters = platform::MakeSystemAdapterSource();
        m_neighbours = platform::MakeSystemNeighbourTable();
        m_tcpip = platform::MakeKeyfileTcpipConfig((m_work / "no-keyfiles").string());
        m_window = CreateMainWindow({&boxes, &dialogs, &sound, m_adapters.get(), m_tcpip.get(),
                                     m_neighbours.get(), &m_options});
        // Not shown: painting adds nothing here, and Qt's painting threads are outside what the
        // thread sanitizer can follow.
        return *m_window;
    }

    void PickCard(const std::string& link) {
        QComboBox* cards = m_window->m_cbNetinfo;
        for (int n = 0; n < cards->count(); ++n) {
            if (cards->itemText(n).startsWith(QString::fromStdString(link + " "))) {
                cards->setCurrentIndex(n);
                return;
            }
        }
        ADD_FAILURE() << "no card " << link;
    }

    void TypeMac(const char* octet3, const char* octet4, const char* octet5) {
        m_window->editMac3->setText(octet3);
        m_window->editMac4->setText(octet4);
        m_window->editMac5->setText(octet5);
    }

    // The operator's usual choices: the test network's card, the simulator's MAC, an image.
    void Prepare(int page, const fs::path& image) {
        PickCard(m_net->pcLink);
        TypeMac("30", "01", "01");
        m_window->ImgPageCtrl->setCurrentIndex(page);
        (page == 0 ? m_window->m_strSysFile : m_window->m_strDataFile)
            ->setText(QString::fromStdString(image.string()));
    }

    fs::path Image(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const fs::path path = m_work / name;
        WriteFile(path, bytes);
        return path;
    }

    void Press() { m_window->BtnUpload->click(); }
    QString Status() const { return m_window->m_strStatus->text(); }
    QString Caption() const { return m_window->BtnUpload->text(); }

    bool WaitFor(const std::function<bool()>& condition, int ms = 10'000) {
        return QTest::qWaitFor(condition, ms);
    }

    // The neighbour entries for the recorder address on one of the pc side's links.
    std::string Neighbour(const std::string& link, const std::string& address) const {
        return Output("ip -n " + m_net->pc + " neigh show " + address + " dev " + link);
    }

    // A worker woken by the stop lets go of its socket a moment after the stop returns.
    bool PortsFree() {
        return WaitFor([] { return BusyPort(67).bound && BusyPort(69).bound; }, 2'000);
    }

    bool CompletionCuePlayed() {
        const auto log = sound.Log();
        return std::find(log.begin(), log.end(),
                         FakeSound::Played{FakeSound::Played::Kind::Tone, {}, 2093, 400}) !=
               log.end();
    }

    std::unique_ptr<NetnsPair> m_net;
    fs::path m_work;
    UploadSessionOptions m_options;
    FakeMessageBoxes boxes;
    FakeFileDialogs dialogs;
    FakeSound sound;
    std::unique_ptr<platform::AdapterSource> m_adapters;
    std::unique_ptr<platform::NeighbourTable> m_neighbours;
    std::unique_ptr<platform::TcpipConfig> m_tcpip;
    std::unique_ptr<TKVUpgradeFrm> m_window;
};

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

    Press();
    ASSERT_TRUE(WaitFor([&] { return Stamps(periodLog).size() >= 20; }, 5'000));
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
         *CheckBootFileName(longName.filename().string()), kUploadCheckCaption, 0},
        {"image beyond the last block number",
         [&] { w.m_strSysFile->setText(QString::fromStdString(tooLarge.string())); },
         *CheckImageSize(kMaxImageSize + 1), kUploadCheckCaption, 0},
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

    Press();
    EXPECT_EQ(Status(), "Uploading Aborted");
    EXPECT_EQ(Neighbour(second, "192.168.88.2").find("lladdr"), std::string::npos);
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
