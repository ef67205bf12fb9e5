#include "wire/tftp_packet.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

using fk::TftpKind;
using Bytes = std::vector<std::uint8_t>;

Bytes FromText(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(ParseTftpOpcode, OnlyByteOneDecidesAndUnknownOpcodesAreOther) {
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 1}), TftpKind::ReadRequest);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 2}), TftpKind::WriteRequest);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 3, 0, 1}), TftpKind::Data);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 4, 0, 1}), TftpKind::Ack);
    // Byte 0 is not examined.
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0xFF, 4, 0, 1}), TftpKind::Ack);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 0}), TftpKind::Other);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 5, 0, 0}), TftpKind::Other);  // ERROR
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{0, 6}), TftpKind::Other);
    EXPECT_EQ(fk::ParseTftpOpcode(Bytes{1, 0x81}), TftpKind::Other);
}

TEST(ParseTftpOpcode, DatagramsWithoutAnOpcodeAreIgnored) {
    EXPECT_FALSE(fk::ParseTftpOpcode(Bytes{}).has_value());
    EXPECT_FALSE(fk::ParseTftpOpcode(Bytes{0}).has_value());
}

TEST(ReadRequestFileName, StopsAtTheFirstZeroAndIgnoresTheMode) {
    auto request = FromText(std::string("\0\1FW_2.bin\0octet\0blksize\0", 26));
    EXPECT_EQ(fk::ReadRequestFileName(request), "FW_2.bin");
    EXPECT_EQ(fk::ReadRequestFileName(FromText(std::string("\0\1\0octet\0", 10))), "");
}

TEST(ReadRequestFileName, NeverReadsPastTheSecondToLastByte) {
    // Not terminated: the last byte received is the place of the terminator.
    EXPECT_EQ(fk::ReadRequestFileName(FromText(std::string("\0\1abc", 5))), "ab");
    EXPECT_EQ(fk::ReadRequestFileName(FromText(std::string("\0\1a", 3))), "");
    EXPECT_EQ(fk::ReadRequestFileName(FromText(std::string("\0\1", 2))), "");
    EXPECT_EQ(fk::ReadRequestFileName(FromText(std::string("\0\1ab\0", 5))), "ab");
    // The view ends inside the datagram even when nothing in it is zero.
    const std::vector<std::uint8_t> full(1536, 'x');
    EXPECT_EQ(fk::ReadRequestFileName(full).size(), 1536u - 3);
}

TEST(AckBlockNumber, ReadsBigEndianAndIgnoresShortOrLongerDatagrams) {
    EXPECT_EQ(fk::AckBlockNumber(Bytes{0, 4, 0x12, 0x34}), 0x1234);
    EXPECT_EQ(fk::AckBlockNumber(Bytes{0, 4, 0xFF, 0xFF, 9, 9}), 65535);
    EXPECT_FALSE(fk::AckBlockNumber(Bytes{0, 4, 0x12}).has_value());
    EXPECT_FALSE(fk::AckBlockNumber(Bytes{0, 4}).has_value());
}

TEST(BuildDataPacket, WritesOpcodeBlockAndContent) {
    std::array<std::uint8_t, fk::kTftpMaxDataPacket> packet{};
    packet.fill(0xEE);
    const Bytes content{1, 2, 3};
    ASSERT_EQ(fk::BuildDataPacket(0x0203, content, packet), 7u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 7), (Bytes{0, 3, 2, 3, 1, 2, 3}));

    EXPECT_EQ(fk::BuildDataPacket(65535, {}, packet), 4u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{0, 3, 0xFF, 0xFF}));

    const Bytes full(512, 0x5A);
    ASSERT_EQ(fk::BuildDataPacket(2, full, packet), 516u);
    EXPECT_EQ(Bytes(packet.begin() + 4, packet.end()), full);
}

TEST(BuildUnknownTransferIdError, IsErrorCodeFiveWithItsTerminatedMessage) {
    std::array<std::uint8_t, fk::kTftpUnknownTransferIdPacket> packet{};
    ASSERT_EQ(fk::BuildUnknownTransferIdError(packet), 24u);
    Bytes expected{0, 5, 0, 5};
    for (const char c : std::string_view("Unknown transfer ID")) expected.push_back(c);
    expected.push_back(0);
    EXPECT_EQ(Bytes(packet.begin(), packet.end()), expected);
}

TEST(BuildDataPacket, AcceptsContentAlreadyInPlace) {
    std::array<std::uint8_t, fk::kTftpMaxDataPacket> packet{};
    for (std::size_t i = 4; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(fk::BuildDataPacket(9, std::span(packet).subspan(4, 100), packet), 104u);
    EXPECT_EQ(packet[4], 4);
    EXPECT_EQ(packet[103], 103);
}

TEST(BuildHeaderBlock, CarriesMagicVersionKindAndSizeBigEndian) {
    std::array<std::uint8_t, 512> block;
    block.fill(0xEE);
    fk::BuildHeaderBlock(fk::ImageKind::System, 1000, block);
    const Bytes expected{0x20, 0x03, 0x04, 0x09, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 3, 0xE8};
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 20), expected);
    EXPECT_TRUE(std::all_of(block.begin() + 20, block.end(), [](auto b) { return b == 0; }));

    fk::BuildHeaderBlock(fk::ImageKind::Data, 0x01020304, block);
    EXPECT_EQ(Bytes(block.begin() + 12, block.begin() + 20), (Bytes{0, 0, 0, 2, 1, 2, 3, 4}));
}

}  // namespace
