// The window's behaviour without a window: the presenter driven through a fake view.

#include "app/presenter/window_presenter.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>

#include "feedback/refusal_texts.h"
#include "support/fakes.h"
#include "support/network_fakes.h"

namespace {

namespace fs = std::filesystem;
using namespace fk::window;
using fk::ImagePage;
using fk::platform::MessageAnswer;
using fk::platform::MessageButtons;
using fk::platform::MessageIcon;

// Records what the presenter draws as lines: "status:<text>|<look>", "look:<look>",
// "progress:<n>", "button:<upload|abort>", "pages:<0|1>", "focus:<control>",
// "box:<text>|<caption>|<icon>", "cards:<n>@<selected>", "host:<text>", "cue:<n>", "silence",
// "blink:<start|stop>", "start", "stop", "pick:<ifindex>".
class FakeWindow final : public WindowView,
                         public CuePlayer,
                         public SettingsStore,
                         public SessionControl {
  public:
    void SetStatus(const std::string& text, StatusLook look) override {
        Log("status:" + text + "|" + std::to_string(static_cast<int>(look)));
    }
    void SetStatusLook(StatusLook look) override {
        Log("look:" + std::to_string(static_cast<int>(look)));
    }
    void SetProgress(int percent) override { Log("progress:" + std::to_string(percent)); }
    void SetUploadButton(UploadButton button) override {
        Log(button == UploadButton::Upload ? "button:upload" : "button:abort");
    }
    void EnableImagePages(bool enabled) override { Log(enabled ? "pages:1" : "pages:0"); }
    void Focus(Control control) override {
        Log("focus:" + std::to_string(static_cast<int>(control)));
    }
    MessageAnswer ShowBox(const std::string& text, const std::string& caption, MessageIcon icon,
                          MessageButtons) override {
        Log("box:" + text + "|" + caption + "|" + std::to_string(static_cast<int>(icon)));
        return MessageAnswer::No;
    }
    void ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                               MessageIcon icon) override {
        ShowBox(text, caption, icon, MessageButtons::Ok);
    }
    void SetCards(const std::vector<std::string>& entries, int selected) override {
        Log("cards:" + std::to_string(entries.size()) + "@" + std::to_string(selected));
    }
    void SetHostAddressText(const std::string& text) override { Log("host:" + text); }
    std::string MacText(int box) const override { return macs[box]; }
    void ClearMac(int box) override { macs[box].clear(); }
    ImagePage CurrentPage() const override { return page; }
    std::string PathText(ImagePage p) const override { return paths.at(p); }
    void SetPathText(ImagePage p, const std::string& path) override { paths[p] = path; }
    std::string DialogDir(ImagePage p) const override { return dirs.at(p); }
    void SetDialogDir(ImagePage p, const std::string& dir) override { dirs[p] = dir; }
    std::optional<std::string> ChooseImageFile(ImagePage) override { return std::nullopt; }

    void Play(fk::Cue cue) override { Log("cue:" + std::to_string(static_cast<int>(cue))); }
    void Silence() override { Log("silence"); }

    std::string Read(const std::string& group, const std::string& name) override {
        return settings[group + "/" + name];
    }
    void Write(const std::string& group, const std::string& name,
               const std::string& value) override {
        settings[group + "/" + name] = value;
    }

    void Start(const fk::UploadPlan& plan) override {
        plans.push_back(plan);
        running = true;
        Log("start");
    }
    void Stop() override {
        running = false;
        Log("stop");
    }
    void PickCard(int ifindex) override { Log("pick:" + std::to_string(ifindex)); }
    void Shutdown() override { running = false; }
    bool Running() const override { return running; }

    std::vector<std::string> Take() { return std::exchange(log, {}); }

    std::array<std::string, 3> macs{"30", "01", "01"};
    ImagePage page = ImagePage::Data;
    std::map<ImagePage, std::string> paths{{ImagePage::System, ""}, {ImagePage::Data, ""}};
    std::map<ImagePage, std::string> dirs{{ImagePage::System, ""}, {ImagePage::Data, ""}};
    std::map<std::string, std::string> settings;
    std::vector<fk::UploadPlan> plans;
    bool running = false;

    void Log(std::string line) { log.push_back(std::move(line)); }

  private:
    std::vector<std::string> log;
};

// The blink period, beside the window: its Start and Stop are not the session's.
class FakeBlink final : public BlinkTimer {
  public:
    explicit FakeBlink(FakeWindow& window) : m_window(window) {}
    void Start() override {
        m_active = true;
        m_window.Log("blink:start");
    }
    void Stop() override {
        if (m_active) m_window.Log("blink:stop");
        m_active = false;
    }
    bool Active() const override { return m_active; }

  private:
    FakeWindow& m_window;
    bool m_active = false;
};

class WindowPresenterTest : public ::testing::Test {
  protected:
    WindowPresenterTest() {
        fs::create_directories(m_dir);
        std::ofstream(m_dir / "Korean.Fnt") << "font";
        adapters.query.adapters = {fk::testing::Card("fkp0", "Test card", 3, "192.168.77.1")};
    }
    ~WindowPresenterTest() override { fs::remove_all(m_dir); }

    std::string Font() const { return (m_dir / "Korean.Fnt").string(); }

    const fs::path m_dir = fs::temp_directory_path() / "flashkit-presenter-test";
    FakeWindow window;
    FakeBlink blink{window};
    fk::testing::FakeAdapterSource adapters;
    fk::testing::FakeTcpipConfig config;
    fk::testing::FakeNeighbourTable neighbours;
    fk::MacAddress mac = fk::kRecorderMacPrefix;
    WindowPresenter presenter{
        {window, window, blink, window, window, adapters, config, neighbours, mac, "FlashKit"}};
};

TEST_F(WindowPresenterTest, UploadStartsThePlanAbortStopsItAndTheEndFreesThePages) {
    presenter.LoadAdapterList();
    EXPECT_EQ(presenter.Card().hostAddress, fk::ParseDottedQuad("192.168.77.1"));
    window.paths[ImagePage::Data] = Font();
    window.Take();

    presenter.UploadPressed();
    ASSERT_EQ(window.plans.size(), 1u);
    EXPECT_EQ(window.plans[0].file.path, Font());
    EXPECT_EQ(window.plans[0].file.bootFileName, "korean.fnt");
    EXPECT_EQ(window.plans[0].card.ifindex, 3);
    EXPECT_EQ(mac, (fk::MacAddress{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01}));
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"host:192.168.77.1", "silence", "stop",
                                                       "start", "pages:0", "button:abort"}));

    presenter.UploadPressed();
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"silence", "stop", "button:upload",
                                                       "status:Uploading Aborted|0"}));
    // The pages wait for the session's end.
    presenter.OnEvent(fk::event::Ended{});
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"pages:1"}));

    // A device that answered for the recorder's address: the session ends the upload, and the
    // window tells it as a refusal.
    presenter.UploadPressed();
    window.Take();
    presenter.OnEvent(fk::event::Admission{fk::event::Admission::Kind::AddressHeld,
                                           fk::ParseDottedQuad("192.168.77.2")});
    presenter.OnEvent(fk::event::Ended{});
    const std::string held = fk::RecorderAddressHeldText(fk::ParseDottedQuad("192.168.77.2"),
                                                         fk::kAnsweringDeviceHolder);
    EXPECT_EQ(window.Take(), (std::vector<std::string>{
                                 "box:" + held + "|" + fk::kRecorderAddressHeldCaption + "|1",
                                 "pages:1", "button:upload"}));
}

TEST_F(WindowPresenterTest, RefusalsAreToldAndNothingStarts) {
    presenter.LoadAdapterList();
    window.macs[1] = "G1";
    window.Take();
    presenter.UploadPressed();
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"box:MAC address is invalid|MAC address "
                                                       "error|1",
                                                       "focus:1"}));
    window.macs[1] = "01";
    window.paths[ImagePage::Data] = (m_dir / "gone.fnt").string();
    presenter.UploadPressed();
    // The missing image is told, then the page's browse dialog opens (here: cancelled).
    const auto lines = window.Take();
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(), "box:Image file is invalid|Image file error|1"), 1);
    EXPECT_TRUE(window.plans.empty());
}

TEST_F(WindowPresenterTest, EventsBecomeTextsCuesBoxesAndBlinking) {
    using namespace fk::event;
    presenter.OnEvent(Progress{40});
    EXPECT_EQ(window.Take(),
              (std::vector<std::string>{"progress:40", "status:Upload 40 (%) Completed|0"}));
    presenter.OnEvent(Failed{Failed::Reason::SendTimeOut, 0});
    const std::string timeOut = "TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)";
    EXPECT_EQ(window.Take(), (std::vector<std::string>{
                                 "look:1", "cue:3", "status:" + timeOut + "|1", "blink:start",
                                 "box:" + timeOut + "|FlashPilot Transmission Error|1"}));
    // Blue on red with the cue, then red on white silently; a second error keeps the period.
    presenter.BlinkTick();
    presenter.BlinkTick();
    presenter.OnEvent(StrayDatagram{StrayDatagram::Kind::Unknown});
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"look:3", "cue:3", "look:2", "look:1",
                                                       "cue:3", "status:Tftp error received|1"}));
    presenter.OnEvent(Completed{});
    EXPECT_EQ(window.Take(),
              (std::vector<std::string>{"status:Uploading Completed|0", "blink:stop", "cue:2"}));
    // Facts no operator sees show nothing.
    presenter.OnEvent(BlockServed{512});
    presenter.OnEvent(Acknowledged{2, 3});
    EXPECT_TRUE(window.Take().empty());
}

TEST_F(WindowPresenterTest, ImagePathsAreRememberedAcceptedOnlyWhenTheyNameAFile) {
    window.settings["Files/FontFile"] = Font();
    window.settings["Files/SystemFile"] = (m_dir / "gone.bin").string();
    presenter.LoadImagePaths();
    EXPECT_EQ(window.paths[ImagePage::Data], Font());
    EXPECT_EQ(presenter.ImageName(ImagePage::Data), "korean.fnt");
    EXPECT_TRUE(window.paths[ImagePage::System].empty());

    window.paths[ImagePage::Data] = (m_dir / "typing").string();
    presenter.PathEdited(ImagePage::Data);
    EXPECT_EQ(presenter.ImagePath(ImagePage::Data), Font());
    window.settings.clear();
    presenter.SaveImagePaths();
    EXPECT_EQ(window.settings, (std::map<std::string, std::string>{{"Files/FontFile", Font()}}));
}

TEST_F(WindowPresenterTest, TheCardOfARunningUploadIsWaitedForWhenItGoes) {
    presenter.LoadAdapterList();
    window.paths[ImagePage::Data] = Font();
    presenter.UploadPressed();
    adapters.query.adapters.clear();
    window.Take();
    presenter.FollowSystemCards();
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"cards:0@-1", "host:0.0.0.0"}));
    EXPECT_EQ(presenter.Card().ifindex, 3);
    EXPECT_EQ(presenter.Card().hostAddress, 0u);
    // A full last MAC box moves the focus on to Abort while the image pages are disabled.
    presenter.MacEdited(2);
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"focus:5"}));
    // The operator's pick moves the upload to the card picked.
    adapters.query.adapters = {fk::testing::Card("fkp1", "Other card", 4, "10.0.0.1")};
    presenter.FollowSystemCards();
    window.Take();
    presenter.CardChosen(0);
    EXPECT_EQ(window.Take(), (std::vector<std::string>{"host:10.0.0.1", "pick:4"}));
}

}  // namespace
