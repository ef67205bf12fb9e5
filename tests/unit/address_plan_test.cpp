#include "net/address_plan.h"

#include <gtest/gtest.h>

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

}  // namespace
