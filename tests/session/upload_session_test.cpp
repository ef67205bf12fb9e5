#include "upgrade/upload_session.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "session/private_network.h"
#include "support/fake_session.h"
#include "support/fakes.h"

namespace {

using fk::SessionState;
using fk::platform::ReceiveResult;
using fk::platform::UdpSocket;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr fk::Ipv4 kLoopback = 0x7F000001;
constexpr fk::Ipv4 kRecorder = 0x7F000002;  // DeviceAddressFor(127.0.0.1), still loopback

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

class UploadSessionTest : public fk::testing::PrivateNetworkTest {
  protected:
    void SetUp() override {
        PrivateNetworkTest::SetUp();
        if (IsSkipped()) return;
        m_image = fs::temp_directory_path() / ("fk-session-" + std::to_string(getpid()) + ".bin");
        host.card = {kLoopback, 1};
        host.sysFileName = "fw_2.bin";
        host.sysFilePath = m_image.string();
        session = std::make_unique<fk::UploadSession>(host, arp, options);
    }
    void TearDown() override {
        session.reset();
        if (!m_image.empty()) fs::remove(m_image);
        PrivateNetworkTest::TearDown();
    }

    void WriteImage(std::size_t size) {
        std::ofstream out(m_image, std::ios::binary);
        for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i));
    }

    // A socket on the recorder's BOOTP client port.
    std::shared_ptr<UdpSocket> Listen(std::uint16_t port) {
        int error = 0;
        auto socket = UdpSocket::Create(error);
        EXPECT_EQ(socket->Bind(port, 0), 0);
        return socket;
    }

    static std::optional<Bytes> Next(UdpSocket& socket, std::chrono::milliseconds wait,
                                     fk::platform::Endpoint* from = nullptr) {
        std::array<std::uint8_t, 1536> buffer{};
        const auto received = socket.Receive(buffer, Clock::now() + wait);
        if (received.status != ReceiveResult::Status::Datagram) return std::nullopt;
        if (from) *from = received.from;
        return Bytes(buffer.begin(), buffer.begin() + received.length);
    }

    fk::testing::FakeSessionHost host;
    fk::testing::FakeNeighbourTable table;
    fk::testing::NeighbourArp arp{table};
    fk::UploadSessionOptions options;
    std::unique_ptr<fk::UploadSession> session;

  private:
    fs::path m_image;
};

TEST_F(UploadSessionTest, AnnouncesEvery30MsAfterAddingTheArpEntry) {
    auto client = Listen(68);
    session->StartUpload();
    ASSERT_EQ(session->State(), SessionState::Announcing);
    EXPECT_EQ(host.Log(),
              (std::vector<std::string>{"status:Uploading Started", "cue:1", "progress:0"}));
    fk::platform::Endpoint from;
    const auto first = Next(*client, 1s, &from);
    ASSERT_TRUE(first);
    EXPECT_EQ(from.port, 67);
    ASSERT_EQ(first->size(), 300u);
    EXPECT_EQ(Bytes(first->begin() + 16, first->begin() + 24), (Bytes{127, 0, 0, 2, 127, 0, 0, 1}));
    EXPECT_EQ(std::string(first->begin() + 108, first->begin() + 117),
              std::string("fw_2.bin\0", 9));
    EXPECT_EQ(session->DeviceIp(), kRecorder);
    const auto entries = table.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].address, kRecorder);
    EXPECT_EQ(entries[0].mac, host.mac);

    const auto start = Clock::now();
    int replies = 0;
    while (Clock::now() - start < 2s) replies += Next(*client, 100ms).has_value();
    // About 66 in two seconds; the bounds only catch a wrong period or a drifting loop.
    EXPECT_GE(replies, 50);
    EXPECT_LE(replies, 72);
    session->StopUpload();
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadSessionTest, AbortWhileAnnouncingStopsRepliesAndLeavesNoArpEntry) {
    auto client = Listen(68);
    session->StartUpload();
    ASSERT_TRUE(Next(*client, 1s));
    session->StopUpload();
    // What was sent before the stop may still be queued; nothing may follow it.
    while (Next(*client, 0ms)) {
    }
    EXPECT_FALSE(Next(*client, 100ms));
    EXPECT_TRUE(table.Entries().empty());
    const auto calls = table.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_FALSE(calls[calls.size() - 2].add);
    EXPECT_EQ(calls[calls.size() - 2].address, kRecorder);
    EXPECT_FALSE(calls.back().add);
    EXPECT_EQ(calls.back().address, 0u);
    EXPECT_EQ(host.Log().back(), "ended");
}

TEST_F(UploadSessionTest, BusyBootpPortFailsTheStartAndAbortRestoresThePages) {
    auto squatter = Listen(67);
    session->StartUpload();
    EXPECT_EQ(session->State(), SessionState::StartFailed);
    EXPECT_EQ(host.Log(), (std::vector<std::string>{
                              "status:Uploading Started", "cue:1",
                              "status:Step 3 bootp socket error: error code (98)", "cue:3"}));
    session->StopUpload();
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Log().back(), "ended");
}

TEST_F(UploadSessionTest, BusyTftpPortClosesTheBootpSocketSoARetrySucceeds) {
    const auto descriptors = OpenDescriptors();
    auto squatter = Listen(69);
    session->StartUpload();
    EXPECT_EQ(session->State(), SessionState::StartFailed);
    EXPECT_EQ(host.Count("status:Step 3 tftp socket error: error code (98)"), 1u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 2);  // only the squatter and its wake event
    squatter->Close();
    session->StopUpload();
    session->StartUpload();
    EXPECT_EQ(session->State(), SessionState::Announcing);
    session->StopUpload();
}

TEST_F(UploadSessionTest, StopUploadRacingFromTwoThreadsEndsEachUploadOnce) {
    const auto descriptors = OpenDescriptors();
    for (int round = 0; round < 20; ++round) {
        host.Clear();
        session->StartUpload();
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
        EXPECT_EQ(host.Count("status:Uploading Completed"), 2u);
        EXPECT_EQ(session->State(), SessionState::Idle);
    }
    session->Shutdown();
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(UploadSessionTest, StopWakesTheBlockedTftpWorkerPromptly) {
    session->StartUpload();
    std::this_thread::sleep_for(50ms);
    const auto start = Clock::now();
    session->StopUpload();
    session->Shutdown();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(UploadSessionTest, DestroyingTheSessionDuringAnUploadJoinsItsWorkers) {
    session->StartUpload();
    std::this_thread::sleep_for(20ms);
    session.reset();
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadSessionTest, ServesTheImageOverTheSocketAndEndsByItself) {
    WriteImage(1000);
    auto recorder = Listen(0);
    session->StartUpload();
    const Bytes request{0,   1, 'F', 'W', '_', '2', '.', 'b', 'i',
                        'n', 0, 'o', 'c', 't', 'e', 't', 0};
    ASSERT_EQ(recorder->SendTo(request, {kLoopback, 69}).count, 17);
    fk::platform::Endpoint server;
    auto block = Next(*recorder, 2s, &server);
    ASSERT_TRUE(block);
    EXPECT_EQ(server.port, 69);
    EXPECT_EQ(block->size(), 516u);
    EXPECT_EQ(session->State(), SessionState::Transferring);
    for (std::uint16_t acked = 1; acked <= 2; ++acked) {
        const Bytes ack{0, 4, 0, static_cast<std::uint8_t>(acked)};
        recorder->SendTo(ack, server);
        block = Next(*recorder, 2s);
        ASSERT_TRUE(block);
    }
    EXPECT_EQ(block->size(), 492u);
    // The final block may be lost: the upload waits for its acknowledgement on the open port.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(session->State(), SessionState::Transferring);
    EXPECT_EQ(host.Count("cue:2"), 0u);
    recorder->SendTo(Bytes{0, 4, 0, 3}, server);
    // The worker ends the upload itself; wait for its end report.
    const auto start = Clock::now();
    while (host.Count("cue:2") == 0 && Clock::now() - start < 2s) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(session->State(), SessionState::Idle);
    const auto log = host.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "status:Uploading Completed");
    EXPECT_EQ(log[log.size() - 2], "ended");
    EXPECT_EQ(log.back(), "cue:2");
    // A new upload after completion starts afresh.
    host.Clear();
    session->StartUpload();
    EXPECT_EQ(session->State(), SessionState::Announcing);
    EXPECT_EQ(host.Count("progress:0"), 1u);
}

// The operator's Abort meets the worker in the middle of a block: whatever the worker was doing
// (a send to the socket the stop closes, a report), nothing of it may follow the stop.
TEST_F(UploadSessionTest, NothingOfAnUploadFollowsItsStop) {
    WriteImage(8 << 20);
    for (int round = 0; round < 60; ++round) {
        host.Clear();
        session->StartUpload();
        std::atomic<int> blocks{0};
        std::atomic<bool> done{false};
        std::thread recorder([&] {
            auto socket = Listen(0);
            const Bytes request{0,   1, 'f', 'w', '_', '2', '.', 'b', 'i',
                                'n', 0, 'o', 'c', 't', 'e', 't', 0};
            socket->SendTo(request, {kLoopback, 69});
            fk::platform::Endpoint server;
            while (!done) {
                const auto block = Next(*socket, 20ms, &server);
                if (!block || block->size() < 4) continue;
                ++blocks;
                socket->SendTo(Bytes{0, 4, (*block)[2], (*block)[3]}, server);
            }
        });
        const auto start = Clock::now();
        while (blocks < 3 && Clock::now() - start < 2s) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(150 * (round % 9)));
        session->StopUpload();
        const auto atStop = host.Log();
        session->Shutdown();  // joins the workers: whatever they had in hand is done now
        done = true;
        recorder.join();
        ASSERT_GE(blocks, 3) << "round " << round;
        EXPECT_EQ(host.Log(), atStop) << "round " << round;
        ASSERT_GE(atStop.size(), 2u);
        EXPECT_EQ(atStop.back(), "ended") << "round " << round;
    }
}

TEST_F(UploadSessionTest, SilentRecorderIsResentTheBlockThenTheUploadGivesUp) {
    options.sendTimeOut = 10ms;
    session = std::make_unique<fk::UploadSession>(host, arp, options);
    WriteImage(2000);
    auto recorder = Listen(0);
    session->StartUpload();
    const Bytes request{0,   1, 'f', 'w', '_', '2', '.', 'b', 'i',
                        'n', 0, 'o', 'c', 't', 'e', 't', 0};
    recorder->SendTo(request, {kLoopback, 69});
    int headers = 0;
    while (Next(*recorder, 1s)) ++headers;
    EXPECT_EQ(headers, 21);  // the first send and 20 resends
    EXPECT_EQ(session->State(), SessionState::Idle);
    EXPECT_EQ(host.Count("status:retry transfer 19"), 1u);
    EXPECT_EQ(host.Count("box:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)|FlashPilot "
                         "Transmission Error"),
              1u);
    EXPECT_EQ(host.Count("ended"), 1u);
}

TEST_F(UploadSessionTest, TimerHooksActOnlyOnARunningUpload) {
    session->SendTimeOutTimer();
    session->AckTimeOutTimer();
    EXPECT_TRUE(host.Log().empty());
    session->StartUpload();
    session->AckTimeOutTimer();
    EXPECT_EQ(session->State(), SessionState::Idle);
    const auto log = host.Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "ended");
    EXPECT_EQ(log[log.size() - 2], "status:TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)");
}

TEST_F(UploadSessionTest, NoArpAddFollowsTheFinalDeleteOfAStop) {
    options.bootpPeriod = 1ms;  // turns as often as possible, to meet the stop mid-turn
    session = std::make_unique<fk::UploadSession>(host, arp, options);
    for (int round = 0; round < 30; ++round) {
        session->StartUpload();
        std::this_thread::sleep_for(std::chrono::microseconds(300 * (round % 7)));
        session->StopUpload();
        const auto calls = table.Calls();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_FALSE(calls[calls.size() - 2].add);
        EXPECT_FALSE(calls.back().add);
        EXPECT_TRUE(table.Entries().empty()) << "round " << round;
    }
}

// The operator picks another card while the announcer runs: each turn pairs one card's address
// with that same card, every entry is bound to the MAC captured when Upload was pressed, and the
// stop deletes them on every card.
TEST_F(UploadSessionTest, EachTurnTakesOneCardWholeAndTheMacCapturedAtUpload) {
    options.bootpPeriod = 1ms;
    session = std::make_unique<fk::UploadSession>(host, arp, options);
    constexpr fk::Ipv4 kOtherCard = 0x7F000101;  // 127.0.1.1 on "card" 2
    const fk::MacAddress captured = host.mac;
    session->StartUpload();
    host.mac = {0x02, 0x5E, 0xA1, 0x77, 0x77, 0x77};  // the boxes typed anew: not this upload's
    const auto start = Clock::now();
    for (int n = 0; Clock::now() - start < 300ms; ++n)
        host.card = n % 2 ? fk::SelectedCard{kOtherCard, 2} : fk::SelectedCard{kLoopback, 1};
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
    for (const auto& entry : entries) EXPECT_EQ(entry.mac, captured);
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
    auto client = Listen(68);
    session->StartUpload();
    EXPECT_TRUE(Next(*client, 1s));
    EXPECT_TRUE(Next(*client, 1s));
    EXPECT_EQ(session->State(), SessionState::Announcing);
    session->StopUpload();
}

}  // namespace
