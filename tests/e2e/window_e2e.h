#pragma once

// The window, built in-process inside the pc namespace of a private namespace pair with the real
// card list and neighbour table, and the simulated recorder (flashkit-recorder-sim) on the other
// side: the fixture and helpers shared by the window-level end-to-end tests.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QCryptographicHash>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/kvupgradefrm.h"
#include "app/startup.h"
#include "history/upload_history.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/network_watch.h"
#include "platform/tcpip_config.h"
#include "tests/support/fakes.h"
#include "tests/support/netns.h"
#include "tests/support/recorder_process.h"
#include "upgrade/tftp_engine.h"
#include "upgrade/upload_station.h"

namespace fk::testing {

// The terminal program of this build.
inline std::string CliPath() {
#ifdef FLASHKIT_CLI
    return FLASHKIT_CLI;
#else
    return "flashkit-cli";
#endif
}

// 30 01 01 is an early recorder of the 0x30 family: its images end in series 05, sub-code 20.
inline constexpr const char* kRecorderMacText = "02:5e:a1:30:01:01";
inline constexpr const char* kRecorderAddress = "192.168.77.2";

// A system image for the simulator's recorder: varied bytes, its trailer in the last four.
// The status texts of the resends of one block, up to the limit.
inline std::vector<QString> ResendTexts() {
    std::vector<QString> texts;
    for (int n = 0; n < kMaxResends; ++n)
        texts.push_back(QStringLiteral("retry transfer %1").arg(n));
    return texts;
}

inline std::vector<std::uint8_t> SystemImage(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 509);
    std::copy_n(std::begin({0x00, 0x00, 0x05, 0x20}), 4, bytes.end() - 4);
    return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline std::string Sha256Hex(const std::vector<std::uint8_t>& bytes) {
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

// A UDP port held by another server of the PC; released with the object.
class BusyPort {
  public:
    // Close-on-exec: a program the test starts must not hold the port too.
    explicit BusyPort(std::uint16_t port) : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
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
        : m_process(net, WithTimeout(std::move(arguments), timeout),
                    timeout + std::chrono::seconds(5)),
          m_result(std::async(std::launch::async, [this] { return m_process.Wait(); })) {}

    // Lets the window work while waiting; bounded by the simulator's own limit.
    ProcessResult Finish() {
        const bool ended = QTest::qWaitFor(
            [this] {
                return m_result.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            },
            60'000);
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

class WindowE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
        m_net = std::make_unique<NetnsPair>("192.168.77.1/24", kRecorderMacText);
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        // Parameterised names carry a slash.
        std::replace(name.begin(), name.end(), '/', '-');
        m_work = std::filesystem::temp_directory_path() /
                 ("fk-e2e-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::create_directories(m_work);
        // The resend time-out is shortened so that a silent recorder shows within a test.
        m_options.sendTimeOut = std::chrono::milliseconds(500);
        m_history = std::make_unique<history::UploadHistory>(HistoryPath());
    }

    void TearDown() override {
        if (m_window) DestroyMainWindow(std::move(m_window));
        m_history.reset();
        m_net.reset();
        std::error_code ignored;
        std::filesystem::remove_all(m_work, ignored);
    }

    // Everything the window opens (card list, neighbour table, sockets, workers) lives in the
    // pc namespace from here on. m_options is taken now.
    TKVUpgradeFrm& OpenWindow() {
        m_net->EnterPc();
        m_adapters = platform::MakeSystemAdapterSource();
        if (!m_neighbours) m_neighbours = platform::MakeSystemNeighbourTable();
        m_tcpip = platform::MakeKeyfileTcpipConfig((m_work / "no-keyfiles").string());
        m_cardWatch = platform::MakeSystemNetworkWatch();
        m_window = CreateMainWindow({boxes, dialogs, sound, *m_adapters, *m_tcpip, *m_neighbours,
                                     &m_options, m_history.get(), m_cardWatch.get()});
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
    void Prepare(int page, const std::filesystem::path& image) {
        PickCard(m_net->pcLink);
        TypeMac("30", "01", "01");
        m_window->ImgPageCtrl->setCurrentIndex(page);
        (page == 0 ? m_window->m_strSysFile : m_window->m_strDataFile)
            ->setText(QString::fromStdString(image.string()));
    }

    std::filesystem::path Image(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const std::filesystem::path path = m_work / name;
        WriteFile(path, bytes);
        return path;
    }

    void Press() { m_window->BtnUpload->click(); }
    QString Status() const { return m_window->m_strStatus->text(); }
    QString Caption() const { return m_window->BtnUpload->text(); }

    bool WaitFor(const std::function<bool()>& condition, int ms = 10'000) {
        return QTest::qWaitFor(condition, ms);
    }

    // An ip command on the pc side that ends in the name of its card.
    void PcCommand(const std::string& command) {
        ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " " + command + m_net->pcLink), 0) << command;
    }

    // The neighbour entries for the recorder address on one of the pc side's links.
    std::string Neighbour(const std::string& link, const std::string& address) const {
        return CommandOutput("ip -n " + m_net->pc + " neigh show " + address + " dev " + link);
    }

    // A worker woken by the stop lets go of its socket a moment after the stop returns.
    bool PortsFree() {
        return WaitFor([] { return BusyPort(67).bound && BusyPort(69).bound; }, 2'000);
    }

    // Sounded by a worker, which waits for it, or by the GUI thread, which does not.
    bool CuePlayed(int frequencyHz, int durationMs) {
        const auto log = sound.Log();
        return std::any_of(log.begin(), log.end(), [&](const FakeSound::Played& played) {
            return played.frequencyHz == frequencyHz && played.durationMs == durationMs;
        });
    }
    // The last tone of each cue; no sound files lie in the tests' working directory.
    bool CompletionCuePlayed() { return CuePlayed(2093, 400); }
    bool ErrorCuePlayed() { return CuePlayed(1569, 300); }

    // The upload history the window writes, and flashkit-cli when it is handed the same file.
    std::string HistoryPath() const { return (m_work / "history.sqlite3").string(); }
    std::vector<history::UploadRow> RecordedUploads() {
        m_history->Flush();
        const auto query = history::ReadHistory(HistoryPath(), {});
        EXPECT_TRUE(query.ok) << query.error;
        return query.rows;
    }

    std::unique_ptr<NetnsPair> m_net;
    std::filesystem::path m_work;
    std::unique_ptr<history::UploadHistory> m_history;
    StationOptions m_options;
    FakeMessageBoxes boxes;
    FakeFileDialogs dialogs;
    FakeSound sound;
    std::unique_ptr<platform::AdapterSource> m_adapters;
    std::unique_ptr<platform::NeighbourTable> m_neighbours;
    std::unique_ptr<platform::TcpipConfig> m_tcpip;
    std::unique_ptr<platform::NetworkWatch> m_cardWatch;
    std::unique_ptr<TKVUpgradeFrm> m_window;
};

}  // namespace fk::testing
