#include "upgrade/upload_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "support/fake_session.h"
#include "support/tftp_datagrams.h"
#include "support/fakes.h"

namespace {

using fk::SessionState;
using fk::testing::FakeDatagramPort;
using fk::testing::Ack;
using fk::testing::ReadRequest;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr fk::Ipv4 kHost = 0xC0A84D01;      // 192.168.77.1
constexpr fk::Ipv4 kRecorder = 0xC0A84D02;  // the address the rule gives it
constexpr fk::platform::Endpoint kRecorderTftp{kRecorder, 2070};

// Waits for the condition, a bounded time; whether it came.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 2s) {
    const auto until = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The session on in-memory ports: no root, no namespace, nothing on any network.
class UploadSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_image = fs::temp_directory_path() /
                  ("fk-session-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
        host.card = {kHost, 1};
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
        session = std::make_unique<fk::UploadSession>(host, arp, ports, options);
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
    fk::UploadSessionOptions options;
    fk::UploadPlan plan;
    std::unique_ptr<fk::UploadSession> session;

  private:
    fs::path m_image;
};

TEST_F(UploadSessionTest, AnnouncesEvery30MsAfterAddingTheArpEntry) {
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
    EXPECT_EQ(session->DeviceIp(), kRecorder);
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

TEST_F(UploadSessionTest, AbortWhileAnnouncingStopsRepliesAndLeavesNoArpEntry) {
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

TEST_F(UploadSessionTest, BusyBootpPortFailsTheStartAndAbortRestoresThePages) {
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

TEST_F(UploadSessionTest, BusyTftpPortClosesTheBootpPortSoARetrySucceeds) {
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

TEST_F(UploadSessionTest, StopUploadRacingFromTwoThreadsEndsEachUploadOnce) {
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

TEST_F(UploadSessionTest, StopWakesTheNetworkThreadPromptly) {
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

TEST_F(UploadSessionTest, DestroyingTheSessionDuringAnUploadJoinsItsThread) {
    session->StartUpload(plan);
    std::this_thread::sleep_for(20ms);
    session.reset();
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadSessionTest, ServesTheImageAndEndsByItself) {
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
TEST_F(UploadSessionTest, NothingOfAnUploadFollowsItsStop) {
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

TEST_F(UploadSessionTest, SilentRecorderIsResentTheBlockThenTheUploadGivesUp) {
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

TEST_F(UploadSessionTest, TimerHooksActOnlyOnARunningUpload) {
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

TEST_F(UploadSessionTest, NoArpAddFollowsTheFinalDeleteOfAStop) {
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
TEST_F(UploadSessionTest, EachTurnTakesOneCardWholeAndThePortsFollowIt) {
    options.bootpPeriod = 1ms;
    MakeSession();
    constexpr fk::Ipv4 kOtherCard = 0x0A000001;  // 10.0.0.1 on card 2
    session->StartUpload(plan);
    const auto start = Clock::now();
    for (int n = 0; Clock::now() - start < 300ms; ++n)
        host.card = n % 2 ? fk::SelectedCard{kOtherCard, 2} : fk::SelectedCard{kHost, 1};
    host.card = fk::SelectedCard{kOtherCard, 2};
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

TEST_F(UploadSessionTest, RefusedArpEntriesDoNotStopTheReplies) {
    table.refuse = true;
    session->StartUpload(plan);
    EXPECT_TRUE(WaitFor([&] { return Replies() >= 2; }));
    EXPECT_EQ(session->State(), SessionState::Announcing);
    session->StopUpload();
}

}  // namespace
