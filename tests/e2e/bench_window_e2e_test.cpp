// FlashKit Bench in-process in the pc namespace of a bench of simulated recorders on a bridge,
// driven through its controls: every recorder a row and a history row, one failing on purpose,
// and Stop leaving nothing behind.

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QTreeWidget>
#include <future>
#include <set>

#include "app/bench_window.h"
#include "tests/e2e/boot_server_double.h"
#include "tests/e2e/window_e2e.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::size_t kImageSize = 300'000;

class BenchWindowE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
        m_work = fs::temp_directory_path() /
                 ("fk-bench-window-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_work);
        // A silent recorder fails within the test.
        m_options.sendTimeOut = 500ms;
        m_history = std::make_unique<history::UploadHistory>((m_work / "history.sqlite3").string());
    }
    void TearDown() override {
        m_window.reset();
        m_history.reset();
        m_bench.reset();
        std::error_code ignored;
        fs::remove_all(m_work, ignored);
    }

    // The window in the pc namespace of a bench of count recorders, their MACs typed and added,
    // a system image chosen; not shown, as the window tests.
    BenchWindow& Open(int count) {
        m_bench = std::make_unique<NetnsBench>(count);
        m_bench->EnterPc();
        m_adapters = platform::MakeSystemAdapterSource();
        m_neighbours = platform::MakeSystemNeighbourTable();
        m_tcpip = platform::MakeKeyfileTcpipConfig((m_work / "no-keyfiles").string());
        m_window = std::make_unique<BenchWindow>(WindowServices{boxes, dialogs, sound, *m_adapters,
                                                                *m_tcpip, *m_neighbours, &m_options,
                                                                m_history.get(), nullptr});
        for (int n = 0; n < m_window->cards->count(); ++n) {
            if (m_window->cards->itemText(n).startsWith(
                    QString::fromStdString(m_bench->pcLink + " ")))
                m_window->cards->setCurrentIndex(n);
        }
        for (const auto& recorder : m_bench->recorders) {
            const QStringList octets = QString::fromStdString(recorder.MacTail()).split(u':');
            for (int n = 0; n < 3; ++n) m_window->macBoxes[n]->setText(octets[n]);
            QTest::keyClick(m_window->macBoxes[2], Qt::Key_Return);
        }
        EXPECT_EQ(m_window->recorders->count(), count);
        m_image = SystemImage(kImageSize);
        WriteFile(m_work / "fw_bench.bin", m_image);
        m_window->imagePages->setCurrentIndex(0);
        m_window->systemPath->setText(QString::fromStdString((m_work / "fw_bench.bin").string()));
        return *m_window;
    }

    fs::path Received(int n) const { return m_work / ("received-" + std::to_string(n) + ".bin"); }
    std::future<ProcessResult> Recorder(int n, std::vector<std::string> arguments) {
        return std::async(std::launch::async, [this, n, arguments] {
            return RecorderProcess(m_bench->recorders[n], arguments, 45s).Wait();
        });
    }
    std::vector<std::string> Fetch(int n) const {
        return {"--fetch", "--expect-kind", "1", "--output", Received(n).string(), "--timeout",
                "30"};
    }
    static bool Ready(std::future<ProcessResult>& sim) {
        return sim.wait_for(0s) == std::future_status::ready;
    }
    std::string State(int row) const {
        const QTreeWidgetItem* item = m_window->list->topLevelItem(row);
        return item ? item->text(2).toStdString() : "";
    }
    std::vector<history::UploadRow> Recorded() {
        m_history->Flush();
        const auto query = history::ReadHistory((m_work / "history.sqlite3").string(), {});
        EXPECT_TRUE(query.ok) << query.error;
        return query.rows;
    }
    std::string PcEntries() const {
        return CommandOutput("ip -n " + m_bench->pc + " -4 neigh show nud all");
    }

    fs::path m_work;
    StationOptions m_options;
    FakeMessageBoxes boxes;
    FakeFileDialogs dialogs;
    FakeSound sound;
    std::unique_ptr<history::UploadHistory> m_history;
    std::unique_ptr<NetnsBench> m_bench;
    std::unique_ptr<platform::AdapterSource> m_adapters;
    std::unique_ptr<platform::NeighbourTable> m_neighbours;
    std::unique_ptr<platform::TcpipConfig> m_tcpip;
    std::unique_ptr<BenchWindow> m_window;
    std::vector<std::uint8_t> m_image;
};

TEST_F(BenchWindowE2e, FourRecordersThreeCompletedByteForByteOneFailed) {
    BenchWindow& window = Open(4);
    window.startButton->click();
    ASSERT_TRUE(boxes.Shown().empty()) << boxes.Shown().front().text;
    std::vector<std::future<ProcessResult>> sims;
    for (int n = 0; n < 3; ++n) sims.push_back(Recorder(n, Fetch(n)));
    // The fourth stops acknowledging after block 20 and stays on the link.
    sims.push_back(Recorder(3, {"--fetch", "--stop-after", "20", "--timeout", "12"}));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return std::all_of(sims.begin(), sims.end(), Ready); }, 60'000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.summary->text() == "3 completed, 1 failed, 0 unconfirmed, 0 waiting"; },
        15'000))
        << window.summary->text().toStdString();

    const auto bytes = HeaderAndImage(1, kImageSize, m_image);
    for (int n = 0; n < 3; ++n) {
        const auto result = sims[n].get();
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_TRUE(ReadAll(Received(n)) == bytes) << "recorder " << n;
    }
    std::set<std::string> states;
    for (int row = 0; row < 4; ++row) states.insert(State(row));
    EXPECT_EQ(states, (std::set<std::string>{"completed", "failed"}));
    // The error cue of the failure.
    const auto played = sound.Log();
    EXPECT_TRUE(std::any_of(played.begin(), played.end(), [](const FakeSound::Played& cue) {
        return cue.kind == FakeSound::Played::Kind::ToneAsync;
    }));

    window.stopButton->click();
    const auto rows = Recorded();
    ASSERT_EQ(rows.size(), 4u);
    int completed = 0;
    for (const auto& row : rows) {
        EXPECT_EQ(row.start.program, "flashkit");
        if (row.end.outcome == "completed") {
            ++completed;
            EXPECT_EQ(row.end.sha256, Sha256Hex(m_image));
        } else {
            EXPECT_EQ(row.end.outcome, "failed");
            EXPECT_EQ(row.start.recorderMac, m_bench->recorders[3].mac);
        }
    }
    EXPECT_EQ(completed, 3);
    EXPECT_EQ(PcEntries().find("proto 241"), std::string::npos) << PcEntries();
}

TEST_F(BenchWindowE2e, StopMidTransferLeavesNoEntryAndRecordsItInterrupted) {
    BenchWindow& window = Open(2);
    window.startButton->click();
    ASSERT_TRUE(boxes.Shown().empty()) << boxes.Shown().front().text;
    // Slow, so that the stop comes mid-transfer.
    auto sim = Recorder(0, {"--fetch", "--ack-delay", "0.01", "--timeout", "10"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return State(0) == "transferring"; }, 15'000)) << State(0);
    EXPECT_NE(PcEntries().find("proto 241"), std::string::npos) << PcEntries();
    window.stopButton->click();
    EXPECT_EQ(State(0), "interrupted");
    EXPECT_EQ(PcEntries().find("proto 241"), std::string::npos) << PcEntries();
    EXPECT_TRUE(window.startButton->isEnabled());
    const auto rows = Recorded();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].end.outcome, "interrupted");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Ready(sim); }, 30'000));
}

}  // namespace
}  // namespace fk::testing
