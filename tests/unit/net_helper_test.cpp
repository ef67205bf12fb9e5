#include <gtest/gtest.h>
#include <linux/neighbour.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net-helper/protocol.h"
#include "net-helper/request_checks.h"
#include "net/device_address.h"
#include "platform/net_privileges.h"

namespace {

using namespace fk::nethelper;

constexpr std::uint8_t kRecorderMac[6] = {0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01};
constexpr std::uint8_t kGatewayMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

Neighbour Entry(std::uint16_t state, const std::uint8_t (*mac)[6]) {
    Neighbour entry;
    entry.state = state;
    entry.hasMac = mac != nullptr;
    if (mac) std::copy(std::begin(*mac), std::end(*mac), entry.mac);
    return entry;
}

TEST(NetHelperChecks, OnlyTheTwoServerPortsTheRecordersMacAndTheDerivedAddressPass) {
    for (const std::uint16_t port : {67, 69}) EXPECT_EQ(CheckBindPort(port), 0) << port;
    for (const std::uint16_t port : {0, 22, 68, 80, 1023, 6969}) {
        EXPECT_EQ(CheckBindPort(port), EACCES) << port;
    }

    EXPECT_EQ(CheckRecorderMac(kRecorderMac), 0);
    EXPECT_EQ(CheckRecorderMac(kGatewayMac), EPERM);
    constexpr std::uint8_t kNearlyRecorder[6] = {0x02, 0x5E, 0xA2, 0x30, 0x01, 0x01};
    EXPECT_EQ(CheckRecorderMac(kNearlyRecorder), EPERM);

    // 192.168.1.10/24 and 10.0.0.255/24 on the card: any host address of either subnet may be a
    // recorder's (the card's own is refused as the PC's, below), none outside them.
    const std::vector<CardAddress> own{{0xC0A8010A, 24}, {0x0A0000FF, 24}};
    EXPECT_EQ(CheckSubnetAddress(0xC0A8010B, own), 0);
    EXPECT_EQ(CheckSubnetAddress(0x0A000002, own), 0);
    EXPECT_EQ(CheckSubnetAddress(0xC0A801C8, own), 0);
    EXPECT_EQ(CheckSubnetAddress(0xC0A8020B, own), EADDRNOTAVAIL);
    EXPECT_EQ(CheckSubnetAddress(0xC0A80100, own), EADDRNOTAVAIL);
    EXPECT_EQ(CheckSubnetAddress(0xC0A8010B, {}), EADDRNOTAVAIL);
    // 10.0.0.1/8 and 10.1.0.1/16: the /16's broadcast address stays one inside the /8.
    const std::vector<CardAddress> nested{{0x0A000001, 8}, {0x0A010001, 16}};
    EXPECT_EQ(CheckSubnetAddress(0x0A01FFFF, nested), EADDRNOTAVAIL);
    EXPECT_EQ(CheckSubnetAddress(0x0A020005, nested), 0);
    // What the address rule gives each host: .255 for .254 and .3 for .2 on a /30 are broadcast
    // addresses, never a recorder's.
    struct Row {
        CardAddress host;
        int expected;
    };
    for (const Row& row :
         {Row{{0xC0A801FE, 24}, EADDRNOTAVAIL}, Row{{0x0A000002, 30}, EADDRNOTAVAIL},
          Row{{0x0A000001, 30}, 0}, Row{{0x0A00007F, 25}, EADDRNOTAVAIL},
          Row{{0x0A000001, 32}, EADDRNOTAVAIL}, Row{{0x0A000002, 31}, 0},
          Row{{0x0A0000FE, 16}, 0}}) {
        const std::vector<CardAddress> card{row.host};
        EXPECT_EQ(CheckSubnetAddress(fk::DeviceAddressFor(row.host.address), card), row.expected)
            << std::hex << row.host.address << "/" << std::dec << int{row.host.prefixLength};
    }

    const std::vector<std::uint32_t> local{0x7F000001, 0xC0A8010A, 0x0A00000B};
    EXPECT_EQ(CheckNotLocal(0x0A00000B, local), kHeldByOtherEntry);
    EXPECT_EQ(CheckNotLocal(0xC0A8010B, local), 0);

    const std::vector<std::uint32_t> gateways{0xC0A801FE};
    EXPECT_EQ(CheckNotAGateway(0xC0A801FE, gateways), kHeldByOtherEntry);
    EXPECT_EQ(CheckNotAGateway(0xC0A8010B, gateways), 0);
    EXPECT_EQ(CheckNotAGateway(0xC0A8010B, {}), 0);
}

// The one rule behind the helper's refusal and the card lists of the window and the terminal.
TEST(NetHelperChecks, OnlyAnEthernetCardThatResolvesAddressesIsServed) {
    using enum fk::nethelper::CardUnfit;
    struct Row {
        const char* what;
        Card card;
        fk::nethelper::CardUnfit expected;
    };
    for (const Row& row :
         {Row{"ethernet", {ARPHRD_ETHER, IFF_UP | IFF_BROADCAST, 6}, None},
          Row{"loopback", {ARPHRD_LOOPBACK, IFF_UP | IFF_LOOPBACK, 6}, Loopback},
          Row{"loopback flag", {ARPHRD_ETHER, IFF_LOOPBACK, 6}, Loopback},
          Row{"point-to-point", {ARPHRD_ETHER, IFF_POINTOPOINT, 6}, PointToPoint},
          Row{"tunnel", {ARPHRD_NONE, IFF_POINTOPOINT | IFF_NOARP, 0}, PointToPoint},
          Row{"no ARP (ifb, dummy)", {ARPHRD_ETHER, IFF_NOARP, 6}, NoArp},
          Row{"other address size", {ARPHRD_ETHER, 0, 8}, NotEthernet},
          Row{"other link type", {ARPHRD_IEEE1394, IFF_BROADCAST, 6}, NotEthernet}}) {
        EXPECT_EQ(UploadCardUnfitness(row.card), row.expected) << row.what;
        EXPECT_EQ(CheckEthernetCard(row.card), row.expected == None ? 0 : EOPNOTSUPP) << row.what;
    }
}

TEST(NetHelperChecks, OnlyAnUnfixedRecordersEntryOrAnUnresolvedOneIsReplaced) {
    constexpr std::uint8_t kPreviousRecorder[6] = {0x02, 0x5E, 0xA1, 0x99, 0x00, 0x07};
    EXPECT_EQ(CheckExistingEntry(std::nullopt), 0);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_FAILED, nullptr)), 0);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_INCOMPLETE, nullptr)), 0);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_REACHABLE, &kRecorderMac)), 0);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_STALE, &kPreviousRecorder)), 0);
    // The gateway, learned or fixed; and a fixed entry even for a recorder's MAC.
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_STALE, &kGatewayMac)), kHeldByOtherEntry);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_REACHABLE, &kGatewayMac)), kHeldByOtherEntry);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_PERMANENT, &kGatewayMac)), kHeldByOtherEntry);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_PERMANENT, &kRecorderMac)), kHeldByOtherEntry);
    EXPECT_EQ(CheckExistingEntry(Entry(NUD_NOARP, nullptr)), kHeldByOtherEntry);

    // What a starting helper sweeps: FlashKit's tag, and nothing fixed or foreign since.
    auto tagged = [](Neighbour entry) {
        entry.protocol = kEntryProtocol;
        return entry;
    };
    EXPECT_TRUE(IsLeftOverEntry(tagged(Entry(NUD_STALE, &kRecorderMac))));
    EXPECT_TRUE(IsLeftOverEntry(tagged(Entry(NUD_FAILED, nullptr))));
    EXPECT_FALSE(IsLeftOverEntry(Entry(NUD_STALE, &kRecorderMac)));
    EXPECT_FALSE(IsLeftOverEntry(tagged(Entry(NUD_PERMANENT, &kRecorderMac))));
    EXPECT_FALSE(IsLeftOverEntry(tagged(Entry(NUD_REACHABLE, &kGatewayMac))));
}

std::string StatusLine(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
    }
    return {};
}

Request NeighbourRequest(Op op, int ifindex, std::uint32_t address, const std::uint8_t (&mac)[6]) {
    Request request;
    request.op = static_cast<std::uint32_t>(op);
    request.ifindex = ifindex;
    request.address = address;
    std::copy(std::begin(mac), std::end(mac), request.mac);
    return request;
}

// The built helper on a socket pair, as the window starts it. Only requests that the checks
// refuse are sent: whoever runs the tests, nothing on this machine changes (the helper's record of
// the entries it made, in /run/flashkit, stays empty).
TEST(NetHelperChannel, RefusesWhatTheChecksRefuseAndEndsWhenTheWindowsEndCloses) {
    auto helper = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(helper->Start(), 0);
    const pid_t pid = helper->Pid();

    Request bind;
    bind.op = static_cast<std::uint32_t>(Op::BindUdp);
    bind.port = 80;
    int socket = -1;
    EXPECT_EQ(helper->Call(bind, &socket).error, EACCES);
    EXPECT_EQ(socket, -1);

    Request unknown;
    unknown.op = 7;
    EXPECT_EQ(helper->Call(unknown).error, EINVAL);
    EXPECT_EQ(helper->Call(NeighbourRequest(Op::AddNeighbour, 1, 0x7F000002, kGatewayMac)).error,
              EPERM);
    EXPECT_EQ(
        helper->Call(NeighbourRequest(Op::AddNeighbour, 999999, 0x7F000002, kRecorderMac)).error,
        ENODEV);
    // Loopback holds 127.0.0.1, whose recorder address is 127.0.0.2; but no loopback entry is
    // ever one address's alone.
    EXPECT_EQ(helper->Call(NeighbourRequest(Op::AddNeighbour, 1, 0x7F000002, kRecorderMac)).error,
              EOPNOTSUPP);
    // A socket serves one Ethernet card, never all of them.
    bind.port = 67;
    for (const int card : {1, 0}) {
        bind.ifindex = card;
        EXPECT_EQ(helper->Call(bind, &socket).error, card == 1 ? EOPNOTSUPP : ENODEV);
        EXPECT_EQ(socket, -1);
    }
    EXPECT_EQ(
        helper->Call(NeighbourRequest(Op::RemoveNeighbour, 1, 0x7F000002, kRecorderMac)).error,
        ENOENT);
    // Sent together, as a station's first entries are, each is answered in order as it was alone.
    Request otherPort;
    otherPort.op = static_cast<std::uint32_t>(Op::BindUdp);
    otherPort.port = 80;
    const std::vector<Request> together{
        NeighbourRequest(Op::AddNeighbour, 1, 0x7F000003, kGatewayMac),
        NeighbourRequest(Op::AddNeighbour, 999999, 0x7F000004, kRecorderMac),
        NeighbourRequest(Op::AddNeighbour, 1, 0x7F000002, kRecorderMac),
        otherPort,
        unknown,
        NeighbourRequest(Op::RemoveNeighbour, 1, 0x7F000002, kRecorderMac),
        NeighbourRequest(Op::AddNeighbour, 1, 0x7F000002, kGatewayMac)};
    std::vector<int> errors;
    for (const Reply& each : helper->Call(together, &socket)) errors.push_back(each.error);
    EXPECT_EQ(errors, (std::vector<int>{EPERM, ENODEV, EOPNOTSUPP, EACCES, EINVAL, ENOENT, EPERM}));
    EXPECT_EQ(socket, -1);

    // A message of another size is answered, and read as no request at all; a request of
    // another build is refused as such.
    const char shortRequest[3] = {1, 0, 0};
    ASSERT_EQ(send(helper->Channel(), shortRequest, sizeof shortRequest, 0), 3);
    Reply reply{};
    ASSERT_EQ(recv(helper->Channel(), &reply, sizeof reply, 0), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(reply.error, EINVAL);
    EXPECT_EQ(reply.version, kVersion);
    Request older = NeighbourRequest(Op::RemoveNeighbour, 1, 0x7F000002, kRecorderMac);
    older.version = kVersion - 1;
    ASSERT_EQ(send(helper->Channel(), &older, sizeof older, 0), static_cast<ssize_t>(sizeof older));
    ASSERT_EQ(recv(helper->Channel(), &reply, sizeof reply, 0), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(reply.error, kOtherVersion);

    // It kept nothing of the caller's but its channel, and runs filtered without new privileges.
    if (geteuid() == 0) {
        // Its channel, the lock on its network namespace that tells later helpers it runs, and
        // the namespace's record of who made which entry.
        std::vector<std::string> descriptors;
        for (const auto& fd :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            descriptors.push_back(std::filesystem::read_symlink(fd.path()).string().substr(0, 5));
        }
        std::sort(descriptors.begin(), descriptors.end());
        EXPECT_EQ(descriptors, (std::vector<std::string>{"/run/", "net:[", "socke"}));
        std::ifstream environment("/proc/" + std::to_string(pid) + "/environ");
        EXPECT_EQ(environment.peek(), std::char_traits<char>::eof());
    }
    EXPECT_EQ(StatusLine(pid, "NoNewPrivs"), "\t1");
    EXPECT_EQ(StatusLine(pid, "Seccomp"), "\t2");
    // In a session of its own, out of reach of the signals a terminal sends its jobs.
    EXPECT_EQ(getsid(pid), pid);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) EXPECT_EQ(kill(pid, signal), 0);
    EXPECT_EQ(helper->Call(unknown).error, EINVAL);

    helper.reset();
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(NetHelperChannel, AHelperThatCannotStartOrIsOfAnotherBuildSaysWhy) {
    fk::platform::NetHelperClient missing("/nonexistent/flashkit-net-helper");
    EXPECT_EQ(missing.Start(), ENOENT);
    EXPECT_FALSE(missing.Running());
    Request bind;
    bind.op = static_cast<std::uint32_t>(Op::BindUdp);
    bind.port = 67;
    EXPECT_EQ(missing.Call(bind).error, EPIPE);

    // One of another build refuses the request; the client says so and lets it go.
    fk::platform::NetHelperClient other(FLASHKIT_NET_HELPER);
    ASSERT_EQ(other.Start(), 0);
    bind.version = kVersion + 1;
    EXPECT_EQ(other.Call(bind).error, kOtherVersion);
    EXPECT_FALSE(other.Running());
}

}  // namespace
