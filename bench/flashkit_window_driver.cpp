// The whole FlashKit window path as the benchmark's "window" server: the real window, built
// offscreen with the real card list, neighbour table and upload session, and stand-ins only for
// what an operator would see or hear (message boxes, file dialogs, sound). It does what the
// operator does: picks the card with the given host address, types the recorder's MAC octets,
// chooses the image on the Data Image tab (a data image has no trailer to check) and presses
// Upload; after each "Uploading Completed" it presses Upload again. Its uploads are recorded in
// the user's history ($XDG_STATE_HOME), as the operator's window records them.
//
// Usage: flashkit-bench-window [--host-address A.B.C.D] [--mac3 XX --mac4 XX --mac5 XX]
//                              [--no-stall-probe] [--cue-cases] [--report FILE] IMAGE
// It measures, and writes to the report (one line of key=value, at the end):
//   shown_ms        from the process's start (kernel start time) to the window shown;
//   transfers       completed uploads;
//   max_stall_ms    the longest gap between ticks of a 10 ms timer while a transfer ran
//                   (from the first progress report to "Uploading Completed");
//   hwm_start_kb    peak resident memory (VmHWM) when the first Upload was pressed;
//   rss_start_kb    resident memory (VmRSS) then;
//   hwm_end_kb, rss_end_kb   the same at the stop, after the last transfer;
//   gui_cpu_ms      CPU time of the GUI thread from the first Upload press to the stop (what
//                   the window's feedback costs; less swayed by other load than the seconds);
//   process_cpu_ms  the same for the whole process (workers included).
// --no-stall-probe leaves the 10 ms timer off (for measuring the CPU used while announcing).
// --cue-cases plays the cases where the window could wait for a sound, with cues that take
// their real time (no sound is heard) and an error.wav whose header claims 0xFFFFFFFF bytes
// of data over its 2 s: Upload pressed right at the first completion; Upload failing on a
// held TFTP port, its error blinking with the error cue, then Abort; Upload again, and the
// window closed right at the second completion, while the completion tones still sound. It
// then ends by itself and reports
//   cue_stall_ms    the longest the event loop was held in those cases: a gap between ticks
//                   of the 10 ms timer from the first Upload on, or a press or the closing.
// Ends on SIGTERM or SIGINT, when a message box is raised (status 1), or when the card is not
// found (status 1).
//
// It runs offscreen unless QT_QPA_PLATFORM names another platform (as xcb with DISPLAY set).
//
// Only ever run inside a private network namespace: the upload announces every 30 ms.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "app/flashkit_application.h"
#include "app/kvupgradefrm.h"
#include "app/startup.h"
#include "history/upload_history.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/qt/qt_sound_output.h"
#include "platform/tcpip_config.h"
#include "tests/support/fakes.h"

namespace {

struct Options {
    QString hostAddress = QStringLiteral("192.168.77.1");
    QString mac[3] = {QStringLiteral("1A"), QStringLiteral("2B"), QStringLiteral("3C")};
    bool stallProbe = true;
    bool cueCases = false;
    std::string report;
    QString imagePath;
};

std::atomic<bool> g_stopRequested{false};

void RequestStop(int) {
    g_stopRequested.store(true);
}

// Milliseconds since the kernel started this process (its start time is kept in clock ticks
// since boot, so this is good to one tick).
double MillisecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    // After "pid (comm) " the start time is the 20th field (the 22nd of the whole line).
    for (int i = 0; i < 20 && fields >> field;) ++i;
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double startSeconds = std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return (static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9 -
            startSeconds) *
           1e3;
}

double CpuMilliseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A "Vm..." line of /proc/self/status, in kB.
long StatusKilobytes(std::string_view key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

// Holds a UDP port of the namespace, so that the window's own bind fails; released with it.
class HeldPort {
  public:
    explicit HeldPort(std::uint16_t port) : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("flashkit-bench-window: holding the TFTP port");
        }
    }
    ~HeldPort() {
        if (m_fd >= 0) close(m_fd);
    }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

  private:
    int m_fd;
};

// 2 s of 8 kHz 8-bit silence whose header claims 0xFFFFFFFF bytes, as streaming writers leave.
void WriteErrorCue(const QString& path) {
    const char header[] =
        "RIFF\xff\xff\xff\xffWAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1f\0\0\x40\x1f\0\0\x01\0\x08\0"
        "data\xff\xff\xff\xff";
    std::ofstream wave(path.toStdString(), std::ios::binary);
    wave.write(header, sizeof header - 1);
    wave << std::string(16000, '\x80');
}

// Plays the operator and keeps the measurements.
class Operator : public QObject {
  public:
    Operator(TKVUpgradeFrm& window, fk::testing::FakeMessageBoxes& boxes, const Options& options)
        : m_window(window), m_boxes(boxes), m_options(options) {
        m_probe.setTimerType(Qt::PreciseTimer);
        m_probe.setInterval(10);
        connect(&m_probe, &QTimer::timeout, this, [this] { ProbeTick(); });
        m_watch.setInterval(20);
        connect(&m_watch, &QTimer::timeout, this, [this] { Watch(); });
    }

    // The window is on screen: set up the upload and press Upload.
    bool Start(double shownMs) {
        m_shownMs = shownMs;
        if (!SelectCard()) return false;
        m_window.editMac3->setText(m_options.mac[0]);
        m_window.editMac4->setText(m_options.mac[1]);
        m_window.editMac5->setText(m_options.mac[2]);
        m_window.ImgPageCtrl->setCurrentIndex(1);
        m_window.m_strDataFile->setText(m_options.imagePath);
        m_hwmStart = StatusKilobytes("VmHWM");
        m_rssStart = StatusKilobytes("VmRSS");
        m_guiCpuStart = CpuMilliseconds(CLOCK_THREAD_CPUTIME_ID);
        m_processCpuStart = CpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID);
        m_watch.start();
        if (m_options.stallProbe) {
            m_sinceTick.start();
            m_probe.start();
        }
        PressUpload();
        return true;
    }

    // The window was closed in this many milliseconds.
    void Closed(double ms) { m_cueStallMs = std::max(m_cueStallMs, ms); }

    std::string Report() const {
        char line[512];
        std::snprintf(line, sizeof line,
                      "shown_ms=%.1f transfers=%d max_stall_ms=%.1f hwm_start_kb=%ld "
                      "hwm_end_kb=%ld rss_start_kb=%ld rss_end_kb=%ld gui_cpu_ms=%.1f "
                      "process_cpu_ms=%.1f",
                      m_shownMs, m_transfers, m_maxStallMs, m_hwmStart, m_hwmEnd, m_rssStart,
                      m_rssEnd, m_guiCpuMs, m_processCpuMs);
        std::string report = line;
        if (m_options.cueCases) {
            std::snprintf(line, sizeof line, " cue_stall_ms=%.1f", m_cueStallMs);
            report += line;
        }
        return report;
    }

    bool Failed() const { return m_failed; }

  private:
    bool SelectCard() {
        for (int i = 0; i < m_window.m_cbNetinfo->count(); ++i) {
            m_window.m_cbNetinfo->setCurrentIndex(i);
            if (m_window.m_ctrlAddrIp->text() == m_options.hostAddress) return true;
        }
        std::fprintf(stderr, "flashkit-bench-window: no card with address %s\n",
                     qPrintable(m_options.hostAddress));
        return false;
    }

    void PressUpload() {
        QElapsedTimer press;
        press.start();
        m_window.BtnUpload->click();
        m_cueStallMs = std::max(m_cueStallMs, static_cast<double>(press.nsecsElapsed()) / 1e6);
        m_transferRunning = false;
    }

    // The cue cases after each completion; false once the window is to close.
    bool NextCueCase() {
        if (m_transfers == 1) {
            PressUpload();  // right at the completion, while its tones sound
            PressUpload();  // Abort
            {
                const HeldPort tftp(69);
                PressUpload();  // fails on the held port: the error blinks with its cue
            }
            QTimer::singleShot(1200, this, [this] {
                PressUpload();  // Abort during the error cue
                PressUpload();
            });
            return true;
        }
        return false;
    }

    // On the GUI thread, at the stop.
    void Ended() {
        m_hwmEnd = StatusKilobytes("VmHWM");
        m_rssEnd = StatusKilobytes("VmRSS");
        m_guiCpuMs = CpuMilliseconds(CLOCK_THREAD_CPUTIME_ID) - m_guiCpuStart;
        m_processCpuMs = CpuMilliseconds(CLOCK_PROCESS_CPUTIME_ID) - m_processCpuStart;
    }

    // Every 20 ms: a transfer began (the progress moved), ended (the window is idle again and
    // says so), or a box came up; and a stop asked for by a signal.
    void Watch() {
        if (g_stopRequested.load()) {
            // The benchmark stops the server once its client has the whole image.
            Ended();
            QApplication::quit();
            return;
        }
        if (!m_boxes.Shown().empty()) {
            const auto box = m_boxes.Shown().front();
            std::fprintf(stderr, "flashkit-bench-window: box \"%s\" (%s)\n", box.text.c_str(),
                         box.caption.c_str());
            m_failed = true;
            QApplication::quit();
            return;
        }
        const QString status = m_window.m_strStatus->text();
        const bool errorExpected = m_options.cueCases && m_transfers == 1;
        if (!errorExpected && status.contains(QStringLiteral("error"), Qt::CaseInsensitive)) {
            std::fprintf(stderr, "flashkit-bench-window: status \"%s\"\n", qPrintable(status));
            m_failed = true;
            QApplication::quit();
            return;
        }
        const bool idle = m_window.BtnUpload->text() == QStringLiteral("&Upload");
        if (idle && status == QStringLiteral("Uploading Completed")) {
            ++m_transfers;
            if (!m_options.cueCases) {
                PressUpload();
            } else if (!NextCueCase()) {
                Ended();
                QApplication::quit();
            }
        }
    }

    void ProbeTick() {
        const double gap = static_cast<double>(m_sinceTick.nsecsElapsed()) / 1e6;
        m_sinceTick.start();
        m_cueStallMs = std::max(m_cueStallMs, gap);
        // A transfer runs from its first progress report until the window is idle again.
        if (m_window.m_ctrlProgXfer->value() > 0 &&
            m_window.BtnUpload->text() != QStringLiteral("&Upload")) {
            if (m_transferRunning && gap > m_maxStallMs) m_maxStallMs = gap;
            m_transferRunning = true;
        }
    }

    TKVUpgradeFrm& m_window;
    fk::testing::FakeMessageBoxes& m_boxes;
    const Options& m_options;
    QTimer m_probe;
    QTimer m_watch;
    QElapsedTimer m_sinceTick;
    bool m_transferRunning = false;
    bool m_failed = false;
    int m_transfers = 0;
    double m_shownMs = 0;
    double m_maxStallMs = 0;
    double m_cueStallMs = 0;
    long m_hwmStart = -1;
    long m_rssStart = -1;
    long m_hwmEnd = -1;
    long m_rssEnd = -1;
    double m_guiCpuStart = 0;
    double m_processCpuStart = 0;
    double m_guiCpuMs = 0;
    double m_processCpuMs = 0;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--host-address" && hasValue) {
            options.hostAddress = QString::fromLocal8Bit(argv[++i]);
        } else if ((arg == "--mac3" || arg == "--mac4" || arg == "--mac5") && hasValue) {
            options.mac[arg.back() - '3'] = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--no-stall-probe") {
            options.stallProbe = false;
        } else if (arg == "--cue-cases") {
            options.cueCases = true;
        } else if (arg == "--report" && hasValue) {
            options.report = argv[++i];
        } else if (arg.starts_with("--") || !options.imagePath.isEmpty()) {
            return std::nullopt;
        } else {
            options.imagePath = QString::fromLocal8Bit(argv[i]);
        }
    }
    if (options.imagePath.isEmpty()) return std::nullopt;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: flashkit-bench-window [--host-address A.B.C.D] [--mac3 XX --mac4 XX "
                     "--mac5 XX] [--no-stall-probe] [--cue-cases] [--report FILE] IMAGE\n");
        return 2;
    }
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
    // Offscreen unless the caller names a platform (xcb for the rows on an X server).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    fk::FlashKitApplication app(argc, argv);
    fk::testing::FakeMessageBoxes boxes;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound silentAtOnce;
    fk::platform::SilentSoundOutput timed;
    fk::platform::SoundOutput& sound =
        options->cueCases ? static_cast<fk::platform::SoundOutput&>(timed) : silentAtOnce;
    // The cues are looked up in the working directory.
    QTemporaryDir cueDir;
    if (options->cueCases) {
        WriteErrorCue(cueDir.filePath(QStringLiteral("error.wav")));
        QDir::setCurrent(cueDir.path());
    }
    const auto adapters = fk::platform::MakeSystemAdapterSource();
    const auto tcpipConfig = fk::platform::MakeKeyfileTcpipConfig();
    const auto neighbours = fk::platform::MakeSystemNeighbourTable();
    // Every upload is recorded, as in the window the operator runs.
    fk::history::UploadHistory history(fk::history::DefaultHistoryPath());
    const fk::WindowServices services{boxes,        dialogs,     sound,   *adapters,
                                      *tcpipConfig, *neighbours, nullptr, &history};
    app.SetErrorBoxes(&boxes);
    QApplication::setApplicationName(kApplicationTitle);
    auto window = fk::CreateMainWindow(services);
    window->show();
    Operator driver(*window, boxes, *options);
    bool started = false;
    // The first turn of the event loop after show() is when the window is on screen.
    QTimer::singleShot(0, &driver, [&] {
        started = driver.Start(MillisecondsSinceProcessStart());
        if (!started) QApplication::quit();
    });
    QApplication::exec();
    QElapsedTimer closing;
    closing.start();
    fk::DestroyMainWindow(std::move(window));
    driver.Closed(static_cast<double>(closing.nsecsElapsed()) / 1e6);
    const std::string report = driver.Report();
    std::printf("%s\n", report.c_str());
    if (!options->report.empty()) std::ofstream(options->report) << report << '\n';
    return started && !driver.Failed() ? 0 : 1;
}
