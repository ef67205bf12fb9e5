// The simulated recorder against a test double of the servers, in a private namespace pair.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>

#include "tests/e2e/boot_server_double.h"
#include "tests/support/netns.h"
#include "tests/support/recorder_process.h"

namespace fk::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::array<std::uint8_t, 6> kRecorderMac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
constexpr std::uint32_t kPcAddress = 0xC0A84D01;        // 192.168.77.1
constexpr std::uint32_t kRecorderAddress = 0xC0A84D02;  // 192.168.77.2

std::vector<std::uint8_t> Pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class RecorderSimE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
        m_net = std::make_unique<NetnsPair>();
        m_net->EnterPc();
        // The recorder has no address yet; the servers reach it through its MAC, as FlashKit does.
        ASSERT_EQ(RunCommand("ip -n " + m_net->pc +
                             " neigh replace 192.168.77.2 lladdr "
                             "02:5e:a1:1a:2b:3c dev " +
                             m_net->pcLink + " nud permanent"),
                  0);
        m_output = std::filesystem::temp_directory_path() /
                   ("fk-sim-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    void TearDown() override {
        m_server.reset();
        m_net.reset();
        std::filesystem::remove(m_output);
    }

    BootpMessage GoodReply(const std::string& file = "fw_2.bin") const {
        return MakeBootpReply("FKT0", kRecorderMac, kRecorderAddress, kPcAddress, file);
    }

    void StartServer(std::vector<std::uint8_t> served, std::chrono::milliseconds resendAfter = 0ms,
                     std::vector<BootpMessage> replies = {}, bool answerRequests = false) {
        DoubleConfig config;
        config.answerRequests = answerRequests;
        config.replies = replies.empty() ? std::vector{GoodReply()} : std::move(replies);
        config.recorderAddress = kRecorderAddress;
        config.fileName = "fw_2.bin";
        config.served = std::move(served);
        config.resendAfter = resendAfter;
        m_server = std::make_unique<BootServerDouble>(std::move(config));
    }

    ProcessResult RunSim(std::vector<std::string> arguments, std::chrono::seconds timeout = 20s) {
        arguments.insert(arguments.end(), {"--timeout", std::to_string(timeout.count())});
        RecorderProcess sim(*m_net, arguments, timeout + 10s);
        return sim.Wait();
    }

    std::unique_ptr<NetnsPair> m_net;
    std::unique_ptr<BootServerDouble> m_server;
    std::filesystem::path m_output;
};

TEST_F(RecorderSimE2e, IgnoresForeignRepliesAndReportsTheGoodOnes) {
    auto wrongMac = kRecorderMac;
    wrongMac[5] = 0x3D;
    StartServer(
        HeaderAndImage(1, 0, {}), 0ms,
        {MakeBootpReply("FKT1", kRecorderMac, kRecorderAddress, kPcAddress, "x.bin"),
         MakeBootpReply("FKT0", wrongMac, kRecorderAddress, kPcAddress, "y.bin"), GoodReply()});
    const auto periodLog = m_output.string() + ".periods";
    const auto run = RunSim({"--count", "3", "--period-log", periodLog});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto bootp = run.Line("bootp");
    EXPECT_EQ(bootp.at("replies"), "3");
    EXPECT_EQ(bootp.at("yiaddr"), "192.168.77.2");
    EXPECT_EQ(bootp.at("siaddr"), "192.168.77.1");
    EXPECT_EQ(bootp.at("file"), "fw_2.bin");
    const auto ignored = run.Line("ignored");
    EXPECT_GE(std::stoi(ignored.at("wrong_xid")), 2);
    EXPECT_GE(std::stoi(ignored.at("wrong_chaddr")), 2);
    EXPECT_EQ(ignored.at("malformed"), "0");

    // One timestamp per accepted reply; a good one comes every third turn of 30 ms.
    std::ifstream log(periodLog);
    std::vector<long long> stamps{std::istream_iterator<long long>(log), {}};
    std::filesystem::remove(periodLog);
    ASSERT_EQ(stamps.size(), 3u);
    EXPECT_GT(stamps[1] - stamps[0], 45'000);
    EXPECT_GT(stamps[2] - stamps[1], 45'000);
}

// --ask: its broadcast request reaches the server's port 67, and only the answer under its own
// xid counts; the announcements under "FKT0" meanwhile are ignored.
TEST_F(RecorderSimE2e, AsksByBootpRequestAndFetchesWhatTheAnswerOffers) {
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served, 0ms, {GoodReply()}, true);
    const auto run = RunSim({"--ask", "--fetch", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.Line("bootp").at("yiaddr"), "192.168.77.2");
    EXPECT_EQ(ReadAll(m_output), served);
    EXPECT_GE(m_server->Log().bootpRequests, 1);

    m_server.reset();
    StartServer(served);  // announces only, answers no request
    const auto unanswered = RunSim({"--ask"}, 1s);
    EXPECT_EQ(unanswered.exitCode, 4);
    EXPECT_GT(std::stoi(unanswered.Line("ignored").at("wrong_xid")), 0);
}

TEST_F(RecorderSimE2e, GivesUpAtItsTimeoutWhenNoReplyIsForIt) {
    StartServer(HeaderAndImage(1, 0, {}), 0ms,
                {MakeBootpReply("FKT0", {0x02, 0x5E, 0xA1, 0, 0, 1}, kRecorderAddress, kPcAddress,
                                "fw_2.bin")});
    const auto run = RunSim({}, 1s);
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_FALSE(run.killedAtLimit);
    EXPECT_NE(run.err.find("timed out"), std::string::npos) << run.err;
    EXPECT_GT(std::stoi(run.Line("ignored").at("wrong_chaddr")), 0);
}

TEST_F(RecorderSimE2e, FetchesAThousandByteSystemImageByteForByte) {
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served);
    const auto run = RunSim({"--fetch", "--expect-kind", "1", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto tftp = run.Line("tftp");
    EXPECT_EQ(tftp.at("status"), "complete");
    EXPECT_EQ(tftp.at("blocks"), "3");
    EXPECT_EQ(tftp.at("image_bytes"), "1000");
    EXPECT_EQ(tftp.at("kind"), "1");
    EXPECT_EQ(tftp.at("size"), "1000");
    EXPECT_EQ(ReadAll(m_output), served);
    const auto log = m_server->Log();
    EXPECT_EQ(log.requests, std::vector<std::string>{"fw_2.bin"});
    EXPECT_EQ(log.acks, (std::map<std::uint16_t, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(RecorderSimE2e, FetchesAThreeMebibyteDataImageByteForByte) {
    const auto served = HeaderAndImage(2, 3 << 20, Pattern(3 << 20));
    StartServer(served);
    const auto run = RunSim({"--fetch", "--expect-kind", "data", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    // 6144 full blocks of image, then the empty block that ends a size divisible by 512.
    EXPECT_EQ(run.Line("tftp").at("blocks"), "6146");
    EXPECT_EQ(ReadAll(m_output), served);
}

TEST_F(RecorderSimE2e, RefusesAHeaderThatDoesNotDescribeTheImage) {
    StartServer(HeaderAndImage(1, 999, Pattern(1000)));
    const auto wrongSize = RunSim({"--fetch"});
    EXPECT_EQ(wrongSize.exitCode, 1);
    EXPECT_NE(wrongSize.err.find("announces 999 bytes, 1000 bytes followed"), std::string::npos)
        << wrongSize.err;

    m_server.reset();
    StartServer(HeaderAndImage(1, 1000, Pattern(1000)));
    const auto wrongKind = RunSim({"--fetch", "--expect-kind", "2"});
    EXPECT_EQ(wrongKind.exitCode, 1);
    EXPECT_NE(wrongKind.err.find("kind is 1, expected 2"), std::string::npos) << wrongKind.err;
}

TEST_F(RecorderSimE2e, DuplicateAcksAreAnsweredOnceEachWithoutAnAvalanche) {
    const auto served = HeaderAndImage(1, 2000, Pattern(2000));
    StartServer(served);
    const auto run = RunSim({"--fetch", "--duplicate-acks", "3", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadAll(m_output), served);
    // The server answers every copy, so blocks 2..5 come three times; the repeats are not acked,
    // and those of the final block 5 come after the simulator has finished.
    EXPECT_EQ(run.Line("tftp").at("duplicates"), "6");
    EXPECT_EQ(m_server->Log().acks,
              (std::map<std::uint16_t, int>{{1, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 3}}));
}

TEST_F(RecorderSimE2e, ALostAckIsMadeGoodByTheServersResend) {
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served, 300ms);
    const auto run = RunSim({"--fetch", "--lose-ack", "2", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadAll(m_output), served);
    const auto log = m_server->Log();
    EXPECT_EQ(log.resends, 1);
    EXPECT_EQ(log.acks, (std::map<std::uint16_t, int>{{1, 1}, {2, 1}, {3, 1}}));
}

TEST_F(RecorderSimE2e, WithoutAResendALostAckTimesOut) {
    StartServer(HeaderAndImage(1, 1000, Pattern(1000)));
    const auto run = RunSim({"--fetch", "--lose-ack", "2"}, 2s);
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.err.find("timed out waiting for DATA block 3"), std::string::npos) << run.err;
}

TEST_F(RecorderSimE2e, WrongNameFirstThenTheRightOne) {
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served);
    const auto run =
        RunSim({"--fetch", "--wrong-name", "other.bin", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadAll(m_output), served);
    EXPECT_EQ(m_server->Log().requests, (std::vector<std::string>{"other.bin", "fw_2.bin"}));
}

TEST_F(RecorderSimE2e, ErrorAndAckZeroMidTransferDoNotDisturbTheResult) {
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served);
    const auto run = RunSim(
        {"--fetch", "--send-error", "--ack-zero", "--ack-65535", "--output", m_output.string()});

    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadAll(m_output), served);
    // ACK 0 brings the header block again, which the simulator sets aside.
    EXPECT_EQ(run.Line("tftp").at("stale"), "1");
    const auto log = m_server->Log();
    EXPECT_EQ(log.errorsReceived, 1);
    EXPECT_EQ(log.acks, (std::map<std::uint16_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}, {65535, 1}}));
}

TEST_F(RecorderSimE2e, StopAfterGoesSilentAndCountsTheServersResends) {
    StartServer(HeaderAndImage(1, 2000, Pattern(2000)), 300ms);
    const auto run = RunSim({"--fetch", "--stop-after", "2", "--output", m_output.string()}, 2s);

    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto tftp = run.Line("tftp");
    EXPECT_EQ(tftp.at("status"), "stopped");
    EXPECT_EQ(tftp.at("last_block"), "2");
    EXPECT_GE(std::stoi(tftp.at("silent_data")), 2);
    EXPECT_EQ(ReadAll(m_output).size(), 512u + 512u);
    EXPECT_EQ(m_server->Log().acks.count(3), 0u);
}

// --silent-arp must really leave the PC's kernel unanswered: with the servers' fixed entry gone,
// a datagram to the recorder ends in a FAILED entry, while the recorder still reaches the server
// through its own fixed entry; the new source port and the pauses change nothing of the bytes.
TEST_F(RecorderSimE2e, SilentArpAnswersNoRequestAndTheLinkFaultsKeepTheBytes) {
    const auto served = HeaderAndImage(1, 2000, Pattern(2000));
    StartServer(served);
    ASSERT_EQ(RunCommand(m_net->OnPc("sh -c 'echo 200 > /proc/sys/net/ipv4/neigh/" + m_net->pcLink +
                                     "/retrans_time_ms'")),
              0);
    RecorderProcess sim(
        *m_net,
        {"--silent-arp", "--fetch", "--new-port-at", "2", "--ack-delay", "0.001", "--hold-ack", "3",
         "--hold", "3", "--output", m_output.string(), "--timeout", "15"},
        25s);
    for (int n = 0; n < 100 && m_server->Log().acks.count(2) == 0; ++n)
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(m_server->Log().acks.count(2), 1u);
    const std::string entry = " 192.168.77.2 dev " + m_net->pcLink;
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " neigh del" + entry), 0);
    ASSERT_EQ(RunCommand(m_net->OnPc("bash -c 'echo probe > /dev/udp/192.168.77.2/9'")), 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_NE(CommandOutput("ip -n " + m_net->pc + " neigh show" + entry).find("FAILED"),
              std::string::npos);
    EXPECT_NE(
        CommandOutput("ip -n " + m_net->recorder + " neigh show 192.168.77.1").find("PERMANENT"),
        std::string::npos);
    ASSERT_EQ(RunCommand("ip -n " + m_net->pc + " neigh replace" + entry +
                         " lladdr 02:5e:a1:1a:2b:3c nud permanent"),
              0);
    const auto run = sim.Wait();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(m_output), served);
    EXPECT_EQ(m_server->Log().acks.size(), 5u);
    EXPECT_EQ(CommandOutput("ip netns exec " + m_net->recorder + " cat /proc/sys/net/ipv4/conf/" +
                            m_net->recorderLink + "/arp_ignore"),
              "0\n");
}

TEST_F(RecorderSimE2e, TheTftpHpaClientReadsTheSameBytesFromTheDouble) {
    if (!TftpClientAvailable()) GTEST_SKIP() << "tftp-hpa client not installed";
    const auto served = HeaderAndImage(1, 1000, Pattern(1000));
    StartServer(served);
    ASSERT_TRUE(GiveRecorderAddress(*m_net, "192.168.77.2/24"));
    const auto run = TftpGet(*m_net, "192.168.77.1", "fw_2.bin", m_output.string(), 20s);
    EXPECT_FALSE(run.killedAtLimit);
    EXPECT_EQ(ReadAll(m_output), served) << run.out << run.err;
}

}  // namespace
}  // namespace fk::testing
