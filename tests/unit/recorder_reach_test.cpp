// The check's rules and the kernel tables it reads, against fixed texts.

#include "net/recorder_reach.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using fk::RecorderAddressConflict;

TEST(RecorderAddressConflictFor, NamesWhereTheRuleSendsTheReplyAstray) {
    struct Row {
        fk::Ipv4 host, mask, gateway;
        RecorderAddressConflict conflict;
    };
    for (const Row& row : {
             // 192.168.77.1/24 gives .2: fine, also with a gateway elsewhere.
             Row{0xC0A84D01, 0xFFFFFF00, 0, RecorderAddressConflict::None},
             Row{0xC0A84D01, 0xFFFFFF00, 0xC0A84DFE, RecorderAddressConflict::None},
             // .1 with the gateway on .2.
             Row{0xC0A84D01, 0xFFFFFF00, 0xC0A84D02, RecorderAddressConflict::Gateway},
             // .254/24 gives .255, the broadcast address.
             Row{0xC0A801FE, 0xFFFFFF00, 0, RecorderAddressConflict::Broadcast},
             // 10.0.0.126/25 gives .127, the broadcast address of the lower half.
             Row{0x0A00007E, 0xFFFFFF80, 0, RecorderAddressConflict::Broadcast},
             // 10.0.0.129/25 gives .130 inside; 10.0.0.255/25 gives .2, outside the upper half.
             Row{0x0A000081, 0xFFFFFF80, 0, RecorderAddressConflict::None},
             Row{0x0A0000FF, 0xFFFFFF80, 0, RecorderAddressConflict::OutsideSubnet},
             // 10.0.0.1/30 gives .2 inside; 10.0.0.2/30 gives .3, the broadcast address.
             Row{0x0A000001, 0xFFFFFFFC, 0, RecorderAddressConflict::None},
             Row{0x0A000002, 0xFFFFFFFC, 0, RecorderAddressConflict::Broadcast},
             // A /32 holds no second address.
             Row{0x0A000001, 0xFFFFFFFF, 0, RecorderAddressConflict::OutsideSubnet},
             // A /31 pair has neither network nor broadcast address.
             Row{0x0A000002, 0xFFFFFFFE, 0, RecorderAddressConflict::None},
             // 10.0.4.255/23 gives 10.0.4.2, inside; an unknown mask judges nothing.
             Row{0x0A0004FF, 0xFFFFFE00, 0, RecorderAddressConflict::None},
             Row{0xC0A801FE, 0, 0, RecorderAddressConflict::None},
         }) {
        EXPECT_EQ(fk::RecorderAddressConflictFor(row.host, row.mask, row.gateway), row.conflict)
            << std::hex << row.host << "/" << row.mask;
    }
}

TEST(CardManagerFor, ReadsWhoOwnsTheCardFromTheRuntimeFiles) {
    using fk::CardManager;
    const struct Row {
        const char* networkManager;
        const char* networkd;
        CardManager manager;
    } rows[] = {
        {"[device]\nmanaged=true\n", "", CardManager::NetworkManager},
        {"[device]\r\nmanaged=true\r\n", "", CardManager::NetworkManager},
        {"[device]\nmanaged=false\n", "", CardManager::None},
        {"[device]\nunmanaged=true\n", "", CardManager::None},
        {"", "# This is private data.\nADMIN_STATE=configured\nOPER_STATE=routable\n",
         CardManager::Networkd},
        {"", "ADMIN_STATE=unmanaged\n", CardManager::None},
        {"", "ADMIN_STATE=linger\n", CardManager::None},
        {"", "ADMIN_STATE=\n", CardManager::None},
        {"", "", CardManager::None},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(fk::CardManagerFor(row.networkManager, row.networkd), row.manager)
            << row.networkManager << "|" << row.networkd;
    }
}

TEST(KernelTables, UdpSocketsGiveTheirPortAndInode) {
    const auto sockets = fk::ParseUdpTable(
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops\n"
        "  180: 00000000:0045 00000000:0000 07 00000000:00000000 00:00000000 00000000     0     "
        "   0 123456 2 0000000000000000 0\n"
        "  181: 0100007F:0043 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000     "
        "   0 99 2 0000000000000000 0\n"
        "  182: 00000000000000000000000000000000:0045 00000000000000000000000000000000:0000 07 "
        "00000000:00000000 00:00000000 00000000     0        0 777 2 0000000000000000 0\n"
        "  183: garbage\n");
    ASSERT_EQ(sockets.size(), 3u);
    EXPECT_EQ(sockets[0].localPort, 69);
    EXPECT_EQ(sockets[0].inode, 123456u);
    EXPECT_EQ(sockets[1].localPort, 67);
    EXPECT_EQ(sockets[1].inode, 99u);
    EXPECT_EQ(sockets[2].localPort, 69);
    EXPECT_EQ(sockets[2].inode, 777u);
}

TEST(KernelTables, EffectiveCapabilitiesAreReadFromTheStatusText) {
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\nCapPrm:\t0\nCapEff:\t0000000000001400\n"),
              0x1400u);
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\nCapEff:\tzz\n"), std::nullopt);
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\n"), std::nullopt);

    // security.capability as setcap writes it: revision 2 (20 bytes) or 3 (24, with an owner).
    using namespace std::string_literals;
    const std::string ep = "\x01\x00\x00\x02"s + "\x00\x14\x00\x00"s + std::string(12, '\0');
    EXPECT_EQ(fk::ParseFileCapabilities(ep), 0x1400u);
    EXPECT_EQ(
        fk::ParseFileCapabilities("\x01\x00\x00\x03"s + "\x00\x04\x00\x00"s + std::string(4, '\0') +
                                  "\x01\x00\x00\x00"s + std::string(8, '\0')),
        0x100000400u);
    // "+p" only: the program would have to raise them itself, which the helper does not.
    EXPECT_EQ(fk::ParseFileCapabilities("\x00\x00\x00\x02"s + ep.substr(4)), 0u);
    EXPECT_EQ(fk::ParseFileCapabilities(ep.substr(0, 12)), std::nullopt);
    EXPECT_EQ(fk::ParseFileCapabilities(""), std::nullopt);
}

TEST(PrivilegeVerdictFor, OkWithBothCapabilitiesOrARunnableHelperThatHoldsThem) {
    const std::string helper = "/usr/libexec/flashkit/flashkit-net-helper";
    constexpr std::uint64_t kBoth = 0x1400, kBindOnly = 0x400;
    struct Case {
        const char* what;
        fk::PrivilegeFacts facts;
        bool ok;
        std::string text;
    };
    const std::vector<Case> cases{
        {"root", {true, 0, helper, ENOENT, 0}, true, "root"},
        {"both capabilities itself",
         {false, kBoth, helper, ENOENT, 0},
         true,
         "may bind ports 67 and 69 and add neighbours"},
        {"a group member",
         {false, 0, helper, 0, kBoth},
         true,
         "through the network helper " + helper},
        {"one capability itself, the helper for the rest",
         {false, kBindOnly, helper, 0, kBoth},
         true,
         "through the network helper " + helper},
        {"not a member (or not since the last login)",
         {false, kBindOnly, helper, EACCES, 0},
         false,
         "this user may not run the network helper " + helper +
             ": ask the administrator to add you to the group flashkit, then log out and in again "
             "(group membership is read at login)"},
        {"no helper",
         {false, 0, helper, ENOENT, 0},
         false,
         "the network helper " + helper +
             " is missing: ask the administrator to install FlashKit again, or run as root"},
        {"a helper without its capabilities, as a build tree's",
         {false, 0, helper, 0, kBindOnly},
         false,
         "the network helper " + helper +
             " does not hold both cap_net_bind_service and cap_net_admin: upload with the "
             "installed FlashKit package, whose installation gives them to its helper, or run as "
             "root"},
    };
    for (const auto& c : cases) {
        const auto verdict = fk::PrivilegeVerdictFor(c.facts);
        EXPECT_EQ(verdict.ok, c.ok) << c.what;
        EXPECT_EQ(verdict.text, c.text) << c.what;
    }
}

}  // namespace
