#include "net/arp_entry.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/fakes.h"
#include "upgrade/recorder_entries.h"

namespace {

constexpr fk::MacAddress kRecorder{0x02, 0x5E, 0xA1, 0x1A, 0x2B, 0x3C};
constexpr fk::Ipv4 kRecorderAddress = 0xC0A8000B;  // 192.168.0.11

struct ArpEntryTest : ::testing::Test {
    fk::testing::FakeNeighbourTable table;
    std::vector<std::string> lines;
    fk::DeviceArpEntry entry{table, [this](const std::string& line) { lines.push_back(line); }};
};

TEST_F(ArpEntryTest, AddBindsTheAddressToTheMacOnTheGivenCardAndDeleteRemovesIt) {
    entry.Set(5, kRecorderAddress, kRecorder, true);
    ASSERT_EQ(table.Entries().size(), 1u);
    EXPECT_EQ(table.Entries()[0].ifindex, 5);
    EXPECT_EQ(table.Entries()[0].address, kRecorderAddress);
    EXPECT_EQ(table.Entries()[0].mac, kRecorder);

    entry.Set(5, kRecorderAddress, kRecorder, false);
    EXPECT_TRUE(table.Entries().empty());
    EXPECT_TRUE(lines.empty());
}

TEST_F(ArpEntryTest, DeletingAMissingEntryIsNoFailure) {
    // StopUpload deletes 0.0.0.0 and, before the first upload, an address never added.
    entry.Set(5, 0, kRecorder, false);
    entry.Set(5, kRecorderAddress, kRecorder, false);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(table.Calls().size(), 2u);
}

TEST_F(ArpEntryTest, RefusedChangesAreReportedOncePerUpload) {
    table.refuse = true;
    for (int turn = 0; turn < 100; ++turn) entry.Set(5, kRecorderAddress, kRecorder, true);
    entry.Set(5, kRecorderAddress, kRecorder, false);
    EXPECT_EQ(table.Calls().size(), 101u);  // every turn still asks the system
    EXPECT_EQ(lines, std::vector<std::string>{"Arp error - Operation not permitted\n"});

    entry.ResetErrorReport();
    EXPECT_EQ(entry.Set(5, kRecorderAddress, kRecorder, true), 1);
    entry.Set(5, kRecorderAddress, kRecorder, true);
    EXPECT_EQ(lines.size(), 2u);

    // An address another device holds is the caller's to tell: its own error, and no line.
    entry.ResetErrorReport();
    table.addRefusal = EADDRINUSE;
    EXPECT_EQ(entry.Set(5, kRecorderAddress, kRecorder, true), EADDRINUSE);
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(ArpEntryTest, ReportIsWrittenOnceWhenManyThreadsFail) {
    table.refuse = true;
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([this] {
            for (int turn = 0; turn < 50; ++turn) entry.Set(5, kRecorderAddress, kRecorder, true);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(lines.size(), 1u);
}

// Every front end's entries: a held address is the session's to tell, an entry that cannot be made
// here is told once per upload, and only then do the boot replies fall back to the card's subnet.
TEST_F(ArpEntryTest, RecorderEntriesTellEachRefusalOncePerUploadAndFallBackOnlyWhenNoneCanBeMade) {
    std::vector<std::string> told;
    fk::RecorderEntries entries(table, {[&](const std::string& line) { told.push_back(line); },
                                        [&] { told.push_back("cannot make"); }});
    entries.SetCardMask(0xFFFFFF00);
    table.held.insert(kRecorderAddress);
    const std::vector<fk::platform::NeighbourTable::Wanted> bench{
        {kRecorderAddress, kRecorder}, {kRecorderAddress + 1, kRecorder}};
    for (int turn = 0; turn < 3; ++turn) {
        EXPECT_EQ(entries.AddDeviceArpEntries(5, bench), (std::vector<int>{EADDRINUSE, 0}));
    }
    EXPECT_EQ(entries.BroadcastFallbackMask(), 0u);
    EXPECT_TRUE(told.empty());

    table.refuse = true;
    entries.ResetErrorReport();
    for (int turn = 0; turn < 3; ++turn)
        EXPECT_EQ(entries.SetDeviceArpEntry(5, kRecorderAddress, kRecorder, true), 1);
    EXPECT_EQ(entries.BroadcastFallbackMask(), 0xFFFFFF00u);
    EXPECT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "cannot make");
    entries.SetCardMask(0);
    EXPECT_EQ(entries.BroadcastFallbackMask(), 0u);
}

}  // namespace
