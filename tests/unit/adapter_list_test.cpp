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

}  // namespace
