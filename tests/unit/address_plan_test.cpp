#include "net/address_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "feedback/refusal_texts.h"
#include "support/network_fakes.h"

namespace {

using fk::DeviceAddressFor;
using fk::ParseDottedQuad;

TEST(DeviceAddressFor, NextAddressAfterTheHost) {
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("192.168.0.10")), ParseDottedQuad("192.168.0.11"));
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("10.0.0.1")), ParseDottedQuad("10.0.0.2"));
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("10.0.0.2")), ParseDottedQuad("10.0.0.3"));
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("192.168.1.253")), ParseDottedQuad("192.168.1.254"));
    // No exception is made for the last usable address: 254 gives 255.
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("192.168.1.254")), ParseDottedQuad("192.168.1.255"));
}

TEST(DeviceAddressFor, NetworkAndBroadcastOctetsGiveTwo) {
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("172.16.5.0")), ParseDottedQuad("172.16.5.2"));
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("172.16.5.255")), ParseDottedQuad("172.16.5.2"));
    EXPECT_EQ(DeviceAddressFor(0), ParseDottedQuad("0.0.0.2"));
}

TEST(DeviceAddressFor, OnlyTheLastOctetChangesWhateverTheMask) {
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("10.1.255.255")), ParseDottedQuad("10.1.255.2"));
    EXPECT_EQ(DeviceAddressFor(ParseDottedQuad("255.255.255.254")),
              ParseDottedQuad("255.255.255.255"));
}

TEST(HostAddressFor, ReportedAddressWinsAndTheConfigurationIsNotAsked) {
    fk::testing::FakeTcpipConfig config;
    config.settings["eth0"] = {ParseDottedQuad("10.9.9.9"), 0, 0};
    const auto card = fk::testing::Card("eth0", "Intel (eth0)", 2, "192.168.0.10");
    EXPECT_EQ(fk::HostAddressFor(card, "Intel (eth0)", &config), ParseDottedQuad("192.168.0.10"));
    EXPECT_TRUE(config.askedFor.empty());
}

TEST(HostAddressFor, CardWithoutAddressFallsBackToItsConfiguredAddressByName) {
    fk::testing::FakeTcpipConfig config;
    config.settings["enp0s3"] = {ParseDottedQuad("192.168.1.20"), ParseDottedQuad("192.168.1.1"),
                                 ParseDottedQuad("255.255.255.0")};
    const auto card =
        fk::testing::Card("enp0s3", "Intel Corporation 82540EM (enp0s3)", 2, "0.0.0.0", "0.0.0.0");
    const auto host = fk::HostAddressFor(card, card.description, &config);
    EXPECT_EQ(host, ParseDottedQuad("192.168.1.20"));
    EXPECT_EQ(DeviceAddressFor(host), ParseDottedQuad("192.168.1.21"));
    EXPECT_EQ(config.askedFor, std::vector<std::string>{"enp0s3"});
}

TEST(HostAddressFor, NothingConfiguredOrNoLookupGivesZero) {
    fk::testing::FakeTcpipConfig config;
    const auto card = fk::testing::Card("veth1", "veth1 (veth)", 7, "0.0.0.0", "0.0.0.0");
    EXPECT_EQ(fk::HostAddressFor(card, card.description, &config), 0u);
    EXPECT_EQ(fk::HostAddressFor(card, card.description, nullptr), 0u);
}

TEST(HostAddressFor, EmptyOrMalformedTextCountsAsNoAddressNotAsBroadcast) {
    fk::testing::FakeTcpipConfig config;
    // The record of an empty card list has empty texts.
    EXPECT_EQ(fk::HostAddressFor(fk::AdapterRecord{}, "", &config), 0u);
    EXPECT_EQ(fk::HostAddressFor(fk::testing::Card("x", "x", 1, "10.0.0"), "x", &config), 0u);
    EXPECT_EQ(fk::HostAddressFor(fk::testing::Card("x", "x", 1, "garbage"), "x", &config), 0u);
    EXPECT_EQ(config.askedFor.size(), 3u);
}

TEST(ConfigurationKeyFor, NamedFamilyUsesTheKeyNameOthersTheEntryText) {
    const auto card = fk::testing::Card("enp0s3", "Intel (enp0s3)", 2, "0.0.0.0");
    EXPECT_EQ(fk::GetOsPlatform(), 2u);
    EXPECT_EQ(fk::ConfigurationKeyFor(2, card, "Intel (enp0s3)"), "enp0s3");
    EXPECT_EQ(fk::ConfigurationKeyFor(1, card, "Intel (enp0s3)"), "Intel (enp0s3)");
    EXPECT_EQ(fk::ConfigurationKeyFor(0, card, ""), "");
}

TEST(RecorderAddressHolder, TheGatewayAnOwnCardOrAnotherDevicesEntryHoldsTheAddress) {
    constexpr fk::MacAddress kRecorder{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01};
    constexpr fk::MacAddress kOther{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    // Host .253: the recorder would get .254, which is the gateway's.
    auto card = fk::testing::Card("eth0", "eth0", 2, "192.168.1.253");
    card.gateway = "192.168.1.254";
    const auto second = fk::testing::Card("eth1", "eth1", 3, "192.168.1.254");
    const fk::Ipv4 recorder = ParseDottedQuad("192.168.1.254");
    using Entry = std::optional<fk::platform::NeighbourEntry>;
    const fk::platform::NeighbourEntry other{kOther, false};

    struct Case {
        const char* what;
        fk::AdapterRecord card;
        fk::AdapterList cards;
        Entry entry;
        std::optional<std::string> holder;
    };
    auto noGateway = card;
    noGateway.gateway = "0.0.0.0";
    auto multipath = noGateway;
    multipath.gateways = {ParseDottedQuad("192.168.1.1"), recorder};
    const std::vector<Case> cases{
        {"gateway", card, {card}, std::nullopt, "the gateway of this network card"},
        {"gateway with its entry", card, {card}, other, "the gateway of this network card"},
        {"another card of this PC",
         noGateway,
         {noGateway, second},
         std::nullopt,
         "this PC's network card eth1"},
        {"another device", noGateway, {noGateway}, other, "the device 52:54:00:12:34:56"},
        {"another device, fixed",
         noGateway,
         {noGateway},
         fk::platform::NeighbourEntry{kOther, true},
         "the device 52:54:00:12:34:56 (a fixed neighbour entry)"},
        {"the recorder's own entry",
         noGateway,
         {noGateway},
         fk::platform::NeighbourEntry{kRecorder, false},
         std::nullopt},
        {"a previous recorder's entry",
         noGateway,
         {noGateway},
         fk::platform::NeighbourEntry{{0x02, 0x5E, 0xA1, 0x99, 0x00, 0x07}, false},
         std::nullopt},
        {"the recorder's own entry, fixed",
         noGateway,
         {noGateway},
         fk::platform::NeighbourEntry{kRecorder, true},
         "the device 02:5e:a1:30:01:01 (a fixed neighbour entry)"},
        {"a next hop of a multipath route",
         multipath,
         {multipath},
         std::nullopt,
         "the gateway of this network card"},
        {"nobody", noGateway, {noGateway}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto holder = fk::RecorderAddressHolder(recorder, c.card, c.cards, c.entry);
        EXPECT_EQ(holder ? std::optional(fk::HolderText(*holder)) : std::nullopt, c.holder)
            << c.what;
    }
    EXPECT_EQ(fk::RecorderAddressHeldText(recorder, "the gateway of this network card"),
              "The recorder would get the address 192.168.1.254, which the gateway of this network "
              "card already has, so the upload is not started. Choose another network card or give "
              "this one another address.");
}

}  // namespace

TEST(NextStationAddress, TheRulesAddressThenTheNextFreeOnesOfTheSubnet) {
    using Entry = fk::platform::NeighbourEntry;
    const auto q = [](const char* text) { return ParseDottedQuad(text); };
    const fk::MacAddress recorder{0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01};
    const fk::MacAddress foreign{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    fk::StationAddressRules base{q("192.168.1.10"), q("255.255.255.0"), {}, {}, std::nullopt};
    struct Case {
        const char* what;
        fk::StationAddressRules rules;
        std::set<fk::Ipv4> given;
        std::map<fk::Ipv4, Entry> entries;
        std::optional<fk::Ipv4> expected;
    };
    auto gateways = base;
    gateways.gateways = {q("192.168.1.11"), q("192.168.1.12")};  // a multipath route's hops
    auto own = base;
    own.ownAddresses = {q("192.168.1.10"), q("192.168.1.11")};
    auto top = base;
    top.host = q("192.168.1.253");
    auto pool = base;
    pool.pool = fk::AddressRange{q("192.168.1.50"), q("192.168.1.51")};
    auto small = base;
    small.host = q("10.0.0.1");
    small.mask = q("255.255.255.252");  // .1 and .2 only
    const std::vector<Case> cases{
        {"the rule's address first", base, {}, {}, q("192.168.1.11")},
        {"then the next", base, {q("192.168.1.11")}, {}, q("192.168.1.12")},
        {"gateways skipped", gateways, {}, {}, q("192.168.1.13")},
        {"the PC's own skipped", own, {}, {}, q("192.168.1.12")},
        {"a foreign entry skipped",
         base,
         {},
         {{q("192.168.1.11"), {foreign, false}}},
         q("192.168.1.12")},
        {"a fixed recorder entry skipped",
         base,
         {},
         {{q("192.168.1.11"), {recorder, true}}},
         q("192.168.1.12")},
        {"a previous recorder's entry reused",
         base,
         {},
         {{q("192.168.1.11"), {recorder, false}}},
         q("192.168.1.11")},
        {"broadcast skipped, network skipped, round to .1",
         top,
         {q("192.168.1.254")},
         {},
         q("192.168.1.1")},
        {"the pool narrows the range", pool, {}, {}, q("192.168.1.50")},
        {"the pool's next", pool, {q("192.168.1.50")}, {}, q("192.168.1.51")},
        {"the pool used up", pool, {q("192.168.1.50"), q("192.168.1.51")}, {}, std::nullopt},
        {"a /30 holds one recorder", small, {}, {}, q("10.0.0.2")},
        {"and no second", small, {q("10.0.0.2")}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        const auto lookup = [&](fk::Ipv4 address) -> std::optional<Entry> {
            const auto found = c.entries.find(address);
            if (found == c.entries.end()) return std::nullopt;
            return found->second;
        };
        EXPECT_EQ(fk::NextStationAddress(c.rules, c.given, lookup), c.expected) << c.what;
    }
}

TEST(StationAddressRulesFor, GatewaysAndEveryCardsAddressAndThePool) {
    auto card =
        fk::testing::Card("eth0", "eth0", 2, "192.168.1.10", "255.255.255.0", "192.168.1.1");
    card.gateways = {ParseDottedQuad("192.168.1.2")};
    const auto other = fk::testing::Card("eth1", "eth1", 3, "10.0.0.5");
    const auto range = fk::ParseAddressRange("192.168.1.50-192.168.1.60");
    ASSERT_TRUE(range);
    const auto rules =
        fk::StationAddressRulesFor(card, {card, other}, ParseDottedQuad("192.168.1.10"), range);
    EXPECT_EQ(rules.mask, ParseDottedQuad("255.255.255.0"));
    EXPECT_EQ(rules.gateways, (std::vector<fk::Ipv4>{ParseDottedQuad("192.168.1.2"),
                                                     ParseDottedQuad("192.168.1.1")}));
    EXPECT_EQ(rules.ownAddresses, (std::vector<fk::Ipv4>{ParseDottedQuad("192.168.1.10"),
                                                         ParseDottedQuad("10.0.0.5")}));
    EXPECT_EQ(rules.pool->last, ParseDottedQuad("192.168.1.60"));
    for (const char* bad : {"192.168.1.60-192.168.1.50", "192.168.1.50", "a-b", "-"}) {
        EXPECT_FALSE(fk::ParseAddressRange(bad)) << bad;
    }
}
