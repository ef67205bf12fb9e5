#include <QCoreApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <thread>

#include "window_fixture.h"

namespace {

using fk::testing::FakeSound;
using Kind = FakeSound::Played::Kind;

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

const FakeSound::Played kErrorTone{Kind::Tone, {}, 1569, 300};

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
    Window().PlayCue(1);
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{{Kind::Tone, {}, 1046, 1000}}));
    sound.Clear();
    Window().PlayCue(2);
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{{Kind::Tone, {}, 1046, 300},
                                                           {Kind::Tone, {}, 1318, 300},
                                                           {Kind::Tone, {}, 1568, 300},
                                                           {Kind::Tone, {}, 2093, 400}}));
    sound.Clear();
    Window().PlayCue(3);
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});
    sound.Clear();
    for (int silent : {0, 4, -1}) Window().PlayCue(silent);
    EXPECT_TRUE(sound.Log().empty());
}

TEST_F(FeedbackTest, PresentCueFilesPlayInTheBackgroundExceptTheErrorCue) {
    for (const char* name : {"start.wav", "complete.wav", "error.wav"}) PutFile(Dir(), name);
    for (int cue : {0, 1, 2, 3, 4}) Window().PlayCue(cue);
    const std::string dir = std::filesystem::current_path().string();
    EXPECT_EQ(sound.Log(), (std::vector<FakeSound::Played>{{Kind::WaveAsync, dir + "/start.wav"},
                                                           {Kind::WaveAsync, dir + "/complete.wav"},
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
                               {Kind::WaveSync, (withFile / "error.wav").string()}, kErrorTone}));
}

TEST_F(FeedbackTest, ErrorTextIsSetOnlyAfterTheErrorSoundHasEnded) {
    // Looks at the box while the error sound plays.
    class WatchingSound final : public fk::platform::SoundOutput {
      public:
        explicit WatchingSound(QLineEdit*& box) : m_box(box) {}
        void PlayWaveAsync(const std::string&) override {}
        void PlayWaveSync(const std::string&) override { Look(); }
        void Tone(int, int) override { Look(); }
        QString text;
        QColor colour;

      private:
        void Look() {
            text = m_box->text();
            colour = m_box->palette().color(QPalette::Text);
        }
        QLineEdit*& m_box;
    };
    QLineEdit* box = nullptr;
    WatchingSound watching(box);
    TKVUpgradeFrm window({&boxes, &dialogs, &watching});
    box = window.m_strStatus;
    window.ShowStatus(QStringLiteral("Uploading Started"));
    window.ShowStatus(QStringLiteral("Tftp error received"));
    EXPECT_EQ(watching.text, QStringLiteral("Uploading Started"));
    EXPECT_EQ(watching.colour, kRed);
    EXPECT_EQ(box->text(), QStringLiteral("Tftp error received"));
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
    EXPECT_EQ(sound.Log(), std::vector{kErrorTone});

    // A report made on the GUI thread lands after the worker's earlier ones.
    Window().ShowStatus(QStringLiteral("Uploading Aborted"));
    ASSERT_EQ(seen.size(), kReports + 2);
    for (int i = 0; i < kReports; ++i) {
        ASSERT_EQ(seen[i], QStringLiteral("Upload %1 (%) Completed").arg(i));
    }
    EXPECT_EQ(seen[kReports], QStringLiteral("Tftp error received"));
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
