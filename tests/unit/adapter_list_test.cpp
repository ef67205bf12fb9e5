#include "net/adapter_list.h"

#include <gtest/gtest.h>

#include "support/network_fakes.h"

namespace {

using fk::testing::Card;

fk::AdapterList ThreeCards() {
    return {Card("enp0s3", "Intel Corporation 82540EM (enp0s3)", 2, "192.168.0.10"),
            Card("wlp2s0", "Intel Corporation Wi-Fi 6 AX200 (wlp2s0)", 3, "10.0.0.5"),
            Card("veth0", "veth0 (veth)", 9, "0.0.0.0", "0.0.0.0")};
}

TEST(SelectedAdapter, IndexWithinTheListPicksThatRecord) {
    const auto list = ThreeCards();
    EXPECT_EQ(fk::SelectedAdapter(list, 0).adapterName, "enp0s3");
    EXPECT_EQ(fk::SelectedAdapter(list, 1).adapterName, "wlp2s0");
    EXPECT_EQ(fk::SelectedAdapter(list, 2).index, 9u);
}

TEST(SelectedAdapter, NothingSelectedGivesFirstAndPastTheEndGivesLast) {
    const auto list = ThreeCards();
    EXPECT_EQ(fk::SelectedAdapter(list, -1).adapterName, "enp0s3");
    EXPECT_EQ(fk::SelectedAdapter(list, -7).adapterName, "enp0s3");
    EXPECT_EQ(fk::SelectedAdapter(list, 3).adapterName, "veth0");
    EXPECT_EQ(fk::SelectedAdapter(list, 1000).adapterName, "veth0");
}

TEST(SelectedAdapter, EmptyListGivesZeroRecord) {
    for (int index : {-1, 0, 5}) {
        const auto record = fk::SelectedAdapter({}, index);
        EXPECT_EQ(record.index, 0u);
        EXPECT_TRUE(record.adapterName.empty());
        EXPECT_TRUE(record.description.empty());
        EXPECT_TRUE(record.ipAddress.empty());
        EXPECT_TRUE(record.ipMask.empty());
        EXPECT_TRUE(record.gateway.empty());
    }
}

// Only cards that can carry an upload are offered; a NOARP card first leaves the first of them
// selected.
TEST(AdapterList, EntriesAreTheDescriptionsOfUploadCardsInTheSystemsOrder) {
    fk::platform::AdapterQuery query;
    query.adapters = ThreeCards();
    auto noArp = Card("ifb0", "ifb0 (ifb)", 1, "0.0.0.0", "0.0.0.0");
    noArp.unfit = fk::nethelper::CardUnfit::NoArp;
    auto tunnel = Card("tun0", "tun0 (tun)", 5, "10.8.0.1");
    tunnel.unfit = fk::nethelper::CardUnfit::PointToPoint;
    query.adapters.insert(query.adapters.begin(), noArp);
    query.adapters.insert(query.adapters.begin() + 2, tunnel);
    const auto list = fk::BuildAdapterList(query);
    EXPECT_EQ(fk::SelectedAdapter(list, -1).adapterName, "enp0s3");
    EXPECT_EQ(
        fk::AdapterEntries(list),
        (std::vector<std::string>{"Intel Corporation 82540EM (enp0s3)",
                                  "Intel Corporation Wi-Fi 6 AX200 (wlp2s0)", "veth0 (veth)"}));
}

TEST(AdapterList, FailedQueryGivesEmptyListEvenWithPartialRecords) {
    fk::platform::AdapterQuery query;
    query.ok = false;
    query.error = 12;
    query.adapters = ThreeCards();
    EXPECT_TRUE(fk::BuildAdapterList(query).empty());
    EXPECT_TRUE(fk::AdapterEntries({}).empty());
}

TEST(AdapterList, ManyVirtualCardsAreAllKept) {
    // A fixed buffer held about fourteen cards; a host running containers has far more.
    fk::platform::AdapterQuery query;
    for (std::uint32_t n = 0; n < 300; ++n) {
        query.adapters.push_back(Card("veth" + std::to_string(n), "veth" + std::to_string(n), n + 2,
                                      "0.0.0.0", "0.0.0.0"));
    }
    const auto list = fk::BuildAdapterList(query);
    ASSERT_EQ(list.size(), 300u);
    EXPECT_EQ(fk::AdapterEntries(list).back(), "veth299");
    EXPECT_EQ(fk::SelectedAdapter(list, 299).index, 301u);
}

fk::AdapterRecord WindowsCard(std::string guid, std::string name, std::string description,
                              std::uint32_t index) {
    auto card = Card(std::move(guid), std::move(description), index, "192.168.1.1");
    card.friendlyName = std::move(name);
    return card;
}

std::vector<std::uint32_t> IndexesNamed(const fk::AdapterList& cards, const std::string& name) {
    std::vector<std::uint32_t> indexes;
    for (const auto& card : fk::CardsNamed(cards, name)) indexes.push_back(card.index);
    return indexes;
}

// Windows' cards go by the names Network Connections shows, in any case, by GUID with or without
// braces, or by index; Linux's only by their exact interface name or entry.
TEST(CardsNamed, WindowsNamesInAnyFormLinuxNamesExactly) {
    const fk::AdapterList windows{
        WindowsCard("{0000000A-1111-2222-3333-444444444444}", "Ethernet 2", "Intel(R) I219-V", 12),
        WindowsCard("{0000000B-1111-2222-3333-444444444444}", "Wi-Fi", "Intel(R) Wi-Fi 6 AX201", 7),
        WindowsCard("{0000000C-1111-2222-3333-444444444444}", "7", "Realtek USB GbE", 9)};
    using Indexes = std::vector<std::uint32_t>;
    for (const char* name :
         {"Ethernet 2", "ethernet 2", "INTEL(R) I219-V", "12",
          "0000000a-1111-2222-3333-444444444444", "{0000000a-1111-2222-3333-444444444444}"}) {
        EXPECT_EQ(IndexesNamed(windows, name), Indexes{12}) << name;
    }
    // An exact name wins over an index; a loose name matching two cards is ambiguous.
    EXPECT_EQ(IndexesNamed(windows, "7"), Indexes{9});
    EXPECT_EQ(IndexesNamed(windows, "9"), Indexes{9});
    auto twin = WindowsCard("{0000000D-1111-2222-3333-444444444444}", "ETHERNET 2", "Other", 14);
    auto withTwin = windows;
    withTwin.push_back(twin);
    EXPECT_EQ(IndexesNamed(withTwin, "ethernet 2"), (Indexes{12, 14}));
    EXPECT_TRUE(IndexesNamed(windows, "Ethernet").empty());
    EXPECT_TRUE(IndexesNamed(windows, "").empty());
    EXPECT_EQ(fk::CardLabel(windows[0]), "Ethernet 2 (Intel(R) I219-V)");

    const auto linuxCards = ThreeCards();
    EXPECT_EQ(IndexesNamed(linuxCards, "wlp2s0"), Indexes{3});
    EXPECT_EQ(IndexesNamed(linuxCards, "veth0 (veth)"), Indexes{9});
    for (const char* name : {"WLP2S0", "3", "veth0 (VETH)"}) {
        EXPECT_TRUE(IndexesNamed(linuxCards, name).empty()) << name;
    }
    EXPECT_EQ(fk::CardLabel(linuxCards[0]), "enp0s3");
}

// Only an Ethernet or Wi-Fi card with a six-byte address and IPv4 reaches a recorder by ARP.
TEST(CardsNamed, InterfaceTypesThatCanCarryAnUpload) {
    using fk::nethelper::CardUnfit;
    struct Row {
        std::uint32_t ifType;
        std::size_t addressLength;
        bool ipv4;
        CardUnfit unfit;
    } rows[] = {{6, 6, true, CardUnfit::None},           {71, 6, true, CardUnfit::None},
                {24, 0, true, CardUnfit::Loopback},      {23, 0, true, CardUnfit::PointToPoint},
                {131, 0, true, CardUnfit::PointToPoint}, {1, 0, true, CardUnfit::NotEthernet},
                {6, 0, true, CardUnfit::NotEthernet},    {6, 6, false, CardUnfit::NoArp}};
    for (const Row& row : rows) {
        EXPECT_EQ(fk::UnfitnessOfInterface(row.ifType, row.addressLength, row.ipv4), row.unfit)
            << row.ifType << " " << row.addressLength << " " << row.ipv4;
    }
}

}  // namespace
