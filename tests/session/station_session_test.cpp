#include "upgrade/station_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "support/fake_session.h"
#include "support/fakes.h"
#include "upgrade/bootp_packet.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr fk::Ipv4 kHost = 0xC0A84D01;  // 192.168.77.1

// Waits for the condition, a bounded time; whether it came.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 3s) {
    const auto until = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

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

Bytes ReadRequest(const std::string& name) {
    Bytes bytes{0, 1};
    bytes.insert(bytes.end(), name.begin(), name.end());
    const std::string mode("\0octet\0", 7);
    bytes.insert(bytes.end(), mode.begin(), mode.end());
    return bytes;
}

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
        station = std::make_unique<fk::StationSession>(host, arp, ports, options);
        ASSERT_TRUE(station->Start(plan));
        m_seen = 0;
    }

    // Plays every recorder of plan.named: each asks, then acknowledges every block it gets,
    // except the silent one, which stops after its third block. The bytes each one got from
    // block 2 on, once all that answer are done or the time is up.
    std::map<fk::Ipv4, Bytes> Flash(std::optional<fk::Ipv4> silent) {
        auto tftp = ports.Port(69);
        std::map<fk::Ipv4, Bytes> got;
        std::set<fk::Ipv4> done;
        for (std::size_t n = 0; n < plan.named.size(); ++n) {
            const auto address = plan.named[n].address;
            tftp->Deliver(ReadRequest("FW_2.BIN"), {address, static_cast<std::uint16_t>(2000 + n)});
        }
        const auto until = Clock::now() + 10s;
        const std::size_t answering = plan.named.size() - (silent ? 1 : 0);
        while (done.size() < answering && Clock::now() < until) {
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
    std::unique_ptr<fk::StationSession> station;

  private:
    fs::path m_image;
    std::size_t m_seen = 0;  // the TFTP port's sends Flash has answered
};

TEST_F(StationSessionTest, NamedRecordersCompleteEachWithItsAddressWhateverAnotherDoes) {
    struct Row {
        const char* what;
        std::uint8_t recorders;
        std::optional<std::uint8_t> silent;
        std::size_t rounds = 1;  // each recorder asks again after completing
    };
    for (const Row& row : {Row{"four complete", 4, std::nullopt}, Row{"one goes silent", 4, 2},
                           Row{"each asks again after completing", 2, std::nullopt, 2}}) {
        SCOPED_TRACE(row.what);
        plan.named.clear();
        for (std::uint8_t n = 0; n < row.recorders; ++n) plan.named.push_back(Named(n));
        Start();
        // Each is announced with its own address, after its entry was made.
        std::set<fk::Ipv4> announced;
        const auto until = Clock::now() + 2s;
        while (announced.size() < row.recorders && Clock::now() < until) {
            for (const auto& sent : ports.Port(67)->SentSoFar()) {
                EXPECT_EQ(sent.to.address, Yiaddr(sent.bytes));
                announced.insert(sent.to.address);
            }
        }
        EXPECT_EQ(announced.size(), row.recorders);
        EXPECT_EQ(table.Entries().size(), row.recorders);

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
    // A port that fails ends the station's thread, said once for the whole port.
    ports.Port(69)->DeliverFailure(5);
    EXPECT_TRUE(WaitFor([&] { return host.Count<fk::event::Failed>(0) == 1; }));
    station->Stop();
    EXPECT_TRUE(table.Entries().empty());
}

}  // namespace
