#include "wire/bootp_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const fk::MacAddress kMac{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
constexpr fk::Ipv4 kHost = 0xC0A80A01;      // 192.168.10.1
constexpr fk::Ipv4 kRecorder = 0xC0A80A02;  // 192.168.10.2

// The reply for 192.168.10.2 from 192.168.10.1 naming fw_2.bin, written out field by field.
Bytes ExpectedReply(const std::string& name) {
    Bytes bytes(300, 0);
    const Bytes head{2, 1, 6, 0, 'F',  'K',  'T',  '0',  0,    0,   0,  0,
                     0, 0, 0, 0, 192,  168,  10,   2,    192,  168, 10, 1,
                     0, 0, 0, 0, 0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
    std::copy(head.begin(), head.end(), bytes.begin());
    std::copy(name.begin(), name.end(), bytes.begin() + 108);
    return bytes;
}

Bytes Build(const std::string& name) {
    const auto reply = fk::BuildBootpReply(kRecorder, kHost, kMac, name);
    return {reply.begin(), reply.end()};
}

TEST(BuildBootpReply, MatchesTheReplyLayoutByteForByte) {
    const Bytes reply = Build("fw_2.bin");
    EXPECT_EQ(reply, ExpectedReply("fw_2.bin"));
    // The file field: the 8 name bytes, then 120 zeros; sname and vend are all zero.
    EXPECT_EQ(std::string(reply.begin() + 108, reply.begin() + 116), "fw_2.bin");
    EXPECT_TRUE(std::all_of(reply.begin() + 116, reply.begin() + 236, [](auto b) { return !b; }));
    EXPECT_TRUE(std::all_of(reply.begin() + 44, reply.begin() + 108, [](auto b) { return !b; }));
    EXPECT_TRUE(std::all_of(reply.begin() + 236, reply.end(), [](auto b) { return !b; }));
}

TEST(BuildBootpReply, EmptyNameLeavesTheFileFieldZero) {
    const Bytes reply = Build("");
    EXPECT_EQ(reply, ExpectedReply(""));
}

TEST(BuildBootpReply, LongestAcceptedNameKeepsItsTerminator) {
    const std::string name(127, 'n');
    const Bytes reply = Build(name);
    EXPECT_EQ(reply, ExpectedReply(name));
    EXPECT_EQ(reply[108 + 126], 'n');
    EXPECT_EQ(reply[108 + 127], 0);  // the last byte of the file field
    EXPECT_EQ(reply[236], 0);        // vend untouched
}

// Callers refuse such names; if one slips through, the recorder must still find a terminator.
TEST(BuildBootpReply, OverlongNameIsCutSoTheFileFieldStillEnds) {
    for (const std::size_t length : {128u, 129u, 300u}) {
        const Bytes reply = Build(std::string(length, 'n'));
        EXPECT_EQ(reply, ExpectedReply(std::string(127, 'n'))) << length;
    }
}

TEST(BuildBootpReply, AnAnswerCarriesTheRequestsXid) {
    const auto reply = fk::BuildBootpReply(kRecorder, kHost, kMac, "fw_2.bin", {1, 2, 3, 4});
    Bytes expected = ExpectedReply("fw_2.bin");
    std::copy_n(Bytes{1, 2, 3, 4}.begin(), 4, expected.begin() + 4);
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), expected);
}

TEST(BootpReplyDestination, TheRecorderWithItsEntryTheSubnetsBroadcastFlaggedWithout) {
    struct Row {
        fk::Ipv4 fallbackMask, address;
        bool broadcast;
    };
    for (const Row& row : {Row{0, kRecorder, false},              // entry made
                           Row{0xFFFFFF00, 0xC0A80AFF, true},     // /24
                           Row{0xFFFF0000, 0xC0A8FFFF, true},     // /16
                           Row{0xFFFFFFFE, 0xFFFFFFFF, true},     // /31: none of its own
                           Row{0xFFFFFFFF, 0xFFFFFFFF, true}}) {  // /32
        const auto to = fk::BootpReplyDestination(kRecorder, kHost, row.fallbackMask);
        EXPECT_EQ(to.address, row.address) << std::hex << row.fallbackMask;
        EXPECT_EQ(to.broadcast, row.broadcast) << std::hex << row.fallbackMask;
    }
    // The flag is the top bit of the flags field (bytes 10 and 11); nothing else changes.
    auto reply = fk::BuildBootpReply(kRecorder, kHost, kMac, "fw_2.bin");
    fk::SetBootpBroadcastFlag(reply);
    Bytes expected = ExpectedReply("fw_2.bin");
    expected[10] = 0x80;
    EXPECT_EQ(Bytes(reply.begin(), reply.end()), expected);
}

TEST(ParseBootpRequest, TakesTheXidAndMacOfAnEthernetBootRequestOnly) {
    Bytes request(300, 0);
    const Bytes head{1, 1, 6, 0, 9, 8, 7, 6};
    std::copy(head.begin(), head.end(), request.begin());
    std::copy(kMac.begin(), kMac.end(), request.begin() + 28);
    const auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes changed = request;
        changed[at] = value;
        return changed;
    };
    struct Case {
        const char* what;
        Bytes bytes;
        bool parsed;
    };
    const std::vector<Case> cases{
        {"a request", request, true},
        {"the fixed fields only", Bytes(request.begin(), request.begin() + 236), true},
        {"one byte short", Bytes(request.begin(), request.begin() + 235), false},
        {"empty", {}, false},
        {"a reply", with(0, 2), false},
        {"not Ethernet", with(1, 6), false},
        {"a longer hardware address", with(2, 16), false},
    };
    for (const auto& c : cases) {
        const auto parsed = fk::ParseBootpRequest(c.bytes);
        EXPECT_EQ(parsed.has_value(), c.parsed) << c.what;
        if (parsed) {
            EXPECT_EQ(parsed->xid, (fk::BootpXid{9, 8, 7, 6})) << c.what;
            EXPECT_EQ(parsed->mac, kMac) << c.what;
        }
    }
}

}  // namespace
