#include "upgrade/station_session.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "feedback/refusal_texts.h"
#include "support/fake_session.h"
#include "support/fakes.h"
#include "support/network_fakes.h"
#include "support/tftp_datagrams.h"
#include "upgrade/upload_station.h"
#include "wire/bootp_packet.h"

namespace {

using fk::SessionState;
using fk::testing::Ack;
using fk::testing::FakeDatagramPort;
using fk::testing::ReadRequest;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr fk::Ipv4 kHost = 0xC0A84D01;      // 192.168.77.1
constexpr fk::Ipv4 kRecorder = 0xC0A84D02;  // the address the rule gives it
constexpr fk::platform::Endpoint kRecorderTftp{kRecorder, 2070};

// Waits for the condition, a bounded time; whether it came.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    const auto until = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The system's network notices, as a test hands them in.
class FakeNetworkWatch final : public fk::platform::NetworkWatch {
  public:
    FakeNetworkWatch() : m_ready(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeNetworkWatch() override { close(m_ready); }
    FakeNetworkWatch(const FakeNetworkWatch&) = delete;
    FakeNetworkWatch& operator=(const FakeNetworkWatch&) = delete;

    void Push(fk::platform::NetworkChange change) {
        std::lock_guard lock(m_mutex);
        m_changes.push_back(change);
        eventfd_write(m_ready, 1);
    }
    std::vector<fk::platform::NetworkChange> Wait(Clock::time_point) override {
        std::lock_guard lock(m_mutex);
        eventfd_t ignored = 0;
        eventfd_read(m_ready, &ignored);
        return std::exchange(m_changes, {});
    }
    void Wake() override {}
    int Descriptor() const override { return m_ready; }

  private:
    const int m_ready;
    std::mutex m_mutex;
    std::vector<fk::platform::NetworkChange> m_changes;
};

// The system's cards as the station reads them; the test changes them while it runs.
class SystemCards final : public fk::platform::AdapterSource {
  public:
    fk::platform::AdapterQuery List() override {
        std::lock_guard lock(m_mutex);
        return m_query;
    }
    void Set(std::vector<fk::platform::AdapterRecord> cards) {
        std::lock_guard lock(m_mutex);
        m_query.adapters = std::move(cards);
    }

  private:
    std::mutex m_mutex;
    fk::platform::AdapterQuery m_query;
};

// The session on in-memory ports: no root, no namespace, nothing on any network.
class UploadStationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_image = fs::temp_directory_path() /
                  ("fk-session-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
        cards.Set({fk::testing::Card("fkp0", "Test card", 1, "192.168.77.1"),
                   fk::testing::Card("fkp1", "Other card", 2, "10.0.0.1")});
        plan.file = {fk::ImagePage::System, "fw_2.bin", m_image.string()};
        plan.mac = {0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
        plan.card = {kHost, 1};
        MakeSession();
    }
    void TearDown() override {
        session.reset();
        fs::remove(m_image);
    }
    void MakeSession() {
        session.reset();
        session = std::make_unique<fk::UploadStation>(host, arp, ports, cards, options, makeWatch);
    }

    void WriteImage(std::size_t size) {
        std::ofstream out(m_image, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i));
    }

    std::shared_ptr<FakeDatagramPort> Bootp() { return ports.Port(67); }
    std::shared_ptr<FakeDatagramPort> Tftp() { return ports.Port(69); }
    std::size_t Replies() { return Bootp()->SentSoFar().size(); }
    // The server's answers to the recorder, the nth of them once it came.
    std::optional<Bytes> Answer(std::size_t n) {
        if (!WaitFor([&] { return Tftp()->SentSoFar().size() > n; })) return std::nullopt;
        return Tftp()->SentSoFar()[n].bytes;
    }

    fk::testing::FakeSessionHost host;
    fk::testing::FakeNeighbourTable table;
    fk::testing::NeighbourArp arp{table};
    fk::testing::FakePortOpener ports;
    SystemCards cards;
    fk::StationOptions options;
    fk::StationSession::WatchMaker makeWatch = fk::platform::MakeSystemNetworkWatch;
    fk::UploadPlan plan;
    std::unique_ptr<fk::UploadStation> session;

  private:
    fs::path m_image;
};

TEST_F(UploadStationTest, AnnouncesEvery30MsAfterAddingTheArpEntry) {
    session->StartUpload(plan);
    ASSERT_EQ(session->State(), SessionState::Announcing);
    EXPECT_EQ(host.Log(),
              (std::vector<std::string>{"status:Uploading Started", "cue:1", "progress:0"}));
    EXPECT_EQ(ports.Card(67), 1);
    EXPECT_EQ(ports.Card(69), 1);
    ASSERT_TRUE(WaitFor([&] { return Replies() > 0; }));
    const auto first = Bootp()->SentSoFar()[0];
    EXPECT_EQ(first.to, (fk::platform::Endpoint{kRecorder, 68}));
    ASSERT_EQ(first.bytes.size(), 300u);
    EXPECT_EQ(Bytes(first.bytes.begin() + 16, first.bytes.begin() + 24),
              (Bytes{192, 168, 77, 2, 192, 168, 77, 1}));
    EXPECT_EQ(std::string(first.bytes.begin() + 108, first.bytes.begin() + 117),
              std::string("fw_2.bin\0", 9));
    const auto entries = table.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, kRecorder);
    EXPECT_EQ(entries[0].mac, plan.mac);

    const auto before = Replies();
    std::this_thread::sleep_for(2s);
    // About 66 in two seconds; the bounds only catch a wrong period or a drifting loop.
    EXPECT_GE(Replies() - before, 50u);
    EXPECT_LE(Replies() - before, 72u);
    session->StopUpload();
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadStationTest, AbortWhileAnnouncingStopsRepliesAndLeavesNoArpEntry) {
    session->StartUpload(plan);
    ASSERT_TRUE(WaitFor([&] { return Replies() > 0; }));
    session->StopUpload();
    const auto atStop = Replies();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Replies(), atStop);
    EXPECT_TRUE(Bootp()->Closed());
    EXPECT_TRUE(Tftp()->Closed());
    EXPECT_TRUE(table.Entries().empty());
    const auto calls = table.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_FALSE(calls[calls.size() - 2].add);
    EXPECT_EQ(calls[calls.size() - 2].address, kRecorder);
    EXPECT_FALSE(calls.back().add);
    EXPECT_EQ(calls.back().address, 0u);
    EXPECT_EQ(host.Log().back(), "ended");
    EXPECT_EQ(host.Count("status:Uploading Completed"), 0u);
}

TEST_F(UploadStationTest, BusyBootpPortFailsTheStartAndAbortRestoresThePages) {
    ports.refuse[67] = {3, 98};
    session->StartUpload(plan);
    EXPECT_EQ(session->State(), SessionState::StartFailed);
    EXPECT_EQ(host.Log(), (std::vector<std::string>{
                              "status:Uploading Started", "cue:1",
                              "status:Step 3 bootp socket error: error code (98)", "cue:3"}));
    session->StopUpload();
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Log().back(), "ended");
}

TEST_F(UploadStationTest, BusyTftpPortClosesTheBootpPortSoARetrySucceeds) {
    ports.refuse[69] = {3, 98};
    session->StartUpload(plan);
    EXPECT_EQ(session->State(), SessionState::StartFailed);
    EXPECT_EQ(host.Count("status:Step 3 tftp socket error: error code (98)"), 1u);
    EXPECT_TRUE(Bootp()->Closed());
    ports.refuse.clear();
    session->StopUpload();
    session->StartUpload(plan);
    EXPECT_EQ(session->State(), SessionState::Announcing);
    session->StopUpload();
}

TEST_F(UploadStationTest, StopUploadRacingFromTwoThreadsEndsEachUploadOnce) {
    for (int round = 0; round < 20; ++round) {
        host.Clear();
        session->StartUpload(plan);
        ASSERT_EQ(session->State(), SessionState::Announcing);
        std::atomic<bool> go{false};
        std::thread other([&] {
            while (!go) std::this_thread::yield();
            session->StopUpload();
        });
        go = true;
        session->StopUpload();
        other.join();
        EXPECT_EQ(host.Count("ended"), 1u);
        // Only a completed upload says so, not even for a moment.
        EXPECT_EQ(host.Count("status:Uploading Completed"), 0u);
        EXPECT_EQ(session->State(), SessionState::Idle);
    }
}

TEST_F(UploadStationTest, StopWakesTheNetworkThreadPromptly) {
    options.sendTimeOut = 60s;
    options.bootpPeriod = 60s;
    MakeSession();
    WriteImage(1000);
    session->StartUpload(plan);
    Tftp()->Deliver(ReadRequest("fw_2.bin"), kRecorderTftp);
    ASSERT_TRUE(Answer(0));
    const auto start = Clock::now();
    session->StopUpload();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(UploadStationTest, DestroyingTheSessionDuringAnUploadJoinsItsThread) {
    session->StartUpload(plan);
    std::this_thread::sleep_for(20ms);
    session.reset();
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadStationTest, ServesTheImageAndEndsByItself) {
    WriteImage(1000);
    session->StartUpload(plan);
    Tftp()->Deliver(ReadRequest("FW_2.bin"), kRecorderTftp);
    auto block = Answer(0);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 516u);
    EXPECT_EQ(Tftp()->SentSoFar()[0].to, kRecorderTftp);
    ASSERT_TRUE(WaitFor([&] { return session->State() == SessionState::Transferring; }));
    // The announcements have done their work.
    const auto replies = Replies();
    for (std::uint16_t acked = 1; acked <= 2; ++acked) {
        Tftp()->Deliver(Ack(acked), kRecorderTftp);
        block = Answer(acked);
        ASSERT_TRUE(block);
    }
    EXPECT_EQ(block->size(), 492u);
    // The final block may be lost: the upload waits for its acknowledgement on the open port.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(session->State(), SessionState::Transferring);
    EXPECT_EQ(Replies(), replies);
    EXPECT_EQ(host.Count("cue:2"), 0u);
    Tftp()->Deliver(Ack(3), kRecorderTftp);
    ASSERT_TRUE(WaitFor([&] { return host.Count("ended") == 1; }));
    EXPECT_EQ(session->State(), SessionState::Idle);
    const auto log = host.Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[log.size() - 4], "status:Upload 100 (%) Completed");
    EXPECT_EQ(log[log.size() - 3], "status:Uploading Completed");
    EXPECT_EQ(log[log.size() - 2], "cue:2");
    EXPECT_EQ(log.back(), "ended");
    EXPECT_TRUE(table.Entries().empty());
    // A new upload after completion starts afresh.
    host.Clear();
    session->StartUpload(plan);
    EXPECT_EQ(session->State(), SessionState::Announcing);
    EXPECT_EQ(host.Count("progress:0"), 1u);
}

// The operator's Abort meets the network thread in the middle of a block: whatever it was doing
// (a send to the port the stop closes, a report), nothing of it may follow the stop.
TEST_F(UploadStationTest, NothingOfAnUploadFollowsItsStop) {
    WriteImage(8 << 20);
    for (int round = 0; round < 60; ++round) {
        host.Clear();
        session->StartUpload(plan);
        const auto port = Tftp();
        std::atomic<bool> done{false};
        std::atomic<std::size_t> blocks{0};
        std::thread recorder([&] {
            port->Deliver(ReadRequest("fw_2.bin"), kRecorderTftp);
            std::size_t answered = 0;
            while (!done) {
                const auto sent = port->SentSoFar();
                if (sent.size() == answered) {
                    std::this_thread::yield();
                    continue;
                }
                answered = sent.size();
                blocks = answered;
                const auto& last = sent.back().bytes;
                port->Deliver(Bytes{0, 4, last[2], last[3]}, kRecorderTftp);
            }
        });
        ASSERT_TRUE(WaitFor([&] { return blocks >= 3; })) << "round " << round;
        std::this_thread::sleep_for(std::chrono::microseconds(150 * (round % 9)));
        session->StopUpload();
        const auto atStop = host.Log();
        const auto sentAtStop = port->SentSoFar().size();
        std::this_thread::sleep_for(2ms);
        done = true;
        recorder.join();
        EXPECT_EQ(host.Log(), atStop) << "round " << round;
        EXPECT_EQ(port->SentSoFar().size(), sentAtStop) << "round " << round;
        ASSERT_GE(atStop.size(), 2u);
        EXPECT_EQ(atStop.back(), "ended") << "round " << round;
    }
}

TEST_F(UploadStationTest, SilentRecorderIsResentTheBlockThenTheUploadGivesUp) {
    options.sendTimeOut = 10ms;
    MakeSession();
    WriteImage(2000);
    session->StartUpload(plan);
    Tftp()->Deliver(ReadRequest("fw_2.bin"), kRecorderTftp);
    ASSERT_TRUE(Answer(0));
    Tftp()->Deliver(Ack(1), kRecorderTftp);
    ASSERT_TRUE(WaitFor([&] { return host.Count("ended") == 1; }));
    EXPECT_EQ(Tftp()->SentSoFar().size(), 22u);  // the header, block 2 and its 20 resends
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Count("status:retry transfer 19"), 1u);
    EXPECT_EQ(host.Count("box:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)|FlashPilot "
                         "Transmission Error"),
              1u);
    EXPECT_EQ(host.Count("status:Uploading Completed"), 0u);
}

TEST_F(UploadStationTest, TimerHooksActOnlyOnARunningUpload) {
    session->SendTimeOutTimer();
    session->AckTimeOutTimer();
    EXPECT_TRUE(host.Log().empty());
    session->StartUpload(plan);
    session->AckTimeOutTimer();
    ASSERT_TRUE(WaitFor([&] { return host.Count("ended") == 1; }));
    EXPECT_EQ(session->State(), SessionState::Idle);
    const auto log = host.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "status:TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)");
    EXPECT_EQ(log.back(), "ended");
}

TEST_F(UploadStationTest, NoArpAddFollowsTheFinalDeleteOfAStop) {
    options.bootpPeriod = 1ms;  // turns as often as possible, to meet the stop mid-turn
    MakeSession();
    for (int round = 0; round < 30; ++round) {
        session->StartUpload(plan);
        std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 7)));
        session->StopUpload();
        std::this_thread::sleep_for(2ms);
        const auto calls = table.Calls();
        EXPECT_TRUE(calls.empty() || !calls.back().add) << "round " << round;
        EXPECT_TRUE(table.Entries().empty()) << "round " << round;
    }
}

// The operator picks another card while the announcer runs: each turn pairs one card's address
// with that same card, the ports follow it, every entry is bound to the planned MAC, and the stop
// deletes them on every card.
TEST_F(UploadStationTest, EachTurnTakesOneCardWholeAndThePortsFollowIt) {
    options.bootpPeriod = 1ms;
    MakeSession();
    constexpr fk::Ipv4 kOtherCard = 0x0A000001;  // 10.0.0.1 on card 2
    session->StartUpload(plan);
    const auto start = Clock::now();
    for (int n = 0; Clock::now() - start < 300ms; ++n) session->PickCard(n % 2 ? 2 : 1);
    session->PickCard(2);
    ASSERT_TRUE(WaitFor([&] { return ports.Card(69) == 2; }));
    const auto entries = table.Entries();
    session->StopUpload();
    const auto calls = table.Calls();
    std::set<int> cards;
    for (const auto& call : calls) {
        if (!call.add) continue;
        cards.insert(call.ifindex);
        EXPECT_EQ(call.address, call.ifindex == 1 ? kRecorder : kOtherCard + 1);
    }
    EXPECT_EQ(cards, (std::set<int>{1, 2}));
    for (const auto& entry : entries) EXPECT_EQ(entry.mac, plan.mac);
    // The stop deletes every entry the upload added, on both cards.
    std::set<std::pair<int, fk::Ipv4>> deleted;
    for (auto call = calls.rbegin(); call != calls.rend() && !call->add; ++call) {
        deleted.emplace(call->ifindex, call->address);
    }
    EXPECT_TRUE(deleted.count({1, kRecorder}));
    EXPECT_TRUE(deleted.count({2, kOtherCard + 1}));
    EXPECT_TRUE(table.Entries().empty());
}

// A card the TFTP port cannot move to: both ports stay on the card they served together.
TEST_F(UploadStationTest, APortThatCannotMoveKeepsBothOnOneCard) {
    options.bootpPeriod = 1ms;
    MakeSession();
    ports.refuseMove = {69};
    session->StartUpload(plan);
    session->PickCard(2);
    ASSERT_TRUE(WaitFor([&] {
        const auto entries = table.Entries();
        return std::any_of(entries.begin(), entries.end(),
                           [](const auto& entry) { return entry.ifindex == 2; });
    }));
    EXPECT_EQ(ports.Card(67), 1);
    EXPECT_EQ(ports.Card(69), 1);
    session->StopUpload();
}

// A network manager takes the card's address while the announcer runs; the card then comes back
// under another index: the station reads it at its watch's notices alone, waits without a reply,
// says so once each way, and its ports and entry follow the card by its name.
TEST_F(UploadStationTest, TheCardIsFollowedFromTheWatchsNotices) {
    options.bootpPeriod = 1ms;
    auto watch = std::make_unique<FakeNetworkWatch>();
    FakeNetworkWatch& notices = *watch;
    makeWatch = [&] { return std::move(watch); };
    MakeSession();
    const auto count = [&](auto event) {
        const auto events = host.Events();
        return std::count_if(events.begin(), events.end(), [](const fk::SessionEvent& e) {
            return std::holds_alternative<decltype(event)>(e);
        });
    };
    using Kind = fk::platform::NetworkChange::Kind;
    session->StartUpload(plan);
    ASSERT_TRUE(WaitFor([&] { return Replies() > 0; }));
    cards.Set({fk::testing::Card("fkp0", "Test card", 1, "0.0.0.0")});
    notices.Push({Kind::Address, 1, false});
    ASSERT_TRUE(WaitFor([&] { return count(fk::event::WaitingForAddress{}) == 1; }));
    const auto waiting = Replies();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(Replies(), waiting);
    cards.Set({fk::testing::Card("fkp0", "Test card", 5, "192.168.77.1")});
    notices.Push({Kind::Link, 5, true});
    ASSERT_TRUE(WaitFor([&] { return Replies() > waiting; }));
    EXPECT_EQ(count(fk::event::AddressBack{}), 1);
    EXPECT_EQ(count(fk::event::WaitingForAddress{}), 1);
    EXPECT_EQ(ports.Card(67), 5);
    EXPECT_EQ(ports.Card(69), 5);
    EXPECT_EQ(Bootp()->SentSoFar().back().to.address, kRecorder);
    session->StopUpload();
    EXPECT_TRUE(table.Entries().empty());
}

// Another device answers for the recorder's address: no reply goes out, the upload ends failed
// and the station with it; the operator's abort ends one with the outcome it gives.
TEST_F(UploadStationTest, TheStationEndsEachUploadWithOneOutcome) {
    const auto outcomes = [&] {
        std::vector<fk::Outcome> seen;
        for (const auto& event : host.Events()) {
            if (const auto* ended = std::get_if<fk::event::RecorderEnded>(&event))
                seen.push_back(ended->outcome);
        }
        return seen;
    };
    table.held = {kRecorder};
    session->StartUpload(plan);
    ASSERT_TRUE(WaitFor([&] { return host.Count("ended") == 1; }));
    EXPECT_EQ(Replies(), 0u);
    EXPECT_EQ(outcomes(), std::vector{fk::Outcome::Failed});
    EXPECT_EQ(
        host.Count("box:" + fk::RecorderAddressHeldText(kRecorder, fk::kAnsweringDeviceHolder) +
                   "|" + fk::kRecorderAddressHeldCaption),
        1u);
    session->StopUpload();
    EXPECT_EQ(outcomes().size(), 1u);

    table.held.clear();
    host.Clear();
    session->StartUpload(plan);
    ASSERT_TRUE(WaitFor([&] { return Replies() > 0; }));
    session->StopUpload();
    EXPECT_EQ(outcomes(), std::vector{fk::Outcome::Aborted});
}

TEST_F(UploadStationTest, RefusedArpEntriesDoNotStopTheReplies) {
    table.refuse = true;
    session->StartUpload(plan);
    EXPECT_TRUE(WaitFor([&] { return Replies() >= 2; }));
    EXPECT_EQ(session->State(), SessionState::Announcing);
    session->StopUpload();
}

// The station of several recorders.

class RecordingStationHost final : public fk::StationHost {
  public:
    void OnEvent(const fk::StationRecorder& recorder, const fk::SessionEvent& event) override {
        std::lock_guard lock(m_mutex);
        m_events.emplace_back(recorder, event);
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }
    template <typename Event>
    std::size_t Count(fk::Ipv4 address) {
        std::lock_guard lock(m_mutex);
        return static_cast<std::size_t>(
            std::count_if(m_events.begin(), m_events.end(), [&](const auto& e) {
                return e.first.address == address && std::holds_alternative<Event>(e.second);
            }));
    }

  private:
    std::mutex m_mutex;
    std::vector<std::pair<fk::StationRecorder, fk::SessionEvent>> m_events;
};

Bytes BootRequest(const fk::MacAddress& mac, const fk::BootpXid& xid) {
    Bytes bytes(300, 0);
    bytes[0] = 1;
    bytes[1] = 1;
    bytes[2] = 6;
    std::copy(xid.begin(), xid.end(), bytes.begin() + 4);
    std::copy(mac.begin(), mac.end(), bytes.begin() + 28);
    return bytes;
}

fk::Ipv4 Yiaddr(const Bytes& reply) {
    return fk::Ipv4{reply[16]} << 24 | fk::Ipv4{reply[17]} << 16 | fk::Ipv4{reply[18]} << 8 |
           reply[19];
}

// The station on in-memory ports: no root, no namespace, nothing on any network.
class StationSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_image = fs::temp_directory_path() /
                  ("fk-station-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
        std::ofstream out(m_image, std::ios::binary);
        for (std::size_t i = 0; i < 20000; ++i) out.put(static_cast<char>(i * 7));
        plan.file = {fk::ImagePage::System, "fw_2.bin", m_image.string()};
        plan.card = {kHost, 1};
        options.sendTimeOut = 50ms;
    }
    void TearDown() override {
        station.reset();
        fs::remove(m_image);
    }
    Bytes Image() {
        std::ifstream in(m_image, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fk::StationRecorder Named(std::uint8_t n) {
        return {{0x02, 0x5E, 0xA1, 0x30, 0x01, n}, kHost + 1 + n};
    }
    void Start() {
        station = std::make_unique<fk::StationSession>(host, arp, ports, options, makeWatch);
        ASSERT_TRUE(station->Start(plan));
        m_seen = m_repliesSeen = 0;
        m_announced.clear();
    }

    // Plays every recorder of plan.named: each asks once announced to, then acknowledges every
    // block it gets, except the silent one, which stops after its third block. The bytes each one
    // got from block 2 on, once all that answer are done or the time is up.
    std::map<fk::Ipv4, Bytes> Flash(std::optional<fk::Ipv4> silent) {
        auto tftp = ports.Port(69);
        std::map<fk::Ipv4, Bytes> got;
        std::set<fk::Ipv4> done, asked;
        const auto until = Clock::now() + 10s;
        const std::size_t answering = plan.named.size() - (silent ? 1 : 0);
        while (done.size() < answering && Clock::now() < until) {
            const auto replies = ports.Port(67)->SentSoFar();
            for (; m_repliesSeen < replies.size(); ++m_repliesSeen)
                m_announced.insert(replies[m_repliesSeen].to.address);
            for (const fk::Ipv4 address : m_announced) {
                if (!asked.insert(address).second) continue;
                tftp->Deliver(ReadRequest("FW_2.BIN"),
                              {address, static_cast<std::uint16_t>(2000 + (address & 0xFF))});
            }
            const auto sent = tftp->SentSoFar();
            for (; m_seen < sent.size(); ++m_seen) {
                const auto& [bytes, to] = sent[m_seen];
                const std::uint16_t block = static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
                if (to.address == silent && block > 3) continue;
                Bytes& image = got[to.address];
                // Only a block not had before counts; a resend is acknowledged again.
                if (block >= 2 && image.size() == (block - 2u) * 512u)
                    image.insert(image.end(), bytes.begin() + 4, bytes.end());
                tftp->Deliver({0, 4, bytes[2], bytes[3]}, to);
                if (bytes.size() < 516 && block > 1) done.insert(to.address);
            }
            std::this_thread::sleep_for(1ms);
        }
        return got;
    }

    RecordingStationHost host;
    fk::testing::FakeNeighbourTable table;
    fk::testing::NeighbourArp arp{table};
    fk::testing::FakePortOpener ports;
    fk::StationOptions options;
    fk::StationPlan plan;
    fk::StationSession::WatchMaker makeWatch = fk::platform::MakeSystemNetworkWatch;
    std::unique_ptr<fk::StationSession> station;

  private:
    fs::path m_image;
    std::size_t m_seen = 0;          // the TFTP port's sends Flash has answered
    std::size_t m_repliesSeen = 0;   // the BOOTP port's sends Flash has seen
    std::set<fk::Ipv4> m_announced;  // the recorders those were sent to
};

TEST_F(StationSessionTest, NamedRecordersCompleteEachWithItsAddressWhateverAnotherDoes) {
    struct Row {
        const char* what;
        std::uint8_t recorders;
        std::optional<std::uint8_t> silent;
        std::size_t rounds = 1;  // each recorder asks again after completing
        std::size_t max = 16;    // served at once; the others wait their turn
        int probeAsks = 0;       // adds answered EINPROGRESS first, while the wire is asked
    };
    for (const Row& row :
         {Row{"four complete", 4, std::nullopt}, Row{"one goes silent", 4, 2},
          Row{"each asks again after completing", 2, std::nullopt, 2},
          Row{"six named, two at once", 6, std::nullopt, 1, 2},
          Row{"six named, two at once, each address probed first", 6, std::nullopt, 1, 2, 3}}) {
        SCOPED_TRACE(row.what);
        options.maxRecorders = row.max;
        table.probeAsks = row.probeAsks;
        plan.named.clear();
        for (std::uint8_t n = 0; n < row.recorders; ++n) plan.named.push_back(Named(n));
        table.batches.clear();
        Start();
        // Each served at once is announced with its own address, after its entry was made.
        const std::size_t atOnce = std::min<std::size_t>(row.recorders, row.max);
        std::set<fk::Ipv4> announced;
        const auto until = Clock::now() + 2s;
        while (announced.size() < atOnce && Clock::now() < until) {
            for (const auto& sent : ports.Port(67)->SentSoFar()) {
                EXPECT_EQ(sent.to.address, Yiaddr(sent.bytes));
                announced.insert(sent.to.address);
            }
        }
        EXPECT_EQ(announced.size(), atOnce);
        // Every first entry was asked for together, those waiting their turn too: a bench waits
        // for one probe, not one each, and a turn given mid-run waits for none.
        EXPECT_TRUE(WaitFor([&] { return table.Entries().size() == row.recorders; }));
        ASSERT_FALSE(table.Batches().empty());
        EXPECT_EQ(table.Batches().front(), row.recorders);
        std::size_t waiting = 0;
        for (const auto& recorder : plan.named)
            waiting += host.Count<fk::event::Admission>(recorder.address);
        EXPECT_EQ(waiting, row.recorders - atOnce);

        const std::optional<fk::Ipv4> silent =
            row.silent ? std::optional(Named(*row.silent).address) : std::nullopt;
        for (std::size_t round = 1; round <= row.rounds; ++round) {
            const auto got = Flash(silent);
            for (const auto& recorder : plan.named) {
                if (recorder.address == silent) {
                    EXPECT_TRUE(
                        WaitFor([&] { return host.Count<fk::event::Failed>(silent.value()); }));
                    continue;
                }
                ASSERT_TRUE(got.count(recorder.address));
                EXPECT_EQ(got.at(recorder.address), Image());
                EXPECT_TRUE(WaitFor([&] {
                    return host.Count<fk::event::Completed>(recorder.address) == round &&
                           host.Count<fk::event::RequestAccepted>(recorder.address) == round;
                }));
            }
        }
        // Announcing stopped at the requests; the entries of the ended transfers are gone.
        const auto replies = ports.Port(67)->SentSoFar().size();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(ports.Port(67)->SentSoFar().size(), replies);
        EXPECT_TRUE(table.Entries().empty());
        station->Stop();
        EXPECT_TRUE(ports.Port(67)->Closed());
        EXPECT_TRUE(ports.Port(69)->Closed());
        EXPECT_EQ(host.Count<fk::event::Ended>(0), 1u);
        station.reset();
        host.Clear();
    }
}

TEST_F(StationSessionTest, LearnAnswersARecordersBootRequestWithItsXidAndAddress) {
    options.learntWait = 300ms;
    plan.learn = true;
    plan.nextAddress = [](const fk::MacAddress&,
                          const std::set<fk::Ipv4>& given) -> std::optional<fk::Ipv4> {
        return kHost + 10 + static_cast<fk::Ipv4>(given.size());
    };
    Start();
    auto bootp = ports.Port(67);
    const fk::MacAddress first{0x02, 0x5E, 0xA1, 0x40, 0x00, 0x01};
    const fk::MacAddress second{0x02, 0x5E, 0xA1, 0x40, 0x00, 0x02};
    bootp->Deliver(Bytes(100, 1));                                        // too short
    bootp->Deliver(BootRequest({0x52, 0x54, 0, 1, 2, 3}, {1, 1, 1, 1}));  // not a recorder
    bootp->Deliver(BootRequest(first, {0xA1, 0xB2, 0xC3, 0xD4}));
    bootp->Deliver(BootRequest(second, {5, 6, 7, 8}));
    bootp->Deliver(BootRequest(first, {9, 9, 9, 9}));  // asks again: the same address
    const auto until = Clock::now() + 2s;
    while (bootp->SentSoFar().size() < 3 && Clock::now() < until) std::this_thread::sleep_for(1ms);
    const auto sent = bootp->SentSoFar();
    ASSERT_EQ(sent.size(), 3u);
    struct Expected {
        fk::Ipv4 address;
        fk::BootpXid xid;
    };
    const std::vector<Expected> expected{{kHost + 10, {0xA1, 0xB2, 0xC3, 0xD4}},
                                         {kHost + 11, {5, 6, 7, 8}},
                                         {kHost + 10, {9, 9, 9, 9}}};
    for (std::size_t n = 0; n < expected.size(); ++n) {
        EXPECT_EQ(sent[n].to, (fk::platform::Endpoint{expected[n].address, 68}));
        EXPECT_EQ(Yiaddr(sent[n].bytes), expected[n].address);
        EXPECT_EQ(Bytes(sent[n].bytes.begin() + 4, sent[n].bytes.begin() + 8),
                  Bytes(expected[n].xid.begin(), expected[n].xid.end()));
    }
    EXPECT_EQ(table.Entries().size(), 2u);
    EXPECT_EQ(host.Count<fk::event::Announcing>(kHost + 10), 1u);
    EXPECT_EQ(host.Count<fk::event::Announcing>(kHost + 11), 1u);
    // Neither asks for its image: both are let go, their addresses free for the next.
    EXPECT_TRUE(WaitFor([&] { return host.Count<fk::event::Admission>(kHost + 11) == 1; }));
    EXPECT_EQ(host.Count<fk::event::Admission>(kHost + 10), 1u);
    EXPECT_TRUE(table.Entries().empty());
    // A request sent to this PC, not broadcast on the link, teaches nothing; new MACs in a flood
    // are answered a few at a time.
    bootp->Deliver(BootRequest({0x02, 0x5E, 0xA1, 0x50, 0, 0}, {1, 2, 3, 4}), {kHost + 99, 68},
                   kHost);
    for (std::uint8_t n = 1; n <= 8; ++n)
        bootp->Deliver(BootRequest({0x02, 0x5E, 0xA1, 0x50, 0, n}, {1, 2, 3, n}));
    std::this_thread::sleep_for(50ms);
    const auto flood = bootp->SentSoFar();
    ASSERT_GT(flood.size(), 3u);
    EXPECT_LT(flood.size(), 3u + 8u);
    EXPECT_EQ(Yiaddr(flood[3].bytes), kHost + 10);
    EXPECT_EQ(flood[3].bytes[33], 1);
    // A port that fails ends the station's thread, said once for the whole port.
    ports.Port(69)->DeliverFailure(5);
    EXPECT_TRUE(WaitFor([&] { return host.Count<fk::event::Failed>(0) == 1; }));
    station->Stop();
    EXPECT_TRUE(table.Entries().empty());
}

// A learnt recorder's address is asked on the wire before its entry: its request is answered,
// with its xid, once the entry stands, and never before; the thread waits for nothing meanwhile.
TEST_F(StationSessionTest, ALearntRecorderIsAnsweredOnceTheProbeOfItsAddressEnds) {
    table.probeAsks = 3;
    plan.learn = true;
    plan.nextAddress = [](const fk::MacAddress&, const std::set<fk::Ipv4>&) {
        return std::optional<fk::Ipv4>(kHost + 50);
    };
    Start();
    auto bootp = ports.Port(67);
    const fk::MacAddress mac{0x02, 0x5E, 0xA1, 0x40, 0x00, 0x07};
    bootp->Deliver(BootRequest(mac, {1, 2, 3, 4}));
    ASSERT_TRUE(WaitFor([&] { return bootp->SentSoFar().size() == 1; }));
    const auto adds = table.Calls();
    ASSERT_EQ(adds.size(), 4u);  // three while the wire was asked, then the entry
    EXPECT_EQ(table.Entries().size(), 1u);
    const auto reply = bootp->SentSoFar().front();
    EXPECT_EQ(reply.to, (fk::platform::Endpoint{kHost + 50, 68}));
    EXPECT_EQ(Bytes(reply.bytes.begin() + 4, reply.bytes.begin() + 8), (Bytes{1, 2, 3, 4}));
    station->Stop();
    EXPECT_TRUE(table.Entries().empty());
}

// The kernel flushes the entries when the carrier goes: they are made again the moment it
// returns, not at the next refresh.
TEST_F(StationSessionTest, ACarriersReturnMakesTheEntriesAgainAtOnce) {
    options.entryRefresh = 1h;
    auto watch = std::make_unique<FakeNetworkWatch>();
    FakeNetworkWatch& notices = *watch;
    makeWatch = [&] { return std::move(watch); };
    plan.named = {Named(0)};
    Start();
    const fk::Ipv4 recorder = Named(0).address;
    ports.Port(69)->Deliver(ReadRequest("fw_2.bin"), {recorder, 2000});
    ASSERT_TRUE(WaitFor([&] { return host.Count<fk::event::RequestAccepted>(recorder) == 1; }));
    const auto adds = [&] {
        const auto calls = table.Calls();
        return std::count_if(calls.begin(), calls.end(), [](const auto& call) { return call.add; });
    };
    const auto before = adds();
    using Kind = fk::platform::NetworkChange::Kind;
    notices.Push({Kind::Link, 2, true});   // another card's
    notices.Push({Kind::Link, 1, false});  // the carrier goes
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(adds(), before);
    notices.Push({Kind::Link, 1, true});
    EXPECT_TRUE(WaitFor([&] { return adds() == before + 1; }, 200ms));
    station->Stop();
}

// Another device answers for a recorder's address: the recorder is given the next one, and told.
TEST_F(StationSessionTest, AnAddressAnotherDeviceAnswersForIsPassedOver) {
    table.held = {Named(0).address};
    plan.named = {Named(0)};
    plan.nextAddress = [](const fk::MacAddress&,
                          const std::set<fk::Ipv4>& given) -> std::optional<fk::Ipv4> {
        fk::Ipv4 address = kHost + 1;
        while (given.contains(address)) ++address;
        return address;
    };
    Start();
    ASSERT_TRUE(WaitFor([&] { return !ports.Port(67)->SentSoFar().empty(); }));
    EXPECT_EQ(ports.Port(67)->SentSoFar()[0].to.address, kHost + 2);
    EXPECT_EQ(host.Count<fk::event::Admission>(kHost + 2), 1u);
    station->Stop();
}

}  // namespace
