// FlashKit Bench without a window: the bench presenter driven through a fake view and a fake
// station that hands the presenter the events a station makes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/presenter/bench_presenter.h"
#include "feedback/refusal_texts.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

namespace {

namespace fs = std::filesystem;
using namespace fk::bench;
using fk::ImagePage;
using fk::StationRecorder;
using fk::platform::MessageIcon;

// Records what the presenter draws and asks as lines: "box:<text>|<caption>", "ask:<text>",
// "rows", "running:<0|1>", "cue:<n>", "silence", "start:<named>@<atOnce>", "stop".
class FakeBench final : public BenchView,
                        public fk::window::CuePlayer,
                        public fk::window::SettingsStore,
                        public BenchSession {
  public:
    void SetCards(const std::vector<std::string>&, int) override {}
    void SetHostAddressText(const std::string&) override {}
    std::string MacText(int box) const override { return macs[box]; }
    void ClearMacs() override { macs = {}; }
    void SetRecorders(const std::vector<std::string>& shown) override { recorders = shown; }
    ImagePage CurrentPage() const override { return ImagePage::Data; }
    std::string PathText(ImagePage) const override { return image; }
    void SetPathText(ImagePage, const std::string&) override {}
    bool Learn() const override { return learn; }
    int AtOnce() const override { return atOnce; }
    std::string PoolText() const override { return pool; }
    void SetRows(const std::vector<BenchRow>& shown) override {
        rows = shown;
        Log("rows");
    }
    void SetSummary(const std::string& text) override { summary = text; }
    void SetRunning(bool running) override { Log(running ? "running:1" : "running:0"); }
    void Announce(const std::string& text) override { announced.push_back(text); }
    void ShowBox(const std::string& text, const std::string& caption, MessageIcon) override {
        Log("box:" + text + "|" + caption);
    }
    bool AskYesNo(const std::string& text, const std::string&) override {
        Log("ask:" + text);
        return answerYes;
    }
    std::optional<std::string> ChooseReportFile() override { return reportPath; }

    void Play(fk::Cue cue) override { Log("cue:" + std::to_string(static_cast<int>(cue))); }
    void Silence() override { Log("silence"); }
    std::string Read(const std::string&, const std::string&) override { return ""; }
    void Write(const std::string&, const std::string&, const std::string&) override {}

    // The station: its Stop ends each transfer running as interrupted, then the station,
    // before it returns.
    void Start(const fk::StationPlan& plan, std::size_t max) override {
        named = plan.named;
        Log("start:" + std::to_string(plan.named.size()) + "@" + std::to_string(max));
    }
    void Stop() override {
        Log("stop");
        for (const std::size_t n : std::exchange(transferring, {})) {
            presenter->OnEvent(named.at(n),
                               fk::event::RecorderEnded{fk::Outcome::Interrupted,
                                                        fk::event::RecorderEnded::Stopped{}});
        }
        presenter->OnEvent({}, fk::event::Ended{});
    }

    std::vector<std::string> Take() { return std::exchange(log, {}); }
    void Log(std::string line) { log.push_back(std::move(line)); }

    BenchPresenter* presenter = nullptr;
    std::array<std::string, 3> macs{};
    std::string image, pool, summary;
    std::optional<std::string> reportPath;
    bool learn = false, answerYes = false;
    int atOnce = 16;
    std::vector<std::string> recorders, announced;
    std::vector<BenchRow> rows;
    std::vector<fk::NamedRecorder> named;
    std::set<std::size_t> transferring;

  private:
    std::vector<std::string> log;
};

class BenchWindowPresenter : public ::testing::Test {
  protected:
    BenchWindowPresenter() {
        fs::create_directories(m_dir);
        std::ofstream(m_dir / "Korean.Fnt") << std::string(3000, 'f');
        adapters.query.adapters = {fk::testing::Card("fkb0", "Test card", 3, "192.168.77.1")};
        bench.presenter = &presenter;
        presenter.Open();
        bench.Take();
    }
    ~BenchWindowPresenter() override { fs::remove_all(m_dir); }

    // Two recorders named and the station started on the font image.
    void StartTwo() {
        presenter.AddLines("30:01:01\n30:01:02\n");
        bench.image = (m_dir / "Korean.Fnt").string();
        presenter.StartPressed();
        ASSERT_EQ(bench.named.size(), 2u);
        bench.Take();
    }
    void Event(std::size_t recorder, const fk::SessionEvent& event) {
        presenter.OnEvent(bench.named.at(recorder), event);
    }
    void Transfer(std::size_t recorder) {
        bench.transferring.insert(recorder);
        Event(recorder, fk::event::Started{});
        Event(recorder, fk::event::RequestAccepted{{}, 3000, nullptr});
        Event(recorder, fk::event::Acknowledged{2, 7});
    }
    // The transfer's last fact, and the end the station gives it.
    template <class Fact>
    void End(std::size_t recorder, Fact fact, fk::Outcome outcome) {
        bench.transferring.erase(recorder);
        Event(recorder, fact);
        Event(recorder, fk::event::RecorderEnded{outcome, fact});
    }

    const fs::path m_dir =
        fs::temp_directory_path() / ("fk-bench-presenter-" + std::to_string(::getpid()));
    FakeBench bench;
    fk::testing::FakeAdapterSource adapters;
    fk::testing::FakeTcpipConfig tcpip;
    fk::testing::FakeNeighbourTable neighbours;
    BenchPresenter presenter{
        {bench, bench, bench, bench, adapters, tcpip, neighbours, nullptr, "FlashKit"}};
};

TEST_F(BenchWindowPresenter, TypedOctetsAddARecorderOnceAndClearTheBoxes) {
    bench.macs = {"30", "01", "0a"};
    presenter.AddPressed();
    bench.macs = {"30", "01", "0A"};
    presenter.AddPressed();
    EXPECT_EQ(bench.recorders, std::vector<std::string>{"02:5e:a1:30:01:0a"});
    EXPECT_EQ(bench.macs[2], "");
    bench.macs = {"30", "zz", "01"};
    presenter.AddPressed();
    EXPECT_EQ(bench.Take(), std::vector<std::string>{std::string("box:") + fk::kMacRefusalText +
                                                     "|" + fk::kMacRefusalCaption});
}

TEST_F(BenchWindowPresenter, PastedLinesAndAMacsFileAddAsTheStationTakesThem) {
    presenter.AddLines("# bench 1\n30:01:01\n 02-5E-A1-30-01-02 \r\n30:01:01\n");
    EXPECT_EQ(bench.recorders.size(), 2u);
    // One line that is no recorder's MAC refuses them all, in the station's words.
    presenter.AddLines("30:01:03\nnot-a-mac\n");
    EXPECT_EQ(bench.recorders.size(), 2u);
    EXPECT_EQ(bench.Take(), std::vector<std::string>{"box:MAC address error: MAC address is "
                                                     "invalid: 'not-a-mac'|FlashKit"});
    std::ofstream(m_dir / "macs.txt") << "30:01:04 # shelf 2\n";
    presenter.LoadPressed((m_dir / "macs.txt").string());
    EXPECT_EQ(bench.recorders.back(), "02:5e:a1:30:01:04");
    presenter.RemovePressed(0);
    EXPECT_EQ(bench.recorders.front(), "02:5e:a1:30:01:02");
    presenter.LoadPressed((m_dir / "none.txt").string());
    EXPECT_EQ(bench.Take(), std::vector<std::string>{"box:Cannot read the MAC list File (" +
                                                     (m_dir / "none.txt").string() + ")|FlashKit"});
}

TEST_F(BenchWindowPresenter, StartRefusesAsTheStationWouldAndStartsNothing) {
    presenter.StartPressed();
    EXPECT_EQ(bench.Take(),
              std::vector<std::string>{"box:Name the recorders, or serve any that asks with "
                                       "\"learn recorders that ask\".|FlashKit"});
    presenter.AddLines("30:01:01");
    bench.image = (m_dir / "missing.Fnt").string();
    presenter.StartPressed();
    const auto log = bench.Take();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), std::string("box:Image file is invalid|") + fk::kUploadCheckCaption);
    bench.image = (m_dir / "Korean.Fnt").string();
    bench.pool = "10.0.0.1-10.0.0.9";
    presenter.StartPressed();
    EXPECT_EQ(bench.Take(), std::vector<std::string>{
                                "box:Address pool 10.0.0.1-10.0.0.9: give FIRST-LAST, both inside "
                                "the subnet of fkb0, e.g. "
                                "192.168.1.50-192.168.1.99.|FlashKit"});
    EXPECT_FALSE(presenter.Running());
}

TEST_F(BenchWindowPresenter, StartServesTheNamedRecordersEachAtItsOwnAddress) {
    bench.atOnce = 99;
    StartTwo();
    EXPECT_NE(bench.named[0].address, bench.named[1].address);
    EXPECT_TRUE(presenter.Running());
    presenter.Tick();
    ASSERT_EQ(bench.rows.size(), 2u);
    EXPECT_EQ(bench.rows[0].state, "announcing");
    EXPECT_EQ(bench.summary, "0 completed, 0 failed, 0 unconfirmed, 0 waiting");
}

// The list is drawn by Tick alone, and only when something changed.
TEST_F(BenchWindowPresenter, TheListIsRedrawnAtTicksOnlyWhenItChanged) {
    StartTwo();
    presenter.Tick();
    Transfer(0);
    Event(0, fk::event::Progress{40});
    EXPECT_EQ(bench.Take(), std::vector<std::string>{"rows"});
    presenter.Tick();
    presenter.Tick();
    EXPECT_EQ(bench.Take(), std::vector<std::string>{"rows"});
    EXPECT_EQ(bench.rows[0].state, "transferring");
    EXPECT_GT(bench.rows[0].percent, 0);
}

TEST_F(BenchWindowPresenter, EachEndIsARowOutcomeWithItsCueAndTheSummaryCountsThem) {
    StartTwo();
    Transfer(0);
    End(0, fk::event::Completed{}, fk::Outcome::Completed);
    Transfer(1);
    End(1, fk::event::Failed{fk::event::Failed::Reason::SendTimeOut}, fk::Outcome::Failed);
    EXPECT_EQ(bench.Take(), std::vector<std::string>{"cue:3"});
    presenter.Tick();
    EXPECT_EQ(bench.rows[0].state, "completed");
    EXPECT_EQ(bench.rows[0].percent, 100);
    EXPECT_EQ(bench.rows[0].outcome, fk::kUploadingCompletedText);
    EXPECT_EQ(bench.rows[1].state, "failed");
    EXPECT_EQ(bench.summary, "1 completed, 1 failed, 0 unconfirmed, 0 waiting");
    EXPECT_EQ(bench.announced.size(), 2u);
    // The completion cue once every named recorder has completed.
    Transfer(1);
    End(1, fk::event::Completed{}, fk::Outcome::Completed);
    EXPECT_EQ(bench.Take(), (std::vector<std::string>{"rows", "cue:2"}));
}

TEST_F(BenchWindowPresenter, AWaitingRecorderIsCountedOneLetGoLeavesTheListOneTurnedAwayShows) {
    StartTwo();
    Event(1, fk::event::Admission{fk::event::Admission::Kind::Waiting});
    presenter.Tick();
    EXPECT_EQ(bench.summary, "0 completed, 0 failed, 0 unconfirmed, 1 waiting");
    Event(1, fk::event::Admission{fk::event::Admission::Kind::LetGo});
    // A recorder learnt with no place left has no address, but a row of its own.
    presenter.OnEvent({{0x02, 0x5e, 0xa1, 0x30, 0x09, 0x09}, 0},
                      fk::event::Admission{fk::event::Admission::Kind::NoPlace});
    presenter.Tick();
    ASSERT_EQ(bench.rows.size(), 2u);
    EXPECT_EQ(bench.rows[1].state, "turned away");
    EXPECT_EQ(bench.rows[1].outcome, "no place free");
}

TEST_F(BenchWindowPresenter, StopEndsTheStationAndTheTransferRunningIsInterrupted) {
    StartTwo();
    Transfer(0);
    presenter.StopPressed();
    EXPECT_EQ(bench.Take(), (std::vector<std::string>{"silence", "stop", "running:0", "rows"}));
    EXPECT_FALSE(presenter.Running());
    EXPECT_EQ(bench.rows[0].state, "interrupted");
    EXPECT_EQ(bench.rows[0].outcome, fk::kUploadingAbortedText);
    EXPECT_EQ(bench.rows[1].state, "announcing");
    presenter.ClearPressed();
    EXPECT_TRUE(bench.rows.empty());
}

TEST_F(BenchWindowPresenter, ClosingAsksWhileTransfersRunAndYesStopsThem) {
    EXPECT_TRUE(presenter.CloseRequested());
    StartTwo();
    EXPECT_FALSE(presenter.CloseRequested());
    EXPECT_TRUE(presenter.Running());
    bench.answerYes = true;
    EXPECT_TRUE(presenter.CloseRequested());
    EXPECT_FALSE(presenter.Running());
}

TEST_F(BenchWindowPresenter, SaveReportWritesTheRowsAsCsv) {
    StartTwo();
    Transfer(0);
    End(0, fk::event::Completed{}, fk::Outcome::Completed);
    bench.reportPath = (m_dir / "report.csv").string();
    presenter.SaveReportPressed();
    std::ifstream file(*bench.reportPath, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str().substr(0, 62),
              "mac,address,state,percent,rate,outcome\r\n02:5e:a1:30:01:01,192.");
    EXPECT_NE(text.str().find(",completed,100,"), std::string::npos);
    EXPECT_NE(text.str().find("02:5e:a1:30:01:02,"), std::string::npos);
}

}  // namespace
