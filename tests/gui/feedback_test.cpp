#include <QCoreApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/gui_thread_queue.h"
#include "platform/qt/qt_sound_output.h"
#include "window_fixture.h"

namespace {

using fk::testing::FakeSound;
using Kind = FakeSound::Played::Kind;

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// The GUI thread starts a cue and goes on.
const FakeSound::Played kErrorTone{Kind::ToneAsync, {}, 1569, 300};

// Every test runs in an empty working directory of its own, where cue files can be put.
class FeedbackTest : public WindowTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_previousDir = std::filesystem::current_path();
        std::filesystem::current_path(Dir());
    }
    void TearDown() override { std::filesystem::current_path(m_previousDir); }

    std::filesystem::path Dir() const { return m_dir.path().toStdString(); }
    void PutFile(const std::filesystem::path& dir, const char* name) {
        std::ofstream(dir / name) << "RIFF";
    }
    QColor TextColour() { return Window().m_strStatus->palette().color(QPalette::Text); }
    QColor Background() { return Window().m_strStatus->palette().color(QPalette::Base); }
    QColor ParentBackground() { return Window().GroupUpload->palette().color(QPalette::Window); }

  private:
    QTemporaryDir m_dir;
    std::filesystem::path m_previousDir;
};

}  // namespace

TEST_F(FeedbackTest, NormalTextsAreBlackOnWhiteSilentAndStopBlinking) {
    for (const char* text : {"Uploading Started", "Upload 42 (%) Completed", "Uploading Completed",
                             "Uploading Aborted"}) {
        SCOPED_TRACE(text);
        Window().ShowStatus(QString::fromLatin1(text));
        EXPECT_EQ(Window().m_strStatus->text(), QString::fromLatin1(text));
        EXPECT_EQ(TextColour(), kBlack);
        EXPECT_EQ(Background(), kWhite);
        EXPECT_FALSE(Window().BTimer->isActive());
    }
    EXPECT_TRUE(sound.Log().empty());
}

// Counts the paints and palette changes that reach a control.
class ControlEvents final : public QObject {
  public:
    int paints = 0;
    int palettes = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        if (event->type() == QEvent::PaletteChange) ++palettes;
        return false;
    }
};

// A text shown on the GUI thread is on screen before the call returns; a worker's text is
// painted by the event loop's next turn, not by the change itself; a text or colours the box
// already shows are not set again (each setting costs a palette pass or accessibility events).
TEST_F(FeedbackTest, GuiThreadTextsPaintAtOnceWorkerTextsOnTheNextTurnAndNothingIsSetTwice) {
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window()));
    ControlEvents events;
    Window().m_strStatus->installEventFilter(&events);
    int textChanges = 0;
    QObject::connect(Window().m_strStatus, &QLineEdit::textChanged, [&] { ++textChanges; });

    Window().ShowStatus(QStringLiteral("Uploading Started"));
    EXPECT_GE(events.paints, 1);
    EXPECT_EQ(textChanges, 1);
    const int palettes = events.palettes;

    events.paints = 0;
    std::thread([&] {
        Window().ShowStatus(QStringLiteral("Upload 40 (%) Completed"));
        Window().ShowStatus(QStringLiteral("Upload 40 (%) Completed"));
    }).join();
    QCoreApplication::sendPostedEvents(Window().findChild<GuiThreadQueue*>(), QEvent::User);
    EXPECT_EQ(Window().m_strStatus->text(), QStringLiteral("Upload 40 (%) Completed"));
    EXPECT_EQ(textChanges, 2);
    EXPECT_EQ(events.palettes, palettes);
    EXPECT_EQ(TextColour(), kBlack);
    EXPECT_EQ(events.paints, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return events.paints > 0; }, 2000));

    // An error and the normal text after it do change the colours.
    Window().ShowStatus(QStringLiteral("Tftp error received"));
    Window().ShowStatus(QStringLiteral("Uploading Completed"));
    EXPECT_EQ(events.palettes, palettes + 2);
    EXPECT_EQ(TextColour(), kBlack);
    EXPECT_EQ(Background(), kWhite);
}

TEST_F(FeedbackTest, ErrorTextBlinksBetweenItsTwoPhasesWithTheCueOnBlueOnRed) {
    Window().ShowStatus(QStringLiteral("Uploading Started"));
    Window().ShowStatus(QStringLiteral("Tftp error received"));
    EXPECT_EQ(Window().m_strStatus->text(), QStringLiteral("Tftp error received"));
    EXPECT_EQ(TextColour(), kRed);
    EXPECT_EQ(Background(), kWhite);
    EXPECT_TRUE(Window().BTimer->isActive());
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});

    Window().BTimerTimer();  // phase B
    EXPECT_EQ(TextColour(), kBlue);
    EXPECT_EQ(Background(), kRed);
    EXPECT_EQ(sound.Log().size(), 2u);

    Window().BTimerTimer();  // phase A again, silently
    EXPECT_EQ(TextColour(), kRed);
    EXPECT_EQ(Background(), kWhite);
    EXPECT_EQ(sound.Log().size(), 2u);
    EXPECT_EQ(Window().m_strStatus->text(), QStringLiteral("Tftp error received"));
}

TEST_F(FeedbackTest, SecondErrorTextKeepsTheBlinkPeriodAndRedBackground) {
    Window().ShowStatus(QStringLiteral("Tftp error received"));
    const int timerId = Window().BTimer->timerId();
    Window().BTimerTimer();  // phase B: blue on red
    sound.Clear();

    Window().ShowStatus(QStringLiteral("TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)"));
    EXPECT_EQ(TextColour(), kRed);
    EXPECT_EQ(Background(), kRed);
    EXPECT_EQ(Window().m_strStatus->text(),
              QStringLiteral("TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)"));
    EXPECT_TRUE(Window().BTimer->isActive());
    EXPECT_EQ(Window().BTimer->timerId(), timerId);  // not restarted
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});

    Window().BTimerTimer();
    EXPECT_EQ(TextColour(), kBlue);
    EXPECT_EQ(Background(), kRed);
}

TEST_F(FeedbackTest, ErrorAsVeryFirstStatusKeepsTheNeutralBackground) {
    const QColor neutral = ParentBackground();
    EXPECT_EQ(Background(), neutral);
    Window().ShowStatus(QStringLiteral("Socket ERROR (Error Code = 13)"));
    EXPECT_EQ(TextColour(), kRed);
    EXPECT_EQ(Background(), neutral);
}

TEST_F(FeedbackTest, NormalTextAfterErrorStopsBlinkAndSound) {
    Window().ShowStatus(QStringLiteral("Tftp error received"));
    Window().BTimerTimer();
    sound.Clear();
    Window().ShowStatus(QStringLiteral("Uploading Completed"));
    EXPECT_EQ(TextColour(), kBlack);
    EXPECT_EQ(Background(), kWhite);
    EXPECT_FALSE(Window().BTimer->isActive());
    EXPECT_TRUE(sound.Log().empty());
}

TEST_F(FeedbackTest, ProgressIsShownAndCappedAtFull) {
    Window().SetProgress(37);
    EXPECT_EQ(Window().m_ctrlProgXfer->value(), 37);
    Window().SetProgress(100);
    EXPECT_EQ(Window().m_ctrlProgXfer->value(), 100);
    Window().SetProgress(250);
    EXPECT_EQ(Window().m_ctrlProgXfer->value(), 100);
    Window().SetProgress(0);
    EXPECT_EQ(Window().m_ctrlProgXfer->value(), 0);
}

TEST_F(FeedbackTest, MissingCueFilesSoundTheirTones) {
    const std::vector<FakeSound::Played> completion{{Kind::Tone, {}, 1046, 300},
                                                    {Kind::Tone, {}, 1318, 300},
                                                    {Kind::Tone, {}, 1568, 300},
                                                    {Kind::Tone, {}, 2093, 400}};
    Window().PlayCue(1);
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{{Kind::ToneAsync, {}, 1046, 1000}}));
    sound.Clear();
    std::thread([&] { Window().PlayCue(2); }).join();
    EXPECT_EQ(sound.Log(), completion);
    sound.Clear();
    Window().PlayCue(2);
    auto inBackground = completion;
    for (auto& tone : inBackground) tone.kind = Kind::ToneAsync;
    EXPECT_EQ(sound.Log(), inBackground);
    sound.Clear();
    Window().PlayCue(3);
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});
    sound.Clear();
    for (int silent : {0, 4, -1}) Window().PlayCue(silent);
    EXPECT_TRUE(sound.Log().empty());
}

TEST_F(FeedbackTest, PresentCueFilesPlayInTheBackgroundExceptTheErrorCueOfAWorker) {
    for (const char* name : {"start.wav", "complete.wav", "error.wav"}) PutFile(Dir(), name);
    for (int cue : {0, 1, 2, 3, 4}) Window().PlayCue(cue);
    std::thread([&] {
        for (int cue : {1, 3}) Window().PlayCue(cue);
    }).join();
    const std::string dir = std::filesystem::current_path().string();
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{{Kind::WaveAsync, dir + "/start.wav"},
                                                           {Kind::WaveAsync, dir + "/complete.wav"},
                                                           {Kind::WaveAsync, dir + "/error.wav"},
                                                           {Kind::WaveAsync, dir + "/start.wav"},
                                                           {Kind::WaveSync, dir + "/error.wav"}}));
}

TEST_F(FeedbackTest, CueFilesAreLookedUpInTheWorkingDirectoryOfTheMoment) {
    const auto withFile = Dir() / "with";
    const auto withDirectory = Dir() / "dir";
    std::filesystem::create_directories(withFile);
    std::filesystem::create_directories(withDirectory / "error.wav");
    PutFile(withFile, "error.wav");

    std::filesystem::current_path(withFile);
    Window().PlayCue(3);
    std::filesystem::current_path(withDirectory);  // a directory of that name does not count
    Window().PlayCue(3);
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{
                               {Kind::WaveAsync, (withFile / "error.wav").string()}, kErrorTone}));
}

TEST_F(FeedbackTest, OnTheGuiThreadTheErrorCueStartsOnTheRedBoxAndTheTextFollowsAtOnce) {
    // Looks at the box as the error sound starts.
    class WatchingSound final : public fk::platform::SoundOutput {
      public:
        explicit WatchingSound(QLineEdit*& box) : m_box(box) {}
        void PlayWaveAsync(const std::string&) override {}
        void PlayTonesAsync(std::span<const fk::platform::ToneStep>) override { Look(); }
        void PlayWaveSync(const std::string&, std::stop_token) override { waited = true; }
        void Tone(int, int, std::stop_token) override { waited = true; }
        void Silence() override {}
        QString text;
        QColor colour;
        bool waited = false;

      private:
        void Look() {
            text = m_box->text();
            colour = m_box->palette().color(QPalette::Text);
        }
        QLineEdit*& m_box;
    };
    QLineEdit* box = nullptr;
    WatchingSound watching(box);
    TKVUpgradeFrm window({boxes, dialogs, watching, adapters, tcpipConfig, neighbours});
    box = window.m_strStatus;
    window.ShowStatus(QStringLiteral("Uploading Started"));
    window.ShowStatus(QStringLiteral("Tftp error received"));
    EXPECT_EQ(watching.text, QStringLiteral("Uploading Started"));
    EXPECT_EQ(watching.colour, kRed);
    EXPECT_FALSE(watching.waited);
    EXPECT_EQ(box->text(), QStringLiteral("Tftp error received"));
}

// A cue as long as a sound file can make it: a worker sounding it, the window closed meanwhile.
TEST_F(FeedbackTest, ClosingTheWindowEndsAWorkersCueAtOnce) {
    fk::platform::SilentSoundOutput silent;
    std::ofstream wave(Dir() / "error.wav", std::ios::binary);
    // 8000 frames a second, 1 byte each, and 80,000 bytes held: 10 s; the header claims more.
    const char header[] =
        "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0"
        "\x40\x1f\0\0\x01\0\x08\0data\xff\xff\xff\xff";
    wave.write(header, sizeof header - 1);
    wave << std::string(80000, '\x80');
    wave.close();
    auto window = std::make_unique<TKVUpgradeFrm>(
        fk::WindowServices{boxes, dialogs, silent, adapters, tcpipConfig, neighbours});
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] { window->ShowStatus(QStringLiteral("Tftp error received")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    window->FormDestroy();
    const auto closed = std::chrono::steady_clock::now();
    worker.join();
    EXPECT_LT(closed - start, std::chrono::seconds(2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    window.reset();
    QCoreApplication::sendPostedEvents();
}

TEST_F(FeedbackTest, WorkerReportsReachTheControlsInCallOrder) {
    QStringList seen;
    QObject::connect(Window().m_strStatus, &QLineEdit::textChanged,
                     [&](const QString& text) { seen << text; });
    constexpr int kReports = 300;
    std::thread worker([&] {
        for (int i = 0; i < kReports; ++i) {
            Window().ShowStatus(QStringLiteral("Upload %1 (%) Completed").arg(i));
            Window().SetProgress(i);
        }
        Window().ShowStatus(QStringLiteral("Tftp error received"));
    });
    worker.join();
    // Nothing touched the box from the worker: it all waits for the GUI thread.
    EXPECT_TRUE(seen.isEmpty());

    // A report made on the GUI thread lands after the worker's earlier ones.
    Window().ShowStatus(QStringLiteral("Uploading Aborted"));
    ASSERT_EQ(seen.size(), kReports + 2);
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(seen[i], QStringLiteral("Upload %1 (%) Completed").arg(i));
    }
    EXPECT_EQ(seen[kReports], QStringLiteral("Tftp error received"));
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});
    EXPECT_EQ(seen.last(), QStringLiteral("Uploading Aborted"));
    EXPECT_EQ(Window().m_ctrlProgXfer->value(), 100);
    EXPECT_FALSE(Window().BTimer->isActive());
}

TEST_F(FeedbackTest, WorkerErrorTurnsTheBoxRedBeforeTheTextArrives) {
    Window();
    std::thread([&] { Window().ShowStatus(QStringLiteral("Tftp error received")); }).join();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(TextColour(), kRed);
    EXPECT_EQ(Window().m_strStatus->text(), QStringLiteral("Tftp error received"));
    EXPECT_TRUE(Window().BTimer->isActive());
}

TEST_F(FeedbackTest, WorkerMessageBoxIsShownByTheGuiThreadWithoutHoldingTheWorker) {
    Window();
    std::thread([&] {
        Window().ShowMessageFromWorker(QStringLiteral("File (x.bin) cannot be read"),
                                       QStringLiteral("Error"), fk::platform::MessageIcon::Stop);
    }).join();
    EXPECT_TRUE(boxes.Shown().empty());
    QCoreApplication::sendPostedEvents();
    const auto shown = boxes.Shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "File (x.bin) cannot be read");
    EXPECT_EQ(shown[0].caption, "Error");
    EXPECT_EQ(shown[0].icon, fk::platform::MessageIcon::Stop);
    EXPECT_EQ(shown[0].buttons, fk::platform::MessageButtons::Ok);
}

// A failed start sounds the start cue and, for its red step text and the failed step itself, the
// error cue twice, all in call order (the sound output plays them one after the other). That
// Abort silences them before it stops is the presenter's (tests/unit/window_presenter_test.cpp).
TEST_F(FeedbackTest, AFailedStartsCuesComeInCallOrderAndAbortSilencesThem) {
    const std::string dir = std::filesystem::current_path().string();
    const std::vector<std::vector<FakeSound::Played>> expected{
        {{Kind::ToneAsync, {}, 1046, 1000}, kErrorTone, kErrorTone},
        {{Kind::WaveAsync, dir + "/start.wav"},
         {Kind::WaveAsync, dir + "/error.wav"},
         {Kind::WaveAsync, dir + "/error.wav"}}};
    for (const auto& cues : expected) {
        sound.Clear();
        Window().PlayCue(1);
        Window().ShowStatus(QStringLiteral("Step 3 bootp socket error: error code (98)"));
        Window().PlayCue(3);
        EXPECT_EQ(sound.Log(), cues);
        for (const char* name : {"start.wav", "error.wav"}) PutFile(Dir(), name);
    }
}
