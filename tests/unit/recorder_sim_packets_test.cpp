// The simulated recorder's own rules: which replies it takes, how it reads TFTP packets and
// the header block, its options and its lock-step fetch against a scripted server.

#include <gtest/gtest.h>

#include <deque>

#include "tools/recorder-sim/bootp_reply.h"
#include "tools/recorder-sim/image_header.h"
#include "tools/recorder-sim/ipv4_udp.h"
#include "tools/recorder-sim/options.h"
#include "tools/recorder-sim/report.h"
#include "tools/recorder-sim/tftp_fetch.h"
#include "tools/recorder-sim/tftp_packet.h"

namespace fk::sim {
namespace {

using Buffer = std::vector<std::uint8_t>;
constexpr MacAddress kOwnMac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};

Buffer Reply() {
    Buffer reply(300, 0);
    reply[0] = 2;
    reply[1] = 1;
    reply[2] = 6;
    const Buffer fixed{'F', 'K', 'T', '0', 0,  0, 0,   0,   0,  0,
                       0,   0,   192, 168, 10, 2, 192, 168, 10, 1};
    std::copy(fixed.begin(), fixed.end(), reply.begin() + 4);
    std::copy(kOwnMac.begin(), kOwnMac.end(), reply.begin() + 28);
    const std::string name = "fw_2.bin";
    std::copy(name.begin(), name.end(), reply.begin() + 108);
    return reply;
}

TEST(RecorderSimBootp, AcceptsItsOwnReplyAndReadsTheOffer) {
    const auto inspection = InspectBootpReply(Reply(), kOwnMac);
    ASSERT_EQ(inspection.verdict, BootpVerdict::Accepted);
    EXPECT_EQ(inspection.offer.yourAddress, 0xC0A80A02u);
    EXPECT_EQ(inspection.offer.serverAddress, 0xC0A80A01u);
    EXPECT_EQ(inspection.offer.fileName, "fw_2.bin");

    auto longer = Reply();
    longer.resize(548, 0);  // a DHCP-sized message is still a reply
    EXPECT_EQ(InspectBootpReply(longer, kOwnMac).verdict, BootpVerdict::Accepted);

    auto noName = Reply();
    std::fill(noName.begin() + 108, noName.begin() + 236, 0);
    const auto empty = InspectBootpReply(noName, kOwnMac);
    EXPECT_EQ(empty.verdict, BootpVerdict::Accepted);
    EXPECT_EQ(empty.offer.fileName, "");
}

// --ask: a broadcast request from 0.0.0.0:68 to port 67 with its MAC and xid, whose answer is
// taken and an announcement under another xid is not.
TEST(RecorderSimBootp, AsksWithItsOwnXidAndTakesOnlyTheAnswerToIt) {
    constexpr Xid kAsked{0x12, 0x34, 0x56, 0x78};
    const auto packet = BuildIpv4Udp(0, 0xFFFFFFFF, 68, 67, BuildBootpRequest(kOwnMac, kAsked));
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < 20; at += 2) sum += ReadU16(packet, at);
    EXPECT_EQ((sum & 0xFFFF) + (sum >> 16), 0xFFFFu);  // the header checksum holds
    const auto udp = ParseIpv4Udp(packet);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->source, 0u);
    EXPECT_EQ(udp->destination, 0xFFFFFFFFu);
    EXPECT_EQ(udp->sourcePort, 68);
    EXPECT_EQ(udp->destinationPort, 67);
    ASSERT_EQ(udp->payload.size(), kBootpMessageSize);
    const Buffer request(udp->payload.begin(), udp->payload.end());
    EXPECT_EQ(Buffer(request.begin(), request.begin() + 8),
              (Buffer{1, 1, 6, 0, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(request[10], 0x80);
    EXPECT_TRUE(std::equal(kOwnMac.begin(), kOwnMac.end(), request.begin() + 28));
    EXPECT_EQ(InspectBootpReply(request, kOwnMac, kAsked).verdict, BootpVerdict::NotReply);

    auto answer = Reply();
    std::copy(kAsked.begin(), kAsked.end(), answer.begin() + 4);
    EXPECT_EQ(InspectBootpReply(answer, kOwnMac, kAsked).verdict, BootpVerdict::Accepted);
    EXPECT_EQ(InspectBootpReply(Reply(), kOwnMac, kAsked).verdict, BootpVerdict::WrongXid);
}

TEST(RecorderSimBootp, RefusesRequestsForeignXidsOtherStationsAndBrokenMessages) {
    auto request = Reply();
    request[0] = 1;
    EXPECT_EQ(InspectBootpReply(request, kOwnMac).verdict, BootpVerdict::NotReply);

    auto xid = Reply();
    xid[7] = '1';
    EXPECT_EQ(InspectBootpReply(xid, kOwnMac).verdict, BootpVerdict::WrongXid);

    for (const std::size_t octet : {0u, 3u, 5u}) {
        auto other = Reply();
        other[28 + octet] ^= 1;
        EXPECT_EQ(InspectBootpReply(other, kOwnMac).verdict, BootpVerdict::WrongChaddr) << octet;
    }

    auto truncated = Reply();
    truncated.resize(299);
    EXPECT_EQ(InspectBootpReply(truncated, kOwnMac).verdict, BootpVerdict::Malformed);
    EXPECT_EQ(InspectBootpReply({}, kOwnMac).verdict, BootpVerdict::Malformed);

    auto fullName = Reply();  // a name that fills the field has lost its end
    std::fill(fullName.begin() + 108, fullName.begin() + 236, 'a');
    EXPECT_EQ(InspectBootpReply(fullName, kOwnMac).verdict, BootpVerdict::Malformed);
}

Buffer Ipv4Udp(const Buffer& payload, std::uint16_t destinationPort = 68) {
    const auto total = static_cast<std::uint16_t>(28 + payload.size());
    const auto udp = static_cast<std::uint16_t>(8 + payload.size());
    const std::array<std::uint8_t, 28> headers{0x45,
                                               0,
                                               static_cast<std::uint8_t>(total >> 8),
                                               static_cast<std::uint8_t>(total),
                                               0,
                                               0,
                                               0x40,
                                               0,
                                               64,
                                               17,
                                               0,
                                               0,
                                               192,
                                               168,
                                               77,
                                               1,
                                               192,
                                               168,
                                               77,
                                               2,
                                               0,
                                               67,
                                               static_cast<std::uint8_t>(destinationPort >> 8),
                                               static_cast<std::uint8_t>(destinationPort),
                                               static_cast<std::uint8_t>(udp >> 8),
                                               static_cast<std::uint8_t>(udp),
                                               0,
                                               0};
    Buffer packet(total, 0);
    std::copy(headers.begin(), headers.end(), packet.begin());
    std::copy(payload.begin(), payload.end(), packet.begin() + 28);
    return packet;
}

TEST(RecorderSimIpv4Udp, ReadsAddressesPortsAndPayload) {
    auto packet = Ipv4Udp({1, 2, 3});
    packet.insert(packet.end(), 6, 0);  // link padding behind the IP total length
    const auto datagram = ParseIpv4Udp(packet);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->source, 0xC0A84D01u);
    EXPECT_EQ(datagram->destination, 0xC0A84D02u);
    EXPECT_EQ(datagram->sourcePort, 67);
    EXPECT_EQ(datagram->destinationPort, 68);
    EXPECT_EQ(Buffer(datagram->payload.begin(), datagram->payload.end()), (Buffer{1, 2, 3}));
}

TEST(RecorderSimIpv4Udp, RefusesWhatDoesNotAddUp) {
    const auto good = Ipv4Udp({1, 2, 3});
    auto tcp = good;
    tcp[9] = 6;
    auto fragment = good;
    fragment[6] = 0x20;  // more fragments
    auto ipv6 = good;
    ipv6[0] = 0x65;
    auto shortHeader = good;
    shortHeader[0] = 0x44;
    auto udpTooLong = good;
    udpTooLong[25] = 20;
    auto totalTooLong = good;
    totalTooLong[3] = 40;
    Buffer cut(good.begin(), good.begin() + 27);
    for (const auto& bad : {tcp, fragment, ipv6, shortHeader, udpTooLong, totalTooLong, cut})
        EXPECT_FALSE(ParseIpv4Udp(bad));
}

TEST(RecorderSimTftp, BuildsRequestAckAndErrorExactly) {
    EXPECT_EQ(BuildReadRequest("fw.bin"),
              (Buffer{0, 1, 'f', 'w', '.', 'b', 'i', 'n', 0, 'o', 'c', 't', 'e', 't', 0}));
    EXPECT_EQ(BuildAck(0x1234), (Buffer{0, 4, 0x12, 0x34}));
    EXPECT_EQ(BuildError(0, "x"), (Buffer{0, 5, 0, 0, 'x', 0}));
}

TEST(RecorderSimTftp, ParsesDataAndErrorAndRefusesTheRest) {
    const Buffer data{0, 3, 0xFF, 0xFE, 9, 8};
    const auto parsed = ParseServerPacket(data);
    ASSERT_EQ(parsed.kind, ServerPacket::Kind::Data);
    EXPECT_EQ(parsed.block, 0xFFFE);
    EXPECT_EQ(Buffer(parsed.data.begin(), parsed.data.end()), (Buffer{9, 8}));

    const auto empty = ParseServerPacket(Buffer{0, 3, 0, 4});
    EXPECT_EQ(empty.kind, ServerPacket::Kind::Data);
    EXPECT_TRUE(empty.data.empty());

    const auto error = ParseServerPacket(Buffer{0, 5, 0, 1, 'n', 'o', 0});
    ASSERT_EQ(error.kind, ServerPacket::Kind::Error);
    EXPECT_EQ(error.errorCode, 1);
    EXPECT_EQ(error.errorMessage, "no");

    Buffer oversized{0, 3, 0, 1};
    oversized.resize(4 + 513);
    EXPECT_EQ(ParseServerPacket(oversized).kind, ServerPacket::Kind::Malformed);
    EXPECT_EQ(ParseServerPacket(Buffer{0, 5, 0, 1, 'n'}).kind, ServerPacket::Kind::Malformed);
    EXPECT_EQ(ParseServerPacket(Buffer{0, 3, 0}).kind, ServerPacket::Kind::Malformed);
    EXPECT_EQ(ParseServerPacket(Buffer{0, 6, 0, 0}).kind, ServerPacket::Kind::Malformed);
    EXPECT_EQ(ParseServerPacket(Buffer{1, 3, 0, 1}).kind, ServerPacket::Kind::Malformed);
    EXPECT_EQ(ParseServerPacket(Buffer{0, 4, 0, 1}).kind, ServerPacket::Kind::Unexpected);
    EXPECT_EQ(ParseServerPacket(Buffer{0, 1, 'a', 0}).kind, ServerPacket::Kind::Unexpected);
}

Buffer Header(std::uint32_t kind, std::uint32_t size) {
    Buffer header(512, 0);
    const Buffer start{0x20, 0x03, 0x04, 0x09, 0, 0, 0, 1, 0, 0, 0, 0};
    std::copy(start.begin(), start.end(), header.begin());
    for (int i = 0; i < 4; ++i) {
        header[12 + i] = static_cast<std::uint8_t>(kind >> (24 - 8 * i));
        header[16 + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
    }
    return header;
}

TEST(RecorderSimHeader, AcceptsAHeaderThatDescribesTheImage) {
    EXPECT_FALSE(FindHeaderProblem(Header(1, 1000), 0, 1000));
    EXPECT_FALSE(FindHeaderProblem(Header(1, 1000), 1, 1000));
    EXPECT_FALSE(FindHeaderProblem(Header(2, 0), 2, 0));
    const auto read = ReadImageHeader(Header(2, 0x01020304));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, 2u);
    EXPECT_EQ(read->size, 0x01020304u);
}

TEST(RecorderSimHeader, NamesEachWayAHeaderCanBeWrong) {
    auto magic = Header(1, 10);
    magic[3] = 0x0A;
    auto version = Header(1, 10);
    version[7] = 2;
    auto reserved = Header(1, 10);
    reserved[8] = 1;
    auto padding = Header(1, 10);
    padding[511] = 1;
    const auto whole = Header(1, 10);
    const Buffer shortBlock(whole.begin(), whole.begin() + 100);
    const std::vector<std::pair<Buffer, std::string>> cases{
        {magic, "magic is 0x2003040a"}, {version, "words 1 and 2"},   {reserved, "words 1 and 2"},
        {padding, "not all zero"},      {Header(3, 10), "kind is 3"}, {shortBlock, "has 100 bytes"},
    };
    for (const auto& [header, expected] : cases) {
        const auto problem = FindHeaderProblem(header, 0, 10);
        ASSERT_TRUE(problem) << expected;
        EXPECT_NE(problem->find(expected), std::string::npos) << *problem;
    }
    EXPECT_NE(FindHeaderProblem(Header(1, 10), 2, 10)->find("kind is 1, expected 2"),
              std::string::npos);
    EXPECT_NE(FindHeaderProblem(Header(1, 10), 0, 11)->find("announces 10 bytes, 11"),
              std::string::npos);
    EXPECT_FALSE(ReadImageHeader(shortBlock));
}

TEST(RecorderSimOptions, ReadsEveryOption) {
    const auto parsed = ParseOptions({"--interface",
                                      "fkr0",
                                      "--count",
                                      "5",
                                      "--timeout",
                                      "2.5",
                                      "--fetch",
                                      "--output",
                                      "o",
                                      "--expect-kind",
                                      "data",
                                      "--period-log",
                                      "p",
                                      "--retry",
                                      "1",
                                      "--wrong-name",
                                      "w",
                                      "--duplicate-acks",
                                      "3",
                                      "--lose-ack",
                                      "65535",
                                      "--send-error",
                                      "--ack-zero",
                                      "--ack-65535",
                                      "--stop-after",
                                      "0",
                                      "--upper-case-name",
                                      "--hold-ack",
                                      "4",
                                      "--hold",
                                      "0.25",
                                      "--ack-repeats",
                                      "--drop-final-ack",
                                      "always",
                                      "--restart-at",
                                      "7",
                                      "--silent-arp",
                                      "--ask",
                                      "--ack-delay",
                                      "0.0015",
                                      "--link-drop-at",
                                      "300",
                                      "--link-drop",
                                      "0.5",
                                      "--new-port-at",
                                      "9"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    EXPECT_EQ(o.interface, "fkr0");
    EXPECT_EQ(o.count, 5u);
    EXPECT_EQ(o.timeout.count(), 2500);
    EXPECT_TRUE(o.fetch);
    EXPECT_EQ(o.output, "o");
    EXPECT_EQ(o.expectKind, 2u);
    EXPECT_EQ(o.periodLog, "p");
    EXPECT_EQ(o.retryAfter.count(), 1000);
    EXPECT_EQ(o.misbehaviour.wrongName, "w");
    EXPECT_EQ(o.misbehaviour.duplicateAcks, 3u);
    EXPECT_EQ(o.misbehaviour.loseAck, 65535);
    EXPECT_TRUE(o.misbehaviour.sendError && o.misbehaviour.ackZero && o.misbehaviour.ack65535);
    EXPECT_EQ(o.misbehaviour.stopAfter, 0);
    EXPECT_TRUE(o.misbehaviour.upperCaseName);
    EXPECT_EQ(o.misbehaviour.holdAck, 4);
    EXPECT_EQ(o.misbehaviour.hold.count(), 250);
    EXPECT_TRUE(o.misbehaviour.ackRepeats);
    EXPECT_EQ(o.misbehaviour.dropFinalAck, FinalAckDrop::Always);
    EXPECT_EQ(o.misbehaviour.restartAt, 7);
    EXPECT_TRUE(o.silentArp);
    EXPECT_TRUE(o.ask);
    EXPECT_EQ(o.misbehaviour.ackDelay.count(), 1500);
    EXPECT_EQ(o.misbehaviour.linkDropAt, 300);
    EXPECT_EQ(o.misbehaviour.linkDrop.count(), 500);
    EXPECT_EQ(o.misbehaviour.newPortAt, 9);
    EXPECT_EQ(ParseOptions({"--interface", "x", "--fetch", "--drop-final-ack", "once"})
                  .options->misbehaviour.dropFinalAck,
              FinalAckDrop::Once);

    const auto defaults = ParseOptions({"--interface", "x"});
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->count, 1u);
    EXPECT_EQ(defaults.options->timeout.count(), 30000);
    EXPECT_FALSE(defaults.options->fetch);
    EXPECT_FALSE(defaults.options->misbehaviour.upperCaseName);
    EXPECT_FALSE(defaults.options->misbehaviour.holdAck);
    EXPECT_EQ(defaults.options->misbehaviour.hold.count(), 1000);
    EXPECT_FALSE(defaults.options->misbehaviour.ackRepeats);
    EXPECT_FALSE(defaults.options->misbehaviour.dropFinalAck);
    EXPECT_FALSE(defaults.options->misbehaviour.restartAt);
    EXPECT_FALSE(defaults.options->silentArp);
    EXPECT_FALSE(defaults.options->ask);
    EXPECT_EQ(defaults.options->misbehaviour.ackDelay.count(), 0);
    EXPECT_FALSE(defaults.options->misbehaviour.linkDropAt);
    EXPECT_EQ(defaults.options->misbehaviour.linkDrop.count(), 2000);
    const auto plain = ParseOptions({"--interface", "x", "--plain-tftp", "192.168.77.1", "--file",
                                     "fw.bin", "--address", "192.168.77.9"});
    ASSERT_TRUE(plain.options) << plain.error;
    EXPECT_EQ(plain.options->plainServer, 0xC0A84D01u);
    EXPECT_EQ(plain.options->plainAddress, 0xC0A84D09u);
    EXPECT_EQ(plain.options->plainFile, "fw.bin");
    EXPECT_TRUE(plain.options->fetch);
    EXPECT_TRUE(ParseOptions({"--interface", "x", "--help"}).help);
    const auto version = ParseOptions({"--version"});
    EXPECT_TRUE(version.version);
    EXPECT_FALSE(version.options);
}

TEST(RecorderSimOptions, RefusesBadValuesAndFaultsWithoutFetch) {
    const std::vector<std::vector<std::string>> bad{
        {},
        {"--interface"},
        {"--interface", "x", "--count", "0"},
        {"--interface", "x", "--count", "1x"},
        {"--interface", "x", "--timeout", "0"},
        {"--interface", "x", "--timeout", "-1"},
        {"--interface", "x", "--timeout", "nan"},
        {"--interface", "x", "--fetch", "--lose-ack", "65536"},
        {"--interface", "x", "--fetch", "--expect-kind", "3"},
        {"--interface", "x", "--lose-ack", "2"},
        {"--interface", "x", "--output", "o"},
        {"--interface", "x", "--upper-case-name"},
        {"--interface", "x", "--hold-ack", "3"},
        {"--interface", "x", "--fetch", "--hold", "soon"},
        {"--interface", "x", "--fetch", "--hold-ack", "-1"},
        {"--interface", "x", "--ack-repeats"},
        {"--interface", "x", "--fetch", "--drop-final-ack", "sometimes"},
        {"--interface", "x", "--fetch", "--drop-final-ack"},
        {"--interface", "x", "--fetch", "--restart-at", "65536"},
        {"--interface", "x", "--link-drop-at", "3"},
        {"--interface", "x", "--fetch", "--ack-delay", "-0.1"},
        {"--interface", "x", "--fetch", "--new-port-at", "x"},
        {"--interface", "x", "--bogus"},
        {"--interface", "x", "--plain-tftp", "192.168.77.1", "--file", "f"},
        {"--interface", "x", "--plain-tftp", "192.168.77", "--file", "f", "--address", "1.2.3.4"},
        {"--interface", "x", "--plain-tftp", "1.2.3.4", "--file", "f", "--address", "1.2.3.256"},
        {"--interface", "x", "--plain-tftp", "1.2.3.4", "--file", "f", "--address", "1.2.3.5",
         "--ask"},
    };
    for (const auto& arguments : bad) {
        const auto parsed = ParseOptions(arguments);
        EXPECT_FALSE(parsed.options);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(RecorderSimReport, WritesTokensWithoutSpacesOrControlBytes) {
    EXPECT_EQ(EscapeToken("fw_2.bin"), "fw_2.bin");
    EXPECT_EQ(EscapeToken("a b\\\n\xff"), "a\\x20b\\x5c\\x0a\\xff");
    EXPECT_EQ(FormatBootpLine(2, {0xC0A84D02, 0xC0A84D01, "a b"}),
              "bootp replies=2 yiaddr=192.168.77.2 siaddr=192.168.77.1 file=a\\x20b");
}

// A lock-step server of the variant FlashKit speaks, answering every ACK n with block n + 1;
// time is simulated, so waits cost nothing.
class ScriptedServer : public TftpTransport {
  public:
    explicit ScriptedServer(Buffer served, std::chrono::milliseconds resendAfter = {})
        : m_served(std::move(served)), m_resendAfter(resendAfter) {}

    bool Send(Bytes datagram) override {
        sent.emplace_back(datagram.begin(), datagram.end());
        const auto opcode = ReadU16(datagram, 0);
        if (opcode == 1) {
            const std::string name(datagram.begin() + 2,
                                   std::find(datagram.begin() + 2, datagram.end(), 0));
            if (name == "fw.bin") Queue(1);
        } else if (opcode == 4 && lostAck && *lostAck == ReadU16(datagram, 2)) {
            lostAck.reset();
        } else if (opcode == 4 && !m_finished) {
            Queue(static_cast<std::uint16_t>(ReadU16(datagram, 2) + 1));
        }
        return true;
    }

    bool Receive(std::chrono::milliseconds wait, std::optional<Datagram>& out) override {
        out.reset();
        if (m_inbox.empty()) {
            if (m_resendAfter.count() == 0 || wait < m_resendAfter || m_last.empty()) {
                m_now += wait;
                return true;
            }
            m_now += m_resendAfter;
            ++resends;
            m_inbox.push_back(m_last);
        }
        out = Datagram{m_inbox.front(), true};
        m_inbox.pop_front();
        return true;
    }

    Clock::time_point Now() const override { return m_now; }

    std::vector<Buffer> sent;
    int resends = 0;
    std::optional<std::uint16_t> lostAck;  // the first ACK of this block never arrives

  private:
    void Queue(std::uint16_t block) {
        const std::size_t offset = (std::size_t{block} - 1) * 512;
        if (block == 0 || offset > m_served.size()) return;
        const auto length = std::min<std::size_t>(512, m_served.size() - offset);
        Buffer packet{0, 3, static_cast<std::uint8_t>(block >> 8),
                      static_cast<std::uint8_t>(block)};
        packet.insert(packet.end(), m_served.begin() + static_cast<long>(offset),
                      m_served.begin() + static_cast<long>(offset + length));
        m_finished = length < 512;
        m_last = packet;
        m_inbox.push_back(std::move(packet));
    }

    Buffer m_served;
    std::chrono::milliseconds m_resendAfter;
    std::deque<Buffer> m_inbox;
    Buffer m_last;
    bool m_finished = false;
    Clock::time_point m_now{};
};

Buffer Served(std::size_t imageSize) {
    auto bytes = Header(1, static_cast<std::uint32_t>(imageSize));
    for (std::size_t i = 0; i < imageSize; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}

FetchResult Fetch(ScriptedServer& server, const Misbehaviour& faults = {},
                  std::chrono::milliseconds retry = {}) {
    FetchPlan plan;
    plan.fileName = "fw.bin";
    plan.misbehaviour = faults;
    plan.retryAfter = retry;
    return FetchFile(server, plan, server.Now() + std::chrono::seconds(10));
}

TEST(RecorderSimFetch, EndsWithTheShortBlockIncludingAnEmptyOne) {
    for (const std::size_t size : {0u, 1u, 511u, 512u, 1000u, 1024u}) {
        ScriptedServer server(Served(size));
        const auto result = Fetch(server);
        EXPECT_EQ(result.status, FetchStatus::Complete) << size;
        EXPECT_EQ(result.received, Served(size)) << size;
        EXPECT_EQ(result.blocks, 2 + size / 512) << size;
        EXPECT_EQ(server.sent.back(), BuildAck(result.lastBlock)) << size;
    }
}

TEST(RecorderSimFetch, TakesTheLargestImageThatSixteenBitBlockNumbersReach) {
    ScriptedServer server(Served(65534u * 512 - 1));
    const auto result = Fetch(server);
    ASSERT_EQ(result.status, FetchStatus::Complete);
    EXPECT_EQ(result.lastBlock, 65535);
    EXPECT_EQ(result.received, Served(65534u * 512 - 1));
}

TEST(RecorderSimFetch, HoldsBackTheLostAckUntilTheResendAndTimesOutWithoutOne) {
    Misbehaviour lose;
    lose.loseAck = 2;
    ScriptedServer resending(Served(1000), std::chrono::milliseconds(3000));
    const auto result = Fetch(resending, lose);
    EXPECT_EQ(result.status, FetchStatus::Complete);
    EXPECT_EQ(resending.resends, 1);
    EXPECT_EQ(result.duplicates, 0u);

    ScriptedServer silent(Served(1000));
    const auto stuck = Fetch(silent, lose);
    EXPECT_EQ(stuck.status, FetchStatus::TimedOut);
    EXPECT_EQ(stuck.message, "timed out waiting for DATA block 3");

    // With retries of its own the simulator repeats the last ACK it sent, that of block 1.
    ScriptedServer retried(Served(1000));
    const auto recovered = Fetch(retried, lose, std::chrono::milliseconds(2000));
    EXPECT_EQ(recovered.status, FetchStatus::Complete);
    EXPECT_EQ(recovered.retries, 1u);
}

// A link that drops the ACK unnoticed (a card going down): the server repeats the block more
// often than the simulator retries, and the repeats, ignored, must not put the retry off.
TEST(RecorderSimFetch, RetriesALostAckWhileTheServerKeepsRepeatingTheBlock) {
    ScriptedServer server(Served(2000), std::chrono::milliseconds(200));
    server.lostAck = 3;
    const auto result = Fetch(server, {}, std::chrono::milliseconds(300));
    ASSERT_EQ(result.status, FetchStatus::Complete) << result.message;
    EXPECT_EQ(result.received, Served(2000));
    EXPECT_EQ(result.retries, 1u);
    EXPECT_EQ(result.duplicates, 1u);  // the repeat at 200 ms; the retry went at 300 ms
    EXPECT_EQ(std::count(server.sent.begin(), server.sent.end(), BuildAck(3)), 2);
}

TEST(RecorderSimFetch, SendsEachAckAsOftenAsAskedAndNeverAcksARepeat) {
    Misbehaviour twice;
    twice.duplicateAcks = 2;
    ScriptedServer server(Served(2000));
    const auto result = Fetch(server, twice);
    ASSERT_EQ(result.status, FetchStatus::Complete);
    EXPECT_EQ(result.acksSent, 10u);
    EXPECT_EQ(result.duplicates, 3u);
    EXPECT_EQ(result.received, Served(2000));
}

TEST(RecorderSimFetch, FiresTheMidTransferFaultsBeforeTheAckOfBlockTwo) {
    Misbehaviour faults;
    faults.sendError = faults.ackZero = faults.ack65535 = true;
    ScriptedServer server(Served(1000));
    const auto result = Fetch(server, faults);
    ASSERT_EQ(result.status, FetchStatus::Complete);
    ASSERT_EQ(server.sent.size(), 7u);
    EXPECT_EQ(server.sent[2], BuildError(0, "simulated recorder error"));
    EXPECT_EQ(server.sent[3], BuildAck(0));
    EXPECT_EQ(server.sent[4], BuildAck(65535));
    EXPECT_EQ(server.sent[5], BuildAck(2));
    EXPECT_EQ(result.stale, 1u);  // the header block again, for ACK 0
}

TEST(RecorderSimFetch, StopAfterGoesQuietAndReportsStopped) {
    Misbehaviour stop;
    stop.stopAfter = 2;
    ScriptedServer server(Served(2000), std::chrono::milliseconds(3000));
    const auto result = Fetch(server, stop);
    EXPECT_EQ(result.status, FetchStatus::Stopped);
    EXPECT_EQ(result.lastBlock, 2);
    EXPECT_EQ(server.sent.back(), BuildAck(2));
    EXPECT_GE(result.silentData, 2u);
}

TEST(RecorderSimFetch, AWrongNameThatGetsDataIsAFailure) {
    Misbehaviour wrong;
    wrong.wrongName = "fw.bin";  // the scripted server serves this name
    ScriptedServer server(Served(10));
    const auto result = Fetch(server, wrong);
    EXPECT_EQ(result.status, FetchStatus::Failed);
    EXPECT_NE(result.message.find("with DATA block 1"), std::string::npos);

    wrong.wrongName = "other.bin";
    ScriptedServer right(Served(10));
    EXPECT_EQ(Fetch(right, wrong).status, FetchStatus::Complete);
    EXPECT_EQ(right.sent.front(), BuildReadRequest("other.bin"));
}

TEST(RecorderSimFetch, AsksInUpperCaseWhenToldAndNeverElse) {
    Misbehaviour upper;
    upper.upperCaseName = true;
    ScriptedServer server(Served(10));
    FetchPlan plan;
    plan.fileName = "Fw_1.bin";
    plan.misbehaviour = upper;
    FetchFile(server, plan, server.Now() + std::chrono::seconds(1));
    EXPECT_EQ(server.sent.front(), BuildReadRequest("FW_1.BIN"));

    ScriptedServer plain(Served(10));
    EXPECT_EQ(Fetch(plain).status, FetchStatus::Complete);
    EXPECT_EQ(plain.sent.front(), BuildReadRequest("fw.bin"));
}

TEST(RecorderSimFetch, HoldsTheAckForThePauseIgnoringRepeatsAndThenCarriesOn) {
    Misbehaviour hold;
    hold.holdAck = 3;
    hold.hold = std::chrono::milliseconds(1000);
    // The server repeats block 3 every 300 ms while it waits: at 300, 600 and 900 ms.
    ScriptedServer server(Served(2000), std::chrono::milliseconds(300));
    const auto start = server.Now();
    const auto result = Fetch(server, hold);
    ASSERT_EQ(result.status, FetchStatus::Complete);
    EXPECT_EQ(result.received, Served(2000));
    EXPECT_EQ(result.duplicates, 3u);
    EXPECT_GE(server.Now() - start, std::chrono::milliseconds(1000));
    // Every block acknowledged exactly once, the held one included.
    const std::vector<Buffer> acks(server.sent.begin() + 1, server.sent.end());
    ASSERT_EQ(acks.size(), 5u);
    for (std::uint16_t block = 1; block <= 5; ++block) EXPECT_EQ(acks[block - 1], BuildAck(block));
}

// A boot loader's client: the server's resend of a block whose acknowledgement was lost is
// acknowledged again, where the simulator otherwise only counts it.
TEST(RecorderSimFetch, AcknowledgesRepeatsAgainWhenTold) {
    Misbehaviour repeats;
    repeats.ackRepeats = true;
    for (const bool acknowledge : {false, true}) {
        SCOPED_TRACE(acknowledge);
        ScriptedServer server(Served(2000), std::chrono::milliseconds(300));
        server.lostAck = 2;
        const auto result = Fetch(server, acknowledge ? repeats : Misbehaviour{});
        EXPECT_EQ(result.status, acknowledge ? FetchStatus::Complete : FetchStatus::TimedOut);
        EXPECT_GE(result.duplicates, 1u);
        EXPECT_EQ(std::count(server.sent.begin(), server.sent.end(), BuildAck(2)),
                  acknowledge ? 2 : 1);
    }
    // An acknowledgement held meanwhile is a late copy: it goes with the acknowledgement of the
    // repeat, so the server gets two at once (and, answering both, sends block 4 twice).
    repeats.holdAck = 3;
    repeats.hold = std::chrono::milliseconds(5000);
    ScriptedServer server(Served(2000), std::chrono::milliseconds(300));
    const auto start = server.Now();
    const auto result = Fetch(server, repeats);
    ASSERT_EQ(result.status, FetchStatus::Complete) << result.message;
    EXPECT_EQ(result.received, Served(2000));
    EXPECT_EQ(std::count(server.sent.begin(), server.sent.end(), BuildAck(3)), 2);
    EXPECT_EQ(result.duplicates, 2u);  // block 3 resent, then block 4 from the double answer
    EXPECT_EQ(server.Now() - start, std::chrono::milliseconds(300));
}

TEST(RecorderSimFetch, DropsTheFinalAcknowledgementOnceOrAlways) {
    Misbehaviour drop;
    drop.dropFinalAck = FinalAckDrop::Once;
    ScriptedServer resending(Served(1000), std::chrono::milliseconds(300));
    const auto once = Fetch(resending, drop);
    ASSERT_EQ(once.status, FetchStatus::Complete);
    EXPECT_EQ(resending.resends, 1);
    EXPECT_EQ(once.duplicates, 0u);
    EXPECT_EQ(once.data, 4u);
    EXPECT_EQ(std::count(resending.sent.begin(), resending.sent.end(), BuildAck(3)), 1);

    drop.dropFinalAck = FinalAckDrop::Always;
    ScriptedServer always(Served(1000), std::chrono::milliseconds(300));
    const auto never = Fetch(always, drop);
    EXPECT_EQ(never.status, FetchStatus::Stopped);
    EXPECT_EQ(never.received, Served(1000));  // the whole file, never confirmed
    EXPECT_EQ(std::count(always.sent.begin(), always.sent.end(), BuildAck(3)), 0);
    EXPECT_GE(never.silentData, 1u);
    EXPECT_EQ(never.data, 3u + never.silentData);
}

TEST(RecorderSimFetch, RestartsTheRequestMidTransferAndKeepsOnlyTheNewFile) {
    Misbehaviour restart;
    restart.restartAt = 3;
    ScriptedServer server(Served(2000));
    const auto result = Fetch(server, restart);
    ASSERT_EQ(result.status, FetchStatus::Complete) << result.message;
    EXPECT_EQ(result.received, Served(2000));
    EXPECT_EQ(result.restarts, 1u);
    EXPECT_EQ(std::count(server.sent.begin(), server.sent.end(), BuildReadRequest("fw.bin")), 2);
    EXPECT_EQ(std::count(server.sent.begin(), server.sent.end(), BuildAck(3)), 1);
    EXPECT_EQ(result.data, 8u);  // blocks 1 to 3, then 1 to 5 afresh
}

// The link faults act before the block's acknowledgement, once each; the pause before every one.
TEST(RecorderSimFetch, DropsTheLinkAndChangesThePortOnceBeforeTheBlocksAck) {
    class LinkServer : public ScriptedServer {
      public:
        using ScriptedServer::ScriptedServer;
        void Pause(std::chrono::microseconds length) override { paused += length; }
        bool DropLink(std::chrono::milliseconds length) override {
            events.push_back("drop " + std::to_string(length.count()) + " after " +
                             std::to_string(sent.size()));
            return dropWorks;
        }
        bool NewSourcePort() override {
            events.push_back("port after " + std::to_string(sent.size()));
            return true;
        }
        std::chrono::microseconds paused{0};
        std::vector<std::string> events;
        bool dropWorks = true;
    };
    Misbehaviour faults;
    faults.linkDropAt = 3;
    faults.linkDrop = std::chrono::milliseconds(1500);
    faults.newPortAt = 4;
    faults.ackDelay = std::chrono::microseconds(1500);
    LinkServer server(Served(2000));
    const auto result = Fetch(server, faults);
    ASSERT_EQ(result.status, FetchStatus::Complete) << result.message;
    EXPECT_EQ(result.received, Served(2000));
    EXPECT_EQ(result.linkDrops, 1u);
    // Sent before: the request and the ACKs of blocks 1 and 2, then of 3.
    EXPECT_EQ(server.events, (std::vector<std::string>{"drop 1500 after 3", "port after 4"}));
    EXPECT_EQ(server.paused, result.acksSent * faults.ackDelay);

    LinkServer broken(Served(2000));
    broken.dropWorks = false;
    const auto failed = Fetch(broken, faults);
    EXPECT_EQ(failed.status, FetchStatus::Failed);
    EXPECT_EQ(failed.message, "cannot take the link down and up");
}

}  // namespace
}  // namespace fk::sim
