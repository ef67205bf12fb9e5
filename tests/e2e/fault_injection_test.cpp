// Faults injected into real uploads: the window in the pc namespace, the simulated recorder on
// the other side, and something going wrong on the way. Each case states what the operator
// sees and proves that nothing reaches the recorder silently wrong. docs/robustness.md lists
// them. Busy ports 67/69 are covered by window_upload_test.cpp (BusyPorts...), a full disk at
// save by tests/gui/settings_test.cpp (FailedImagePathWrite).

#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "tests/e2e/boot_server_double.h"
#include "tests/e2e/window_e2e.h"
#include "tests/support/capabilities.h"
#include "tests/support/network_fakes.h"
#include "tests/support/settings_location.h"
#include "upgrade/tftp_engine.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using E2eClock = std::chrono::steady_clock;

constexpr int kErrorToneHz = 1569;

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Random datagrams of 0 to 2000 bytes from a third machine on the recorder's segment
// (192.168.77.3) at the pc's port 69, sent by a thread that lives in the recorder namespace.
class JunkSender {
  public:
    JunkSender(const NetnsPair& net, int count)
        : m_thread([this, recorder = net.recorder, count] { Run(recorder, count); }) {}
    ~JunkSender() { m_thread.join(); }
    JunkSender(const JunkSender&) = delete;
    JunkSender& operator=(const JunkSender&) = delete;

    bool Done() const { return m_done.load(); }
    int Sent() const { return m_sent.load(); }

  private:
    void Run(const std::string& recorder, int count) {
        const int ns = open(("/var/run/netns/" + recorder).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
        if (ns >= 0) close(ns);
        int fd = entered ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(0xC0A84D03);  // 192.168.77.3
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
            close(fd);
            fd = -1;
        }
        sockaddr_in pc{};
        pc.sin_family = AF_INET;
        pc.sin_port = htons(69);
        pc.sin_addr.s_addr = htonl(0xC0A84D01);  // 192.168.77.1
        std::mt19937 random(20240611);
        std::vector<std::uint8_t> bytes(2000);
        for (int n = 0; fd >= 0 && n < count; ++n) {
            const std::size_t size = random() % 2001;
            for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(random());
            if (sendto(fd, bytes.data(), size, 0, reinterpret_cast<sockaddr*>(&pc), sizeof pc) >= 0)
                ++m_sent;
        }
        if (fd >= 0) close(fd);
        m_done.store(true);
    }

    std::atomic<int> m_sent{0};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// AddressSanitizer keeps freed memory in a quarantine: resident sizes say nothing there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FK_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(FK_ADDRESS_SANITIZER)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

class FaultInjectionE2e : public WindowE2e {
  protected:
    // Waited for by a worker or started by the GUI thread.
    std::size_t ErrorCues() {
        const auto log = sound.Log();
        return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [](const auto& p) {
            const bool tone = p.kind == FakeSound::Played::Kind::Tone ||
                              p.kind == FakeSound::Played::Kind::ToneAsync;
            return tone && p.frequencyHz == kErrorToneHz;
        }));
    }

    bool BoxShown(const std::string& text) {
        const auto shown = boxes.Shown();
        return std::any_of(shown.begin(), shown.end(),
                           [&](const auto& box) { return box.text == text; });
    }

    // Waits until the transfer has started (the bar moved), then runs `fault`.
    void WhenTransferring(const std::function<void()>& fault) {
        ASSERT_TRUE(WaitFor([&] { return m_window->m_ctrlProgXfer->value() > 0; }, 15'000));
        fault();
    }

    void Link(const std::string& ns, const std::string& link, const char* state) {
        ASSERT_EQ(RunCommand("ip -n " + ns + " link set " + link + " " + state), 0);
    }
};

TEST_F(FaultInjectionE2e, JunkFloodOnPort69DuringATransferChangesNothing) {
    auto& w = OpenWindow();
    // Large, so that the lock-step transfer outlasts the junk.
    const auto image = SystemImage(30 << 20);
    Prepare(0, Image("fw_flood.bin", image));
    const fs::path received = m_work / "received.bin";
    int statusChanges = 0;
    QObject::connect(w.m_strStatus, &QLineEdit::textChanged, [&] { ++statusChanges; });
    const long residentBefore = ResidentKiB();
    Recorder recorder(*m_net, {"--fetch", "--retry", "0.3", "--output", received.string()}, 90s);
    const auto started = E2eClock::now();

    Press();
    std::unique_ptr<JunkSender> junk;
    WhenTransferring([&] {
        ASSERT_EQ(RunCommand("ip -n " + m_net->recorder + " addr add 192.168.77.3/24 dev " +
                             m_net->recorderLink),
                  0);
        junk = std::make_unique<JunkSender>(*m_net, 100'000);
    });
    ASSERT_TRUE(junk);
    ASSERT_TRUE(WaitFor([&] { return junk->Done() || !w.Uploading(); }, 80'000));
    // The junk has to meet a running transfer to prove anything; on a loaded machine the
    // transfer may end first, so a good part of it is enough.
    EXPECT_GE(junk->Sent(), 20'000) << "the transfer ended too early: use a larger image";
    const auto run = recorder.Finish();
    ASSERT_TRUE(WaitFor([&] { return junk->Done(); }, 80'000));
    const double seconds = std::chrono::duration<double>(E2eClock::now() - started).count();

    EXPECT_EQ(junk->Sent(), 100'000);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
    EXPECT_EQ(Status(), "Uploading Completed");
    EXPECT_EQ(run.Line("tftp").at("strangers"), "0");
    // Memory stays flat: nothing queued per datagram (generous bound: allocator noise).
    if (!kAddressSanitizer) {
        EXPECT_LT(ResidentKiB() - residentBefore, 32 * 1024);
    }
    // Readable: the percentages, the start and the end, and few error reports at most.
    EXPECT_LT(statusChanges, 250);
    EXPECT_LE(ErrorCues(), 2 + 2 * static_cast<std::size_t>(seconds));
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ(ReadAll(received),
              HeaderAndImage(1, static_cast<std::uint32_t>(image.size()), image));
}

TEST_F(FaultInjectionE2e, ImageChangedMidTransferIsReportedNeverCompleted) {
    m_options.sendTimeOut = 100ms;
    OpenWindow();
    // Large, so that the change lands mid-transfer even when the window sees the bar move late
    // on a busy machine: the transfer stops at the change, so its size costs little time.
    constexpr std::uint64_t kSize = 16 << 20;
    const auto image = SystemImage(kSize);
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::function<std::string(const fs::path&)> text;
    };
    const auto changed = [](const fs::path& path) {
        return "File (" + path.string() + ") Read Error, the file changed during the upload";
    };
    const std::vector<Case> cases{
        {"truncated", [](const fs::path& path) { fs::resize_file(path, 100'000); }, changed},
        {"grown", [](const fs::path& path) { fs::resize_file(path, kSize + 5000); }, changed},
        {"replaced",
         [&](const fs::path& path) {
             WriteFile(path.string() + ".new", SystemImage(kSize));
             fs::rename(path.string() + ".new", path);
         },
         changed},
        {"deleted", [](const fs::path& path) { fs::remove(path); },
         [](const fs::path& path) {
             return "File (" + path.string() + ") Open Error (Error Code = 2)";
         }},
    };
    std::vector<QString> texts;
    QObject::connect(m_window->m_strStatus, &QLineEdit::textChanged,
                     [&](const QString& text) { texts.push_back(text); });
    const std::vector<QString> retries = ResendTexts();
    // A plain recorder, and one that acknowledges every repeated block and repeats its own
    // acknowledgement, as boot loaders do: neither may keep the upload alive past the limit.
    const std::vector<std::vector<std::string>> recorders{{}, {"--ack-repeats", "--retry", "0.15"}};
    for (const auto& c : cases) {
        for (const auto& faults : recorders) {
            SCOPED_TRACE(std::string(c.what) + (faults.empty() ? "" : ", re-acknowledging"));
            const fs::path path = Image(std::string("fw_") + c.what + ".bin", image);
            Prepare(0, path);
            sound.Clear();
            boxes.shown.clear();
            const fs::path received = m_work / "received.bin";
            std::vector<std::string> arguments{"--fetch", "--output", received.string()};
            arguments.insert(arguments.end(), faults.begin(), faults.end());
            Recorder recorder(*m_net, arguments, 6s);
            Press();
            WhenTransferring([&] { c.change(path); });
            texts.clear();
            // The recorder hears nothing new; the resends of the last good block run out.
            const std::string timeOut = "TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)";
            ASSERT_TRUE(WaitFor(
                [&] { return Caption() == "&Upload" && Status() == timeOut.c_str(); }, 15'000))
                << Status().toStdString();
            EXPECT_TRUE(BoxShown(c.text(path)));
            EXPECT_TRUE(BoxShown(timeOut));
            // The file's error once, then the twenty resends of the block before it.
            const auto error =
                std::find(texts.begin(), texts.end(), QString::fromStdString(c.text(path)));
            ASSERT_NE(error, texts.end());
            EXPECT_EQ(std::count(texts.begin(), texts.end(), *error), 1);
            std::vector<QString> after;
            std::copy_if(error, texts.end(), std::back_inserter(after),
                         [](const QString& text) { return text.startsWith("retry transfer"); });
            EXPECT_EQ(after, retries);
            EXPECT_FALSE(CompletionCuePlayed());
            const auto run = recorder.Finish();
            EXPECT_NE(run.exitCode, 0);
            EXPECT_NE(run.Line("tftp").at("status"), "complete");
            // What the recorder holds is a true beginning of the announced image, never a mix.
            const auto got = ReadAll(received);
            const auto expected =
                HeaderAndImage(1, static_cast<std::uint32_t>(image.size()), image);
            ASSERT_LT(got.size(), expected.size());
            EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
            ASSERT_TRUE(PortsFree());
        }
    }
}

TEST_F(FaultInjectionE2e, ImageOnAPathWithSpacesAndNonAsciiIsServed) {
    auto& w = OpenWindow();
    const auto image = SystemImage(70'000);
    fs::create_directories(m_work / "Prüf Bild");
    const fs::path path = m_work / "Prüf Bild" / "fw ä.bin";
    WriteFile(path, image);
    Prepare(0, path);
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--fetch", "--expect-kind", "1", "--output", received.string()},
                      15s);
    Press();
    const auto run = recorder.Finish();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(run.Line("bootp").at("file"), "fw\\x20\\xc3\\xa4.bin");
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 70'000, image));
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload"; }));
    EXPECT_EQ(Status(), "Uploading Completed");
    EXPECT_EQ(w.Presenter().ImageName(fk::ImagePage::System), "fw ä.bin");
}

TEST_F(FaultInjectionE2e, UnreadableImagesAreRefusedOrReportedWithTheirErrorCode) {
    m_options.sendTimeOut = 100ms;
    auto& w = OpenWindow();
    const fs::path system = Image("fw_locked.bin", SystemImage(3000));
    std::vector<std::uint8_t> font(3000, 0x5A);
    const fs::path data = Image("Locked.Fnt", font);
    ASSERT_EQ(chmod(system.c_str(), 0), 0);
    ASSERT_EQ(chmod(data.c_str(), 0), 0);
    CapabilitiesDropped ordinaryUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
    ASSERT_TRUE(ordinaryUser.dropped);

    // A system image is checked before anything opens: the check's own box, then the refusal.
    Prepare(0, system);
    Press();
    EXPECT_TRUE(
        BoxShown("The uploading system file image doesn't agree right with system to upload."));
    EXPECT_EQ(Caption(), "&Upload");
    EXPECT_TRUE(PortsFree());

    // A data image is not checked: the recorder's request finds it unreadable.
    boxes.shown.clear();
    Prepare(1, data);
    const fs::path received = m_work / "received.fnt";
    Recorder recorder(*m_net, {"--fetch", "--output", received.string()}, 6s);
    Press();
    const std::string text = "File (" + data.string() + ") Open Error (Error Code = 13)";
    ASSERT_TRUE(WaitFor([&] { return BoxShown(text); }, 10'000));
    EXPECT_TRUE(BoxShown("Image file open error"));
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload"; }, 10'000));
    EXPECT_EQ(Status(), "TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)");
    EXPECT_FALSE(CompletionCuePlayed());
    const auto run = recorder.Finish();
    // Only the header block, announcing nothing, ever went out.
    EXPECT_EQ(run.Line("tftp").at("blocks"), "1");
    EXPECT_EQ(run.Line("tftp").at("size"), "0");
    EXPECT_EQ(w.m_ctrlProgXfer->value(), 0);
}

TEST_F(FaultInjectionE2e, WithoutPrivilegesTheStepErrorShowsItsCodeAndTheReadmeExplains) {
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(1000)));
    // The window then asks the network helper, which as a child of root would regain every
    // capability at exec: told not to, it holds none, as an ordinary user's helper given none.
    const int securebits = prctl(PR_GET_SECUREBITS);
    ASSERT_EQ(prctl(PR_SET_SECUREBITS, securebits | SECBIT_NOROOT), 0);
    {
        CapabilitiesDropped ordinaryUser({CAP_NET_BIND_SERVICE, CAP_NET_ADMIN, CAP_NET_RAW});
        ASSERT_TRUE(ordinaryUser.dropped);
        Press();
        EXPECT_EQ(Status(), "Step 3 bootp socket error: error code (13)");
        EXPECT_EQ(w.m_strStatus->palette().color(QPalette::Text), QColor(255, 0, 0));
        EXPECT_GE(ErrorCues(), 2u);
        EXPECT_FALSE(w.Uploading());
        Press();
        EXPECT_EQ(Status(), "Uploading Aborted");
    }
    ASSERT_EQ(prctl(PR_SET_SECUREBITS, securebits), 0);
    // The helper could be run: nothing for the operator to ask for beyond the status line.
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(PortsFree());
    std::ifstream readme(fs::path(FLASHKIT_SOURCE_DIR) / "README.md");
    ASSERT_TRUE(readme.is_open());
    const std::string text{std::istreambuf_iterator<char>(readme), {}};
    const auto privileges = text.find("## Privileges");
    ASSERT_NE(privileges, std::string::npos);
    EXPECT_NE(text.find("\"Step 3 bootp socket error: error code (13)\"", privileges),
              std::string::npos);
    EXPECT_NE(text.find("a build tree uploads only as root", privileges), std::string::npos);
}

TEST_F(FaultInjectionE2e, RefusedNeighbourEntryLeavesTheAnnouncerRunningQuietly) {
    auto refusing = std::make_unique<FakeNeighbourTable>();
    refusing->refuse = true;
    FakeNeighbourTable& table = *refusing;
    m_neighbours = std::move(refusing);
    auto& w = OpenWindow();
    Prepare(0, Image("fw_e2e.bin", SystemImage(1000)));
    // Without the entry the kernel asks by ARP for an address nobody holds yet.
    Recorder recorder(*m_net, {"--count", "1"}, 2s);
    Press();
    const auto run = recorder.Finish();
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    EXPECT_TRUE(w.Uploading());
    EXPECT_EQ(Status(), "Uploading Started");
    EXPECT_EQ(ErrorCues(), 0u);
    EXPECT_TRUE(boxes.Shown().empty());
    const auto calls = table.Calls();
    EXPECT_GT(std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.add; }), 10);
    Press();
    EXPECT_EQ(Status(), "Uploading Aborted");
    EXPECT_TRUE(PortsFree());
}

// A network manager takes the card's address while the card has no carrier (the recorder is
// off) and gives it back with the link: the window follows the card, the announcer waits for the
// address instead of announcing without one, and a card plugged in meanwhile (a veth pair) joins
// the list.
TEST_F(FaultInjectionE2e, CardLosingItsAddressWhileAnnouncingResumesWhenItComesBack) {
    OpenWindow();
    const auto image = SystemImage(20'000);
    Prepare(0, Image("fw_e2e.bin", image));
    const QString card = m_window->m_cbNetinfo->currentText();
    Press();
    Link(m_net->recorder, m_net->recorderLink, "down");
    PcCommand("addr flush dev ");
    const QString waiting =
        QString::fromStdString("Waiting for an IPv4 address on " + m_net->pcLink);
    EXPECT_TRUE(WaitFor([&] { return Status() == waiting; }, 3'000)) << Status().toStdString();
    EXPECT_EQ(m_window->m_ctrlAddrIp->text(), "0.0.0.0");
    EXPECT_FALSE(ErrorCuePlayed());
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " link add fkplug0 type veth peer name fkplug1"),
              0);
    EXPECT_TRUE(WaitFor([&] { return m_window->m_cbNetinfo->findText("fkplug0 (veth)") >= 0; }));
    EXPECT_EQ(m_window->m_cbNetinfo->currentText(), card);
    EXPECT_TRUE(m_window->Uploading());
    Link(m_net->recorder, m_net->recorderLink, "up");
    PcCommand("addr add 192.168.77.1/24 dev ");
    EXPECT_TRUE(WaitFor([&] { return Status() == "Uploading Started"; }, 3'000));
    EXPECT_EQ(m_window->m_ctrlAddrIp->text(), "192.168.77.1");
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--silent-arp", "--fetch", "--output", received.string()}, 10s);
    const auto run = recorder.Finish();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 20'000, image));
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
    EXPECT_EQ(Status(), "Uploading Completed");

    // The card of an upload plugged out: the replies do not move to the first card in the list;
    // plugged in again, under another index, it is selected and announced through again.
    const std::string plugged = "ip -n " + m_net->pc + " addr add 10.5.5.1/24 dev fkplug0";
    ASSERT_EQ(RunCommand(plugged), 0);
    PickCard("fkplug0");
    EXPECT_TRUE(WaitFor([&] { return m_window->m_ctrlAddrIp->text() == "10.5.5.1"; }));
    Press();
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " link del fkplug0"), 0);
    EXPECT_TRUE(WaitFor([&] { return Status() == "Waiting for the network card to come back"; }));
    EXPECT_EQ(m_window->HostAddress(), 0u);
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " link add fkplug0 type veth peer name fkplug1"),
              0);
    ASSERT_EQ(RunCommand(plugged), 0);
    EXPECT_TRUE(WaitFor([&] { return Status() == "Uploading Started"; }));
    EXPECT_EQ(m_window->m_cbNetinfo->currentText(), "fkplug0 (veth)");
    EXPECT_EQ(m_window->m_ctrlAddrIp->text(), "10.5.5.1");
    Press();
    EXPECT_EQ(Status(), "Uploading Aborted");
}

// A boot loader that never answers ARP requests is reached only through the entry the upload
// made: it is kept for the whole transfer, which here outlasts the card's neighbour timers many
// times over (without the keeper the entry fails within about 3 s), and put back at once when
// the carrier returns after the recorder's link was down for 2 s; the periodic add is kept out
// of that case, so only the carrier's return can mend it.
TEST_F(FaultInjectionE2e, SilentArpRecorderKeepsItsEntryThroughTimersAndALinkDrop) {
    struct Case {
        const char* name;
        std::vector<std::string> faults;
        std::chrono::milliseconds entryRefresh;
    };
    const Case cases[] = {
        {"timers", {"--ack-delay", "0.002"}, 300ms},
        {"link drop", {"--link-drop-at", "300", "--link-drop", "2", "--retry", "0.3"}, 60s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_net = std::make_unique<NetnsPair>("192.168.77.1/24", kRecorderMacText);
        const std::string neigh = "/proc/sys/net/ipv4/neigh/" + m_net->pcLink + "/";
        for (const auto& [name, value] : {std::pair{"base_reachable_time_ms", "1000"},
                                          {"delay_first_probe_time", "1"},
                                          {"retrans_time_ms", "100"},
                                          {"ucast_solicit", "1"},
                                          {"gc_stale_time", "1"}}) {
            ASSERT_EQ(RunCommand(m_net->OnPc("sh -c 'echo " + std::string(value) + " > " + neigh +
                                             name + "'")),
                      0);
        }
        m_options.entryRefresh = c.entryRefresh;
        OpenWindow();
        const auto image = SystemImage(1 << 20);
        Prepare(0, Image("fw_e2e.bin", image));
        const fs::path received = m_work / "received.bin";
        std::vector<std::string> arguments{"--silent-arp", "--fetch", "--output",
                                           received.string()};
        arguments.insert(arguments.end(), c.faults.begin(), c.faults.end());
        Recorder recorder(*m_net, arguments, 40s);
        Press();
        const auto run = recorder.Finish();
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadAll(received),
                  HeaderAndImage(1, static_cast<std::uint32_t>(image.size()), image));
        ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
        EXPECT_EQ(Status(), "Uploading Completed");
        DestroyMainWindow(std::move(m_window));
        m_net->LeavePc();
    }
}

// The recorder sets the pace: it may prepare its flash before it acknowledges the header block
// (the block is resent past the limit of later blocks, here 3 s at 100 ms), and a boot loader
// may change its source port mid-transfer (the transfer follows it).
TEST_F(FaultInjectionE2e, ASlowHeaderAndANewSourcePortAreFollowedToTheEnd) {
    struct Case {
        const char* name;
        std::vector<std::string> faults;
    };
    const Case cases[] = {
        {"header acknowledged after 3 s", {"--hold-ack", "1", "--hold", "3"}},
        {"new source port from block 50", {"--new-port-at", "50"}},
    };
    m_options.sendTimeOut = 100ms;
    OpenWindow();
    const auto image = SystemImage(100'000);
    Prepare(0, Image("fw_e2e.bin", image));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path received = m_work / "received.bin";
        std::vector<std::string> arguments{"--fetch", "--output", received.string()};
        arguments.insert(arguments.end(), c.faults.begin(), c.faults.end());
        Recorder recorder(*m_net, arguments, 20s);
        Press();
        const auto run = recorder.Finish();
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(ReadAll(received),
                  HeaderAndImage(1, static_cast<std::uint32_t>(image.size()), image));
        ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
        EXPECT_EQ(Status(), "Uploading Completed");
        EXPECT_TRUE(boxes.Shown().empty());
    }
}

// The pc's card drops for a moment mid-transfer: the sends fail ("Data transfer error"), the
// window's resends repeat the block that did not go out, and an acknowledgement lost on its way is
// repeated by the recorder when no new block has come for a while (the simulator's --retry), even
// though the window keeps repeating the block the recorder already has; the transfer ends byte
// for byte. (The recorder's own link going down is not tried: the simulator takes a failed send of
// its own as the end of its run.)
TEST_F(FaultInjectionE2e, CardDownAndUpMidTransferResumesByResends) {
    m_options.sendTimeOut = 200ms;
    OpenWindow();
    const auto image = SystemImage(4 << 20);
    Prepare(0, Image("fw_e2e.bin", image));
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--fetch", "--retry", "0.3", "--output", received.string()}, 30s);
    Press();
    WhenTransferring([&] {
        Link(m_net->pc, m_net->pcLink, "down");
        QTest::qWait(600);
        Link(m_net->pc, m_net->pcLink, "up");
    });
    const auto run = recorder.Finish();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(received),
              HeaderAndImage(1, static_cast<std::uint32_t>(image.size()), image));
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
    EXPECT_EQ(Status(), "Uploading Completed");
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_TRUE(PortsFree());
}

TEST_F(FaultInjectionE2e, AcknowledgementStormNeitherHangsNorCorrupts) {
    OpenWindow();
    const auto image = SystemImage(300'000);
    Prepare(0, Image("fw_e2e.bin", image));
    const fs::path received = m_work / "received.bin";
    Recorder recorder(*m_net, {"--fetch", "--duplicate-acks", "10", "--output", received.string()},
                      30s);
    std::size_t resends = 0;
    QObject::connect(m_window->m_strStatus, &QLineEdit::textChanged,
                     [&](const QString& text) { resends += text.startsWith("retry transfer"); });
    Press();
    const auto run = recorder.Finish();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(received), HeaderAndImage(1, 300'000, image));
    // Every ACK came ten times and was answered once: each block went out once (and again
    // only if a resend time-out fell due on a loaded machine).
    const auto tftp = run.Line("tftp");
    EXPECT_EQ(tftp.at("blocks"), "587");
    EXPECT_EQ(std::stoul(tftp.at("data")), 587 + resends);
    EXPECT_EQ(std::stoul(tftp.at("duplicates")), resends);
    ASSERT_TRUE(WaitFor([&] { return Caption() == "&Upload" && CompletionCuePlayed(); }));
    EXPECT_EQ(Status(), "Uploading Completed");
    EXPECT_EQ(m_window->m_ctrlProgXfer->value(), 100);
}

// Abort while blocks flow: whatever the worker had in hand when the operator pressed it, nothing
// of that upload (a send failing on the closed port, its red text, the error cue) may follow
// "Uploading Aborted".
TEST_F(FaultInjectionE2e, AbortWhileBlocksFlowIsTheLastWord) {
    auto& w = OpenWindow();
    Prepare(1, Image("font.fnt", std::vector<std::uint8_t>(30 << 20, 0x5A)));
    std::vector<QString> texts;
    QObject::connect(w.m_strStatus, &QLineEdit::textChanged,
                     [&](const QString& text) { texts.push_back(text); });
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        // Its own repeat meets the closed port, which ends it well before its limit.
        Recorder recorder(*m_net, {"--fetch", "--retry", "0.05"}, 2s);
        Press();
        WhenTransferring([] {});
        QTest::qWait(round * 7 % 30);
        texts.clear();
        sound.Clear();
        Press();
        EXPECT_EQ(Status(), "Uploading Aborted");
        recorder.Finish();
        QTest::qWait(100);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), "Uploading Aborted");
        EXPECT_EQ(ErrorCues(), 0u);
        EXPECT_EQ(w.m_strStatus->palette().color(QPalette::Text), QColor(0, 0, 0));
        EXPECT_TRUE(boxes.Shown().empty());
        EXPECT_TRUE(PortsFree());
    }
}

// The error cue of an upload's event never holds Abort up, even on a sound device that hangs in
// every call that may wait: the window plays an upload's cues without waiting.
TEST_F(FaultInjectionE2e, AbortDuringAnErrorCueAnswersAtOnce) {
    sound.blockingCall = 10s;
    OpenWindow();
    Prepare(1, Image("font.fnt", std::vector<std::uint8_t>(30 << 20, 0x5A)));
    Recorder recorder(*m_net, {"--fetch", "--send-error", "--retry", "0.05"}, 5s);
    Press();
    ASSERT_TRUE(WaitFor([&] { return ErrorCues() > 0; }));
    const auto pressed = std::chrono::steady_clock::now();
    Press();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, 1s);
    EXPECT_EQ(Status(), "Uploading Aborted");
    recorder.Finish();
    EXPECT_TRUE(PortsFree());
}

// A settings file that cannot be read or makes no sense: the window opens with the defaults,
// without a box. (A value of the wrong type is covered by tests/gui/settings_test.cpp.)
TEST(SettingsFaults, UnreadableTruncatedOrGarbageSettingsOpenTheWindowWithDefaults) {
    ScopedSettingsLocation settings;
    ASSERT_TRUE(QDir().mkpath(settings.Directory() + "/Norvale"));
    QTemporaryDir images;
    const QString stored = images.path() + "/Stored.bin";
    WriteFile(stored.toStdString(), SystemImage(1000));
    const QByteArray good = "[Files]\nSystemFile=" + stored.toUtf8() + "\n";
    QByteArray garbage;
    for (int n = 0; n < 4096; ++n) garbage.append(static_cast<char>((n * 151 + 7) % 256));
    struct Case {
        const char* what;
        QByteArray content;
        bool unreadable;
    };
    for (const Case& c : {Case{"unreadable", good, true}, Case{"truncated", good.left(17), false},
                          Case{"garbage", garbage, false}, Case{"empty", QByteArray(), false}}) {
        SCOPED_TRACE(c.what);
        QFile file(settings.File());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.content);
        file.close();
        ASSERT_EQ(chmod(settings.File().toUtf8().constData(), c.unreadable ? 0 : 0644), 0);
        FakeMessageBoxes boxes;
        FakeFileDialogs dialogs;
        FakeSound sound;
        FakeAdapterSource adapters;
        FakeTcpipConfig tcpipConfig;
        FakeNeighbourTable neighbours;
        std::unique_ptr<TKVUpgradeFrm> window;
        {
            // Root reads any file; the window reads its settings as an ordinary user would.
            CapabilitiesDropped ordinaryUser({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
            if (c.unreadable && !ordinaryUser.dropped && geteuid() == 0)
                GTEST_SKIP() << "cannot drop the file capabilities";
            window = CreateMainWindow({boxes, dialogs, sound, adapters, tcpipConfig, neighbours});
        }
        ASSERT_TRUE(window);
        EXPECT_TRUE(boxes.Shown().empty());
        EXPECT_NE(window->m_strSysFile->text(), stored);
        DestroyMainWindow(std::move(window));
    }
}

}  // namespace
}  // namespace fk::testing
