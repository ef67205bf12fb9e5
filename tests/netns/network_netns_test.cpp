#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/kvupgradefrm.h"
#include "gui/network_controls.h"
#include "net/adapter_list.h"
#include "net/arp_entry.h"
#include "net/ipv4.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/net_privileges.h"
#include "platform/tcpip_config.h"
#include "support/capabilities.h"
#include "support/fakes.h"
#include "support/netns.h"

namespace {

using fk::testing::CommandOutput;
using fk::testing::RunCommand;

constexpr fk::MacAddress kRecorderMac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};

struct Link {
    std::uint32_t index;
    std::string name;
    bool usable;  // Ethernet that resolves addresses: what an upload can use
    bool operator==(const Link&) const = default;
};

// What the kernel itself lists, in its order; only the cards an upload can use unless `every`.
std::vector<Link> KernelLinks(const std::string& ns, bool every = false) {
    std::vector<Link> links;
    std::istringstream lines(CommandOutput("ip -n " + ns + " -o link show"));
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(": ");
        const auto end = line.find_first_of("@:", colon + 2);
        if (colon == std::string::npos || end == std::string::npos) continue;
        const std::string name = line.substr(colon + 2, end - colon - 2);
        const std::string flags = line.substr(line.find('<'), line.find('>') - line.find('<'));
        const bool usable = line.find("link/ether") != std::string::npos &&
                            flags.find("LOOPBACK") == std::string::npos &&
                            flags.find("POINTOPOINT") == std::string::npos &&
                            flags.find("NOARP") == std::string::npos;
        if (usable || every)
            links.push_back({static_cast<std::uint32_t>(std::stoul(line)), name, usable});
    }
    return links;
}

// The neighbour lines of one interface that name the address, as "ip neigh" prints them.
std::vector<std::string> NeighbourLines(const std::string& ns, const std::string& link,
                                        const std::string& address) {
    std::vector<std::string> found;
    std::istringstream lines(CommandOutput("ip -n " + ns + " neigh show dev " + link));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(address + " ", 0) == 0) found.push_back(line);
    }
    return found;
}

class NetnsNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "creating network namespaces needs root";
        net = std::make_unique<fk::testing::NetnsPair>();
        // A second card with two addresses and a third without any, both inside the pc side; and
        // two that no upload can use: a NOARP one and a point-to-point one.
        for (const std::string& command : std::vector<std::string>{
                 "link add fkx0 type veth peer name fkx1", "addr add 10.9.8.7/24 dev fkx0",
                 "addr add 10.9.8.70/24 dev fkx0", "link set fkx0 up", "link set fkx1 up",
                 "link add fki9 type ifb", "link set fki9 up", "tuntap add dev fkt9 mode tun",
                 "route add default via 192.168.77.254 dev " + net->pcLink}) {
            ASSERT_EQ(RunCommand("ip -n " + net->pc + " " + command), 0) << command;
        }
        net->EnterPc();
        // Nothing below may touch the machine's own namespace.
        ASSERT_TRUE(InPcNamespace());
    }
    void TearDown() override {
        window.reset();
        net.reset();
    }

    bool InPcNamespace() const {
        struct stat mine {
        }, pc{};
        return stat("/proc/thread-self/ns/net", &mine) == 0 &&
               stat(("/run/netns/" + net->pc).c_str(), &pc) == 0 && mine.st_ino == pc.st_ino &&
               mine.st_dev == pc.st_dev;
    }

    TKVUpgradeFrm& Window() {
        window = std::make_unique<TKVUpgradeFrm>(
            fk::WindowServices{messages, dialogs, sound, *adapters, *noConfiguration, *neighbours});
        fk::testing::EnsureNetworkControls(*window);
        window->show();
        return *window;
    }

    std::unique_ptr<fk::testing::NetnsPair> net;
    std::unique_ptr<fk::platform::AdapterSource> adapters = fk::platform::MakeSystemAdapterSource();
    std::unique_ptr<fk::platform::NeighbourTable> neighbours =
        fk::platform::MakeSystemNeighbourTable();
    std::unique_ptr<fk::platform::TcpipConfig> noConfiguration =
        fk::platform::MakeKeyfileTcpipConfig("/nonexistent/fk-keyfiles");
    fk::testing::FakeMessageBoxes messages;
    fk::testing::FakeFileDialogs dialogs;
    fk::testing::FakeSound sound;
    std::unique_ptr<TKVUpgradeFrm> window;
};

TEST_F(NetnsNetworkTest, CardsAreListedInKernelOrderWithFirstAddressMaskAndGateway) {
    using fk::nethelper::CardUnfit;
    const auto query = adapters->List();
    ASSERT_TRUE(query.ok) << query.error;
    std::vector<Link> listed;
    for (const auto& card : query.adapters)
        listed.push_back({card.index, card.adapterName, card.unfit == CardUnfit::None});
    EXPECT_EQ(listed, KernelLinks(net->pc, true));
    // Only the cards an upload can use are offered.
    std::vector<Link> offered;
    for (const auto& card : fk::BuildAdapterList(query))
        offered.push_back({card.index, card.adapterName, true});
    const auto expected = KernelLinks(net->pc);
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(offered, expected);

    for (const auto& card : query.adapters) {
        if (card.adapterName == "lo") {
            EXPECT_EQ(card.unfit, CardUnfit::Loopback);
        } else if (card.adapterName == "fki9") {
            EXPECT_EQ(card.unfit, CardUnfit::NoArp);
        } else if (card.adapterName == "fkt9") {
            EXPECT_EQ(card.unfit, CardUnfit::PointToPoint);
        } else if (card.adapterName == net->pcLink) {
            EXPECT_EQ(card.description, net->pcLink + " (veth)");
            EXPECT_EQ(card.ipAddress, "192.168.77.1");
            EXPECT_EQ(card.ipMask, "255.255.255.0");
            EXPECT_EQ(card.gateway, "192.168.77.254");
        } else if (card.adapterName == "fkx0") {
            EXPECT_EQ(card.description, "fkx0 (veth)");
            EXPECT_EQ(card.ipAddress, "10.9.8.7");
            EXPECT_EQ(card.ipMask, "255.255.255.0");
            EXPECT_EQ(card.gateway, "0.0.0.0");
            ASSERT_EQ(card.addresses.size(), 2u);
            EXPECT_EQ(card.addresses[1].address, fk::ParseDottedQuad("10.9.8.70"));
            EXPECT_EQ(card.addresses[1].prefixLength, 24u);
        } else {
            EXPECT_EQ(card.adapterName, "fkx1");
            EXPECT_EQ(card.ipAddress, "0.0.0.0");
            EXPECT_EQ(card.ipMask, "0.0.0.0");
            EXPECT_EQ(card.gateway, "0.0.0.0");
        }
    }
}

TEST_F(NetnsNetworkTest, WindowListsTheCardsAndFollowsThePickedOne) {
    auto& w = Window();
    w.LoadAdapterList();
    const auto links = KernelLinks(net->pc);
    ASSERT_EQ(w.m_cbNetinfo->count(), 3);
    EXPECT_EQ(w.m_cbNetinfo->itemText(0).toStdString(), links[0].name + " (veth)");
    EXPECT_EQ(w.m_ctrlAddrIp->text(), "192.168.77.1");
    EXPECT_EQ(w.SelectedIfIndex(), static_cast<int>(links[0].index));

    // veth makes its peer first, so the card without an address may come before the other.
    const auto expectedLabel = [](const std::string& name) {
        return name == "fkx0" ? QString("10.9.8.7") : QString("0.0.0.0");
    };
    w.m_cbNetinfo->setFocus();
    for (std::size_t n = 1; n < links.size(); ++n) {
        QTest::keyClick(w.m_cbNetinfo, Qt::Key_Down);
        EXPECT_EQ(w.m_ctrlAddrIp->text(), expectedLabel(links[n].name));
        EXPECT_EQ(w.HostAddress(), fk::ParseDottedQuad(expectedLabel(links[n].name).toStdString()));
        EXPECT_EQ(w.SelectedIfIndex(), static_cast<int>(links[n].index));
    }

    // With the first card made NOARP, the next one is first and selected.
    ASSERT_EQ(RunCommand("ip -n " + net->pc + " link set " + links[0].name + " arp off"), 0);
    w.LoadAdapterList();
    ASSERT_EQ(w.m_cbNetinfo->count(), 2);
    EXPECT_EQ(w.m_cbNetinfo->itemText(0).toStdString(), links[1].name + " (veth)");
    EXPECT_EQ(w.SelectedIfIndex(), static_cast<int>(links[1].index));
}

TEST_F(NetnsNetworkTest, NeighbourEntryIsAddedDynamicOnTheSelectedCardAndDeleted) {
    auto& w = Window();
    w.LoadAdapterList();
    ASSERT_EQ(w.m_cbNetinfo->currentIndex(), 0);
    deviceMac = kRecorderMac;
    // What the address rule gives the card's 192.168.77.1.
    const fk::Ipv4 recorder = fk::ParseDottedQuad("192.168.77.2");
    ASSERT_TRUE(InPcNamespace());

    ::testing::internal::CaptureStderr();
    // Added on the announcer's turns: the first asks the wire about the address, a turn once the
    // probe's half second is up makes the entry.
    std::vector<std::string> added;
    for (int turn = 0; turn < 40; ++turn) {
        w.SetDeviceArpEntry(w.SelectedIfIndex(), recorder, deviceMac, true);
        added = NeighbourLines(net->pc, net->pcLink, "192.168.77.2");
        if (added.size() == 1 && added[0].find("lladdr") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(added.size(), 1u);
    EXPECT_NE(added[0].find("lladdr 02:5e:a1:1a:2b:3c"), std::string::npos) << added[0];
    EXPECT_EQ(added[0].find("PERMANENT"), std::string::npos) << added[0];
    EXPECT_TRUE(NeighbourLines(net->pc, "fkx0", "192.168.77.2").empty());

    w.SetDeviceArpEntry(w.SelectedIfIndex(), recorder, {}, false);
    EXPECT_TRUE(NeighbourLines(net->pc, net->pcLink, "192.168.77.2").empty());

    // Deleting what is not there, as StopUpload does for 0.0.0.0, says nothing.
    w.SetDeviceArpEntry(w.SelectedIfIndex(), recorder, {}, false);
    w.SetDeviceArpEntry(w.SelectedIfIndex(), 0, {}, false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// An entry it did not make is never replaced or deleted: a fixed one, even for the recorder's own
// MAC, or one naming another device; nor is the card's gateway taken, whether or not the table
// holds its entry now. Only a recorder's MAC, and only an address of the card's subnets, are
// bound at all.
TEST_F(NetnsNetworkTest, EntriesItDidNotMakeAreLeftAloneAndOnlyRecordersOfTheSubnetAreBound) {
    ASSERT_TRUE(InPcNamespace());
    ASSERT_EQ(KernelLinks(net->pc)[0].name, net->pcLink);
    const int card = static_cast<int>(KernelLinks(net->pc)[0].index);
    // .1 gives the recorder .2, .250 gives .251, and .253 the gateway's .254.
    for (const std::string command :
         {"neigh add 192.168.77.2 lladdr 02:5e:a1:1a:2b:3c nud permanent dev ",
          "addr add 192.168.77.250/24 dev ",
          "neigh add 192.168.77.251 lladdr 52:54:00:12:34:56 nud reachable dev ",
          "addr add 192.168.77.253/24 dev "}) {
        ASSERT_EQ(RunCommand("ip -n " + net->pc + " " + command + net->pcLink), 0) << command;
    }
    const auto before2 = NeighbourLines(net->pc, net->pcLink, "192.168.77.2");
    const auto before251 = NeighbourLines(net->pc, net->pcLink, "192.168.77.251");
    ASSERT_EQ(before2.size(), 1u);
    ASSERT_EQ(before251.size(), 1u);

    for (const char* address : {"192.168.77.2", "192.168.77.251", "192.168.77.254"}) {
        SCOPED_TRACE(address);
        const auto refused = neighbours->Add(card, fk::ParseDottedQuad(address), kRecorderMac);
        EXPECT_EQ(refused.error, EADDRINUSE);
        EXPECT_EQ(neighbours->Remove(card, fk::ParseDottedQuad(address)).error, ENOENT);
    }
    EXPECT_EQ(NeighbourLines(net->pc, net->pcLink, "192.168.77.2"), before2);
    EXPECT_NE(before2[0].find("PERMANENT"), std::string::npos) << before2[0];
    const auto after251 = NeighbourLines(net->pc, net->pcLink, "192.168.77.251");
    ASSERT_EQ(after251.size(), 1u);
    EXPECT_NE(after251[0].find("lladdr 52:54:00:12:34:56"), std::string::npos) << after251[0];
    EXPECT_TRUE(NeighbourLines(net->pc, net->pcLink, "192.168.77.254").empty());

    // The window reads who holds them.
    const auto fixed = neighbours->Find(card, fk::ParseDottedQuad("192.168.77.2"));
    ASSERT_TRUE(fixed);
    EXPECT_TRUE(fixed->permanent);
    EXPECT_EQ(fixed->mac, kRecorderMac);
    EXPECT_FALSE(neighbours->Find(card, fk::ParseDottedQuad("192.168.77.3")));

    constexpr fk::MacAddress kOtherVendor{0x02, 0x5E, 0xA2, 0x1A, 0x2B, 0x3C};
    EXPECT_EQ(neighbours->Add(card, fk::ParseDottedQuad("192.168.77.3"), kOtherVendor).error,
              EPERM);
    EXPECT_EQ(neighbours->Add(card, fk::ParseDottedQuad("192.168.78.3"), kRecorderMac).error,
              EADDRNOTAVAIL);
    EXPECT_TRUE(NeighbourLines(net->pc, net->pcLink, "192.168.78.3").empty());
}

TEST_F(NetnsNetworkTest, RefusalCarriesTheSystemsTextAndIsReportedOncePerUpload) {
    ASSERT_TRUE(InPcNamespace());
    const int missingCard = 99999;
    const auto result =
        neighbours->Add(missingCard, fk::ParseDottedQuad("192.168.77.11"), kRecorderMac);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, ENODEV);
    EXPECT_EQ(result.message, std::error_code(ENODEV, std::system_category()).message());

    std::vector<std::string> lines;
    fk::DeviceArpEntry entry(*neighbours, [&](const std::string& line) { lines.push_back(line); });
    for (int turn = 0; turn < 20; ++turn) {
        entry.Set(missingCard, fk::ParseDottedQuad("192.168.77.11"), kRecorderMac, true);
    }
    EXPECT_EQ(lines, std::vector<std::string>{"Arp error - " + result.message + "\n"});
}

// A datagram sent to the address from this namespace reaches a socket of it: loopback and the
// subnet's broadcast work.
bool Delivered(const std::string& address) {
    const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    socklen_t length = sizeof at;
    const int on = 1;
    bool delivered =
        receiver >= 0 && sender >= 0 &&
        bind(receiver, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
        getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &length) == 0 &&
        setsockopt(sender, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
        inet_pton(AF_INET, address.c_str(), &at.sin_addr) == 1 &&
        sendto(sender, "x", 1, 0, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 1;
    pollfd ready{receiver, POLLIN, 0};
    delivered = delivered && poll(&ready, 1, 2000) == 1;
    close(receiver);
    close(sender);
    return delivered;
}

fk::nethelper::Request AddRequest(int ifindex, const std::string& address,
                                  const fk::MacAddress& mac = kRecorderMac) {
    fk::nethelper::Request request;
    request.op = static_cast<std::uint32_t>(fk::nethelper::Op::AddNeighbour);
    request.ifindex = ifindex;
    request.address = fk::ParseDottedQuad(address);
    std::copy(mac.begin(), mac.end(), request.mac);
    return request;
}

// Sends the requests together, then again those whose address is still being probed, until each
// is decided (or 3 s are up): the errors in order.
std::vector<int> Decided(fk::platform::NetHelperClient& helper,
                         const std::vector<fk::nethelper::Request>& requests) {
    std::vector<int> errors(requests.size(), EINPROGRESS);
    std::vector<std::size_t> open(requests.size());
    for (std::size_t n = 0; n < open.size(); ++n) open[n] = n;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!open.empty() && std::chrono::steady_clock::now() < until) {
        std::vector<fk::nethelper::Request> again;
        for (const std::size_t n : open) again.push_back(requests[n]);
        const auto replies = helper.Call(again);
        std::vector<std::size_t> still;
        for (std::size_t k = 0; k < open.size(); ++k) {
            errors[open[k]] = replies[k].error;
            if (replies[k].error == EINPROGRESS) still.push_back(open[k]);
        }
        open = std::move(still);
        if (!open.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return errors;
}

// The helper as a member of flashkit runs it, started from the pc namespace. Each refusal leaves
// the neighbour table as it was, with loopback and broadcast working; an address a device other
// than a recorder answers for is refused, whether or not the table knew it, unresolved entries
// included; a recorder holds one entry per card, and a card at most 64, whichever helpers made
// them and for whatever MACs; whatever a helper made is gone once it ends, also an entry that went
// FAILED; and a helper killed outright leaves its entries to the one running beside it, or to the
// next to start, which sweep them.
TEST_F(NetnsNetworkTest, TheHelperRefusesWhatWouldHarmTheHostAndLeavesNothingBehind) {
    const std::string pc = net->pcLink;
    // A device on fkx0's link that owns three addresses and has not talked to the PC; the
    // recorder answers for .60, and for .100 to .160 that another helper binds.
    const std::string device = "ip -n " + net->recorder + " ";
    ASSERT_EQ(RunCommand("ip -n " + net->pc + " link set fkx1 netns " + net->recorder), 0);
    std::vector<std::string> deviceCommands{"link set fkx1 address 52:54:00:ab:cd:ef",
                                            "link set fkx1 up",
                                            "addr add 10.9.8.50/24 dev fkx1",
                                            "addr add 10.9.8.51/24 dev fkx1",
                                            "addr add 10.9.8.52/24 dev fkx1",
                                            "addr add 192.168.77.60/24 dev " + net->recorderLink};
    for (int n = 100; n <= 160; ++n) {
        deviceCommands.push_back("addr add 192.168.77." + std::to_string(n) + "/24 dev " +
                                 net->recorderLink);
    }
    for (const std::string& command : deviceCommands) {
        ASSERT_EQ(RunCommand(device + command), 0) << command;
    }
    for (const std::string& command : std::vector<std::string>{
             "addr add 192.168.77.10/24 dev " + pc, "addr add 192.168.77.20/24 dev " + pc,
             "addr add 192.168.77.30/24 dev " + pc,
             "route add 10.50.0.0/24 nexthop via 192.168.77.11 dev " + pc +
                 " nexthop via 192.168.77.5 dev " + pc,
             "nexthop add id 101 via 192.168.77.21 dev " + pc,
             "nexthop add id 102 via 192.168.77.6 dev " + pc, "nexthop add id 100 group 101/102",
             "route add 10.60.0.0/24 nhid 100", "link add fkb0 type veth peer name fkb1",
             "addr add 10.20.30.254/24 dev fkb0", "addr add 10.40.0.2/30 dev fkb0",
             "link set fkb0 up", "link set fkb1 up", "tuntap add dev fkt0 mode tun",
             "addr add 10.70.0.1/24 dev fkt0", "link set fkt0 up",
             "neigh add 192.168.77.31 lladdr 52:54:00:12:34:56 nud reachable dev " + pc,
             "neigh add 192.168.77.2 lladdr 02:5e:a1:99:00:07 nud stale dev " + pc}) {
        ASSERT_EQ(RunCommand("ip -n " + net->pc + " " + command), 0) << command;
    }
    // IPv4 entries only: the kernel adds and ages IPv6 multicast entries by itself meanwhile.
    const auto table = [&] { return CommandOutput("ip -n " + net->pc + " -4 neigh show nud all"); };
    auto helper = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(helper->Start(), 0);
    auto other = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(other->Start(), 0);

    constexpr fk::MacAddress kSecondRecorder{0x02, 0x5E, 0xA1, 0x00, 0x00, 0x02};
    const auto recorder = [](int n) {
        return fk::MacAddress{0x02, 0x5E, 0xA1, 0x00, 0x01, static_cast<std::uint8_t>(n)};
    };
    struct Row {
        const char* what;
        std::string card;
        std::string address;
        int refusal;
        fk::MacAddress mac = kRecorderMac;
        int othersFirst = 0;  // entries another helper makes for other recorders first
        const char* unresolvedFirst = nullptr;  // the state of an entry for it made just before
        int sameMacFirst = 0;  // probes it starts first for the row's MAC at other addresses
    };
    for (const Row& row :
         {Row{"loopback, whose entries all stand for 0.0.0.0", "lo", "127.0.0.2", EOPNOTSUPP},
          Row{"a point-to-point card", "fkt0", "10.70.0.2", EOPNOTSUPP},
          Row{"the broadcast address of .254/24", "fkb0", "10.20.30.255", EADDRNOTAVAIL},
          Row{"the broadcast address of .2/30", "fkb0", "10.40.0.3", EADDRNOTAVAIL},
          Row{"a next hop of a multipath route", pc, "192.168.77.11", EADDRINUSE},
          Row{"a member of a next-hop group", pc, "192.168.77.21", EADDRINUSE},
          Row{"another device's learned entry", pc, "192.168.77.31", EADDRINUSE},
          Row{"a device that answers, unknown to the table", "fkx0", "10.9.8.50", EADDRINUSE},
          Row{"a device that answers, its entry INCOMPLETE", "fkx0", "10.9.8.51", EADDRINUSE,
              kRecorderMac, 0, "incomplete"},
          Row{"a device that answers, its entry FAILED", "fkx0", "10.9.8.52", EADDRINUSE,
              kRecorderMac, 0, "failed"},
          Row{"a recorder that answers, still holding the address", pc, "192.168.77.60", 0,
              recorder(250)},
          Row{"a previous recorder's entry, replaced", pc, "192.168.77.2", 0},
          Row{"an address outside the card's subnets", pc, "192.168.78.5", EADDRNOTAVAIL},
          Row{"another address of the subnet, for another recorder", pc, "192.168.77.41", 0,
              kSecondRecorder},
          Row{"a second address for the same recorder: its entry moves", pc, "192.168.77.40", 0},
          Row{"a 65th entry, 61 of the 64 held that recorder's probes at other addresses", pc,
              "192.168.77.240", ENOSPC, kRecorderMac, 0, nullptr, 61},
          Row{"a 65th entry, the three above and 61 of another helper held", pc, "192.168.77.250",
              ENOSPC, recorder(200), 61}}) {
        SCOPED_TRACE(row.what);
        const int ifindex = static_cast<int>(if_nametoindex(row.card.c_str()));
        ASSERT_GT(ifindex, 0);
        std::vector<fk::nethelper::Request> othersFirst;
        for (int n = 0; n < row.othersFirst; ++n) {
            othersFirst.push_back(
                AddRequest(ifindex, "192.168.77." + std::to_string(100 + n), recorder(n)));
        }
        ASSERT_EQ(Decided(*other, othersFirst), std::vector<int>(othersFirst.size(), 0));
        std::vector<fk::nethelper::Request> sameMac;
        for (int n = 0; n < row.sameMacFirst; ++n) {
            sameMac.push_back(
                AddRequest(ifindex, "192.168.77." + std::to_string(170 + n), row.mac));
        }
        for (const auto& reply : helper->Call(sameMac)) ASSERT_EQ(reply.error, EINPROGRESS);
        const std::string before = table();
        if (row.unresolvedFirst) {
            ASSERT_EQ(RunCommand("ip -n " + net->pc + " neigh add " + row.address + " nud " +
                                 row.unresolvedFirst + " dev " + row.card),
                      0);
        }
        EXPECT_EQ(Decided(*helper, {AddRequest(ifindex, row.address, row.mac)}).front(),
                  row.refusal);
        if (row.refusal != 0) {
            EXPECT_EQ(table(), before);
        }
        EXPECT_TRUE(Delivered("127.0.0.1"));
        EXPECT_TRUE(Delivered("10.20.30.255"));
        for (auto& probe : sameMac)
            probe.op = static_cast<std::uint32_t>(fk::nethelper::Op::RemoveNeighbour);
        helper->Call(sameMac);
    }
    // The cap holds for the other helper too.
    EXPECT_EQ(other
                  ->Call(AddRequest(static_cast<int>(if_nametoindex(pc.c_str())), "192.168.77.251",
                                    recorder(201)))
                  .error,
              ENOSPC);
    other.reset();
    EXPECT_TRUE(NeighbourLines(net->pc, pc, "192.168.77.2").empty());
    const auto moved = NeighbourLines(net->pc, pc, "192.168.77.40");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NE(moved[0].find("lladdr 02:5e:a1:1a:2b:3c"), std::string::npos) << moved[0];
    const auto second = NeighbourLines(net->pc, pc, "192.168.77.41");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(second[0].find("lladdr 02:5e:a1:00:00:02"), std::string::npos) << second[0];

    // Gone unresolved since: it is still the helper's to delete as it ends.
    ASSERT_EQ(RunCommand("ip -n " + net->pc + " neigh change 192.168.77.40 nud failed dev " + pc),
              0);
    ASSERT_NE(NeighbourLines(net->pc, pc, "192.168.77.40").at(0).find("FAILED"), std::string::npos);
    helper.reset();
    EXPECT_EQ(table().find("02:5e:a1"), std::string::npos) << table();
    EXPECT_TRUE(NeighbourLines(net->pc, pc, "192.168.77.40").empty());
    EXPECT_NE(NeighbourLines(net->pc, pc, "192.168.77.31").at(0).find("52:54:00:12:34:56"),
              std::string::npos);

    // Killed outright, it deletes nothing; a helper running beside it sweeps what it left within
    // ten seconds, and drops a probe of its own that nobody asks after five seconds after it
    // began, both with no request; the next helper to start sweeps at once.
    using std::chrono::steady_clock;
    helper = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(helper->Start(), 0);
    const int card = static_cast<int>(if_nametoindex(pc.c_str()));
    ASSERT_EQ(Decided(*helper, {AddRequest(card, "192.168.77.2")}).front(), 0);
    other = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(other->Start(), 0);
    // Answered: it runs, and has found the first one running.
    ASSERT_EQ(other->Call(AddRequest(card, "192.168.78.99")).error, EADDRNOTAVAIL);
    ASSERT_EQ(kill(helper->Pid(), SIGKILL), 0);
    EXPECT_EQ(helper->Call(AddRequest(card, "192.168.77.12")).error, EPIPE);
    ASSERT_EQ(NeighbourLines(net->pc, pc, "192.168.77.2").size(), 1u);
    const auto asked = steady_clock::now();
    ASSERT_EQ(other->Call(AddRequest(card, "192.168.77.13", kSecondRecorder)).error, EINPROGRESS);
    ASSERT_EQ(NeighbourLines(net->pc, pc, "192.168.77.13").size(), 1u);
    std::optional<steady_clock::duration> swept, dropped;
    while ((!swept || !dropped) && steady_clock::now() - asked < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!swept && NeighbourLines(net->pc, pc, "192.168.77.2").empty())
            swept = steady_clock::now() - asked;
        if (!dropped && NeighbourLines(net->pc, pc, "192.168.77.13").empty())
            dropped = steady_clock::now() - asked;
    }
    EXPECT_TRUE(swept);
    ASSERT_TRUE(dropped);
    EXPECT_GE(*dropped, std::chrono::seconds(5));
    EXPECT_LT(*dropped, std::chrono::seconds(7));
    ASSERT_EQ(Decided(*other, {AddRequest(card, "192.168.77.2")}).front(), 0);
    ASSERT_EQ(kill(other->Pid(), SIGKILL), 0);
    EXPECT_EQ(other->Call(AddRequest(card, "192.168.77.12")).error, EPIPE);
    helper = std::make_unique<fk::platform::NetHelperClient>(FLASHKIT_NET_HELPER);
    ASSERT_EQ(helper->Start(), 0);
    EXPECT_EQ(helper->Call(AddRequest(card, "192.168.78.99")).error, EADDRNOTAVAIL);
    EXPECT_TRUE(NeighbourLines(net->pc, pc, "192.168.77.2").empty());
}

// Requests sent together (a station's first entries) are answered at once, in order: those whose
// addresses go on the wire first say so (EINPROGRESS), and asked again each is decided as it would
// be alone: a device's answer refuses its address only, and the cap counts every probe's entry.
TEST_F(NetnsNetworkTest, AddsSentTogetherAreProbedSideBySideAndDecidedWhenAskedAgain) {
    const std::string pc = net->pcLink;
    const std::string device = "ip -n " + net->recorder + " ";
    ASSERT_EQ(RunCommand(device + "link set " + net->recorderLink + " address 52:54:00:ab:cd:ef"),
              0);
    ASSERT_EQ(RunCommand(device + "addr add 192.168.77.50/24 dev " + net->recorderLink), 0);
    const auto recorder = [](int n) {
        return fk::MacAddress{0x02, 0x5E, 0xA1, 0x00, 0x01, static_cast<std::uint8_t>(n)};
    };
    const int card = static_cast<int>(if_nametoindex(pc.c_str()));
    std::vector<fk::nethelper::Request> requests{AddRequest(card, "192.168.77.60", recorder(1)),
                                                 AddRequest(card, "192.168.77.50", recorder(2)),
                                                 AddRequest(card, "192.168.77.61", recorder(3))};
    std::vector<int> first(3, EINPROGRESS), expected{0, EADDRINUSE, 0};
    for (int n = 0; n < 70; ++n) {
        requests.push_back(
            AddRequest(card, "192.168.77." + std::to_string(100 + n), recorder(100 + n)));
        first.push_back(n < 61 ? EINPROGRESS : ENOSPC);
        expected.push_back(0);
    }

    fk::platform::NetHelperClient helper(FLASHKIT_NET_HELPER);
    ASSERT_EQ(helper.Start(), 0);
    std::vector<int> errors;
    std::vector<fk::nethelper::Request> probing;
    const auto replies = helper.Call(requests);
    for (std::size_t n = 0; n < replies.size(); ++n) {
        errors.push_back(replies[n].error);
        if (replies[n].error == EINPROGRESS) probing.push_back(requests[n]);
    }
    EXPECT_EQ(errors, first);
    expected.resize(probing.size());
    EXPECT_EQ(Decided(helper, probing), expected);
    EXPECT_TRUE(NeighbourLines(net->pc, pc, "192.168.77.50").empty());
    const auto kept = NeighbourLines(net->pc, pc, "192.168.77.61");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(kept[0].find("lladdr 02:5e:a1:00:01:03"), std::string::npos) << kept[0];
    const std::string table = CommandOutput("ip -n " + net->pc + " -4 neigh show dev " + pc);
    std::size_t entries = 0;
    for (auto at = table.find("lladdr 02:5e:a1"); at != std::string::npos;
         at = table.find("lladdr 02:5e:a1", at + 1))
        ++entries;
    EXPECT_EQ(entries, fk::nethelper::kMaxRecorderEntries - 1) << table;
}

// The helper this process started, found by its parent and its (cut) command name.
pid_t HelperChild() {
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        const std::string name = process.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(process.path() / "stat");
        std::string stat{std::istreambuf_iterator<char>(file), {}};
        const auto nameEnd = stat.rfind(')');
        if (nameEnd == std::string::npos || stat.find("(flashkit-net-he)") == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(nameEnd + 1));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == getpid()) return std::stoi(stat);
    }
    return -1;
}

// A helper killed mid-run (by its user, or for memory) is replaced at the next request, which
// then does what was asked: no "Arp error - Permission denied" for what was no refusal.
TEST_F(NetnsNetworkTest, AKilledHelperIsReplacedAtTheNextRequestWithoutAnErrorLine) {
    std::vector<std::string> lines;
    fk::DeviceArpEntry entry(*neighbours, [&](const std::string& line) { lines.push_back(line); });
    const int card = static_cast<int>(if_nametoindex(net->pcLink.c_str()));
    const fk::Ipv4 recorder = fk::ParseDottedQuad("192.168.77.2");
    // Without the two capabilities this thread asks the helper, as an ordinary user's would.
    fk::testing::CapabilitiesDropped ordinaryUser({CAP_NET_BIND_SERVICE, CAP_NET_ADMIN});
    ASSERT_TRUE(ordinaryUser.dropped);
    // Asked again while the wire is asked about the address, as the station does.
    const auto decided = [](const auto& add) {
        auto errors = add();
        for (int n = 0; n < 60 && std::count(errors.begin(), errors.end(), EINPROGRESS); ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            errors = add();
        }
        return errors;
    };
    entry.Set(card, recorder, kRecorderMac, true);
    // Killed outright, and reaped by nobody but the window; each replacement goes the same way
    // (the namespace goes with its entries).
    const auto killHelper = [] {
        const pid_t helper = HelperChild();
        ASSERT_GT(helper, 0);
        ASSERT_EQ(kill(helper, SIGKILL), 0);
        siginfo_t ended{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(helper), &ended, WEXITED | WNOWAIT), 0);
    };
    killHelper();
    EXPECT_EQ(
        decided([&] { return std::vector<int>{entry.Set(card, recorder, kRecorderMac, true)}; }),
        std::vector<int>{0});
    EXPECT_EQ(NeighbourLines(net->pc, net->pcLink, "192.168.77.2").size(), 1u);
    entry.Set(card, recorder, kRecorderMac, false);
    EXPECT_TRUE(NeighbourLines(net->pc, net->pcLink, "192.168.77.2").empty());
    killHelper();
    // A bench's entries asked for together are all made by the replacement.
    const std::vector<fk::platform::NeighbourTable::Wanted> bench{
        {fk::ParseDottedQuad("192.168.77.3"), {0x02, 0x5E, 0xA1, 0, 0, 3}},
        {fk::ParseDottedQuad("192.168.77.4"), {0x02, 0x5E, 0xA1, 0, 0, 4}}};
    EXPECT_EQ(decided([&] { return entry.AddAll(card, bench); }), (std::vector<int>{0, 0}));
    EXPECT_EQ(NeighbourLines(net->pc, net->pcLink, "192.168.77.4").size(), 1u);
    killHelper();
    EXPECT_EQ(lines, std::vector<std::string>{});
}

}  // namespace
