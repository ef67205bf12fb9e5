// The check's rules and the kernel tables it reads, against fixed texts.

#include "net/recorder_reach.h"

#include <gtest/gtest.h>

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

TEST(KernelTables, NeighbourRowsGiveAddressMacStateAndDevice) {
    const auto rows = fk::ParseNeighbourTable(
        "IP address       HW type     Flags       HW address            Mask     Device\n"
        "192.168.77.2     0x1         0x2         02:5e:a1:30:01:01     *        fkp0\n"
        "192.168.77.9     0x1         0x0         00:00:00:00:00:00     *        fkp0\n"
        "10.0.0.1         0x1         0x6         aa:bb:cc:dd:ee:ff     *        eth0\n"
        "10.0.0.2         0x1         0x2         aa:bb:cc:dd:ee        *        eth0\n");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].address, 0xC0A84D02u);
    EXPECT_EQ(rows[0].mac, (fk::MacAddress{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01}));
    EXPECT_TRUE(rows[0].complete);
    EXPECT_EQ(rows[0].device, "fkp0");
    EXPECT_FALSE(rows[1].complete);
    EXPECT_TRUE(rows[2].complete);
    EXPECT_EQ(rows[2].mac, (fk::MacAddress{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
}

TEST(KernelTables, EffectiveCapabilitiesAreReadFromTheStatusText) {
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\nCapPrm:\t0\nCapEff:\t0000000000001400\n"),
              0x1400u);
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\nCapEff:\tzz\n"), std::nullopt);
    EXPECT_EQ(fk::ParseEffectiveCapabilities("Name:\tx\n"), std::nullopt);
}

}  // namespace
