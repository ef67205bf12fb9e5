#include "upgrade/tftp_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_session.h"
#include "support/tftp_datagrams.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using fk::testing::Ack;
using fk::testing::FakeSessionHost;
using fk::testing::ReadRequest;
namespace fs = std::filesystem;

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return bytes;
}

std::uint16_t BlockOf(const Bytes& packet) {
    return static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
}

class TftpEngineTest : public ::testing::Test, public fk::TftpSink {
  protected:
    struct Sent {
        Bytes bytes;
        fk::platform::Endpoint to;
    };

    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("fk-tftp-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
        sysFilePath = (m_dir / "FW_2.bin").string();  // real case on disk
        dataFilePath = (m_dir / "Font.Fnt").string();
        MakeEngine(std::chrono::milliseconds(3000));
    }
    // Windows removes no folder while an event the host keeps still holds an image open in it.
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    void MakeEngine(std::chrono::milliseconds sendTimeOut, fk::TftpOptions options = {}) {
        options.sendTimeOut = sendTimeOut;
        const bool system = page == fk::ImagePage::System;
        engine =
            std::make_unique<fk::TftpEngine>(fk::ServedFile{page, system ? "fw_2.bin" : "font.fnt",
                                                            system ? sysFilePath : dataFilePath},
                                             images, *this, options);
    }

    fk::platform::SendResult Send(std::span<const std::uint8_t> datagram,
                                  const fk::platform::Endpoint& to) override {
        if (refuseSends) return {-1, 101};
        sent.push_back({{datagram.begin(), datagram.end()}, to});
        return {static_cast<std::ptrdiff_t>(datagram.size()), 0};
    }
    void Report(fk::Ipv4, fk::SessionEvent event) override {
        stops += std::holds_alternative<fk::event::Completed>(event) ||
                 std::holds_alternative<fk::event::Failed>(event) ||
                 std::holds_alternative<fk::event::Unconfirmed>(event);
        host.OnEvent(event);
    }

    void WriteFile(const std::string& path, const Bytes& content) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
    }
    void WriteSparse(const std::string& path, off_t size) {
        WriteFile(path, {});
        ASSERT_EQ(truncate(path.c_str(), size), 0);
    }

    void Receive(const Bytes& datagram, fk::platform::Endpoint from) {
        engine->OnDatagram(datagram, from, now);
    }
    void Receive(const Bytes& datagram) { Receive(datagram, peer); }
    // The resend time-out, as if it had come due.
    void SendTimeOutTimer() {
        if (const auto due = engine->Deadline()) {
            now = std::max(now, *due);
            engine->OnDeadline(now);
        }
    }
    // Every timer, as they come due, until none is left (or a bound).
    void RunTimers() {
        for (int n = 0; n < 1000 && engine->Deadline(); ++n) SendTimeOutTimer();
    }
    // The recorder confirms every block up to last, one after the other; only the last packet
    // sent is kept.
    void ConfirmUpTo(int last) {
        for (int ack = 1; ack <= last; ++ack) {
            Receive(Ack(static_cast<std::uint16_t>(ack)));
            if (sent.size() > 1) sent.erase(sent.begin(), sent.end() - 1);
        }
    }
    const Bytes& LastSent() { return sent.back().bytes; }
    std::vector<std::string> Statuses() {
        std::vector<std::string> lines;
        for (const auto& line : host.Log())
            if (line.rfind("status:", 0) == 0 || line.rfind("progress:", 0) == 0)
                lines.push_back(line);
        return lines;
    }
    bool Announcing() const { return !engine->ReadRequestSeen(); }

    fk::ImagePage page = fk::ImagePage::System;
    std::string sysFilePath, dataFilePath;
    fk::FileImageStore images;
    FakeSessionHost host;
    std::vector<Sent> sent;
    bool refuseSends = false;
    int stops = 0;
    fk::TftpEngine::Clock::time_point now = fk::TftpEngine::Clock::now();
    fk::platform::Endpoint peer{0xC0A80A02, 2070};
    std::unique_ptr<fk::TftpEngine> engine;

  private:
    fs::path m_dir;
};

TEST_F(TftpEngineTest, ServesA1000ByteImageAndCompletesOnlyWhenTheFinalBlockIsAcknowledged) {
    const Bytes image = Pattern(1000);
    WriteFile(sysFilePath, image);

    Receive(ReadRequest("FW_2.BIN"));  // letter case does not matter
    EXPECT_FALSE(Announcing());
    ASSERT_EQ(sent.size(), 1u);
    const Bytes& header = sent[0].bytes;
    ASSERT_EQ(header.size(), 516u);
    EXPECT_EQ(
        Bytes(header.begin(), header.begin() + 24),
        (Bytes{0, 3, 0, 1, 0x20, 3, 4, 9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 3, 0xE8}));
    EXPECT_EQ(sent[0].to, peer);

    Receive(Ack(1));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(BlockOf(LastSent()), 2);
    EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()),
              Bytes(image.begin(), image.begin() + 512));

    Receive(Ack(2));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(LastSent().size(), 492u);
    EXPECT_EQ(BlockOf(LastSent()), 3);
    EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()),
              Bytes(image.begin() + 512, image.end()));
    // The final block may still be lost: the port stays open and the resend timer runs.
    EXPECT_EQ(stops, 0);
    EXPECT_FALSE(engine->Ended());
    EXPECT_TRUE(engine->Deadline().has_value());

    Receive(Ack(3));
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(engine->Ended());
    EXPECT_FALSE(engine->Deadline().has_value());
    // 99 for the final block in flight, unless it came too soon after 66 to be worth showing.
    auto log = host.Log();
    std::erase_if(log, [](const std::string& line) { return line.find("99") != line.npos; });
    EXPECT_EQ(log, (std::vector<std::string>{"progress:66", "status:Upload 66 (%) Completed",
                                             "progress:100", "status:Upload 100 (%) Completed",
                                             "status:Uploading Completed", "cue:2"}));
    // The recorder's repeat of its last acknowledgement after the end changes nothing.
    Receive(Ack(3));
    EXPECT_EQ(stops, 1);
}

// The file is read ahead in large pieces: block after block, and from the start again for a
// recorder that asks anew, every block carries the bytes at its own place.
TEST_F(TftpEngineTest, EveryBlockCarriesTheImageBytesAtItsPlace) {
    const Bytes image = Pattern(200'000);
    WriteFile(sysFilePath, image);
    for (const int last : {391, 3}) {
        Receive(ReadRequest("fw_2.bin"));
        for (int ack = 1; ack <= last; ++ack) {
            SCOPED_TRACE(ack);
            Receive(Ack(static_cast<std::uint16_t>(ack)));
            ASSERT_EQ(BlockOf(LastSent()), ack + 1);
            const auto begin = image.begin() + (ack - 1) * 512;
            EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()),
                      Bytes(begin, std::min(begin + 512, image.end())));
        }
    }
}

// A device at the recorder's address that acknowledges blocks it was never sent must not skip
// the image and end in "completed": only the block on the wire can be confirmed.
TEST_F(TftpEngineTest, AcknowledgementsOfBlocksNeverSentMoveNothing) {
    MakeEngine(std::chrono::milliseconds(2));
    WriteFile(sysFilePath, Pattern(200'000));  // 392 blocks with the header block
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(65535));
    Receive(Ack(1));
    for (const std::uint16_t forged : {391, 392, 3, 0}) Receive(Ack(forged));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(engine->BlockNo(), 2);
    RunTimers();
    EXPECT_EQ(host.Count("status:Uploading Completed"), 0u);
    EXPECT_EQ(host.Count("status:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)"), 1u);
    std::uint64_t served = 0;
    for (const auto& event : host.Events()) {
        if (const auto* block = std::get_if<fk::event::BlockServed>(&event))
            served += block->length;
        if (const auto* acked = std::get_if<fk::event::Acknowledged>(&event)) {
            EXPECT_EQ(acked->blockNo, 1);
        }
    }
    EXPECT_EQ(served, 512u);
}

TEST_F(TftpEngineTest, BlockAlignedImageEndsWithAnEmptyBlockAndProgressStaysAt100) {
    WriteFile(sysFilePath, Pattern(1024));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    Receive(Ack(2));
    EXPECT_EQ(LastSent().size(), 516u);
    Receive(Ack(3));
    EXPECT_EQ(LastSent(), (Bytes{0, 3, 0, 4}));
    EXPECT_EQ(stops, 0);
    Receive(Ack(4));
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(host.Count("progress:100"), 1u);
    EXPECT_EQ(host.Log()[host.Log().size() - 3], "status:Upload 100 (%) Completed");
    for (const auto& line : host.Log()) EXPECT_NE(line, "progress:133");
}

TEST_F(TftpEngineTest, EmptyImageAnnouncesSizeZeroAndEndsWithAnEmptyBlock2) {
    WriteFile(sysFilePath, {});
    Receive(ReadRequest("fw_2.bin"));
    EXPECT_EQ(Bytes(sent[0].bytes.begin() + 20, sent[0].bytes.begin() + 24), (Bytes{0, 0, 0, 0}));
    Receive(Ack(1));
    EXPECT_EQ(LastSent(), (Bytes{0, 3, 0, 2}));
    EXPECT_EQ(stops, 0);
    Receive(Ack(2));
    EXPECT_EQ(stops, 1);
}

// A lost final block, or a lost acknowledgement of it, must never end as a success; nor as a
// failure that invites a power cycle, since the recorder may be writing its flash. (Its
// acknowledgement after a resend completes the upload: LostFinalAckRecoveredByTheResend.)
TEST_F(TftpEngineTest, FinalBlockIsResentAndItsLossEndsUnconfirmed) {
    MakeEngine(std::chrono::milliseconds(2));
    WriteFile(sysFilePath, Pattern(1000));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    Receive(Ack(2));
    // The recorder's acknowledgement of the block before the final one, repeated, changes nothing.
    Receive(Ack(2));
    RunTimers();

    ASSERT_EQ(sent.size(), 3u + fk::kMaxResends);
    for (std::size_t n = 2; n < sent.size(); ++n) {
        EXPECT_EQ(sent[n].bytes, sent[2].bytes);
        EXPECT_EQ(sent[n].bytes.size(), 492u);
    }
    const auto log = host.Log();
    EXPECT_EQ(host.Count("cue:2"), 0u);
    EXPECT_EQ(host.Count("progress:100"), 0u);
    EXPECT_EQ(host.Count("status:Uploading Completed"), 0u);
    EXPECT_EQ(host.Count("status:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)"), 0u);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "status:Upload not confirmed: do not switch the recorder off");
    EXPECT_EQ(log.back().rfind("box:Every block of the image was sent", 0), 0u);
    EXPECT_TRUE(std::holds_alternative<fk::event::Unconfirmed>(host.Events().back()));
    EXPECT_EQ(stops, 1);
}

// A recorder may prepare its flash before it acknowledges the header block: that block is resent
// for as long as the operator lets it, or for the wait a front end gives.
TEST_F(TftpEngineTest, HeaderBlockIsResentWithoutALimitOrForTheWaitGiven) {
    MakeEngine(std::chrono::milliseconds(2));
    WriteFile(sysFilePath, Pattern(1000));
    Receive(ReadRequest("fw_2.bin"));
    for (int n = 0; n < 3 * fk::kMaxResends; ++n) SendTimeOutTimer();
    EXPECT_EQ(sent.size(), 1u + 3 * fk::kMaxResends);
    EXPECT_EQ(stops, 0);
    EXPECT_EQ(Statuses().back(),
              "status:retry transfer " + std::to_string(3 * fk::kMaxResends - 1));
    // The recorder answers at last: the transfer goes on, and later blocks have the limit.
    Receive(Ack(1));
    EXPECT_EQ(BlockOf(LastSent()), 2);
    RunTimers();
    EXPECT_EQ(host.Count("status:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)"), 1u);

    sent.clear();
    host.Clear();
    stops = 0;
    fk::TftpOptions bounded;
    bounded.headerWait = std::chrono::milliseconds(100);
    MakeEngine(std::chrono::milliseconds(30), bounded);
    Receive(ReadRequest("fw_2.bin"));
    RunTimers();
    EXPECT_EQ(sent.size(), 4u);  // at 30, 60 and 90 ms; at 120 the wait is over
    EXPECT_EQ(stops, 1);
    const auto events = host.Events();
    const auto* failed = std::get_if<fk::event::Failed>(&events.back());
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->reason, fk::event::Failed::Reason::HeaderWait);
}

TEST_F(TftpEngineTest, DataImageIsAnnouncedAsKind2AndServedFromTheDataPath) {
    page = fk::ImagePage::Data;
    MakeEngine(std::chrono::milliseconds(3000));
    WriteFile(dataFilePath, Pattern(10));
    Receive(ReadRequest("font.fnt"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[4 + 15], 2);
    Receive(Ack(1));
    EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()), Pattern(10));
}

TEST_F(TftpEngineTest, WrongNameStopsTheAnnouncementsButARightOneIsStillServed) {
    WriteFile(sysFilePath, Pattern(100));
    Receive(ReadRequest("other.bin"));
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(Announcing());
    EXPECT_FALSE(engine->TransferAccepted());
    EXPECT_EQ(Statuses(), (std::vector<std::string>{
                              "status:Tftp file request error: file name is not same between "
                              "Bootp and Tftp."}));
    // A name that only starts like the boot file name is another name.
    Receive(ReadRequest("fw_2.bin.old"));
    EXPECT_TRUE(sent.empty());

    Receive(ReadRequest("fw_2.bin"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(BlockOf(LastSent()), 1);
    EXPECT_TRUE(engine->TransferAccepted());
}

// Answering a repeated acknowledgement would put every later block on the wire twice, as the
// recorder acknowledges each copy: only the resend timer repeats a block.
TEST_F(TftpEngineTest, RepeatedAcknowledgementSendsNothingAndOnlyTheTimerResends) {
    const Bytes image = Pattern(5000);  // 10 blocks, total 11
    WriteFile(sysFilePath, image);
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    Receive(Ack(1));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(Statuses(),
              (std::vector<std::string>{"progress:18", "status:Upload 18 (%) Completed"}));

    SendTimeOutTimer();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].bytes, sent[1].bytes);
    // The recorder acknowledges the resent copy as well: one answer for the two.
    Receive(Ack(2));
    Receive(Ack(2));
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(BlockOf(LastSent()), 3);
    EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()),
              Bytes(image.begin() + 512, image.begin() + 1024));
}

TEST_F(TftpEngineTest, AckOfZeroResendsTheHeaderOnce) {
    WriteFile(sysFilePath, Pattern(100));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(0));
    Receive(Ack(0));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].bytes, sent[0].bytes);
    EXPECT_EQ(engine->BlockNo(), 1);
}

TEST_F(TftpEngineTest, ErrorAndUnknownOpcodesAreReportedWriteRequestsAndDataIgnored) {
    WriteFile(sysFilePath, Pattern(100));
    Receive({0, 5, 0, 1, 'x', 0});
    Receive({0, 2, 'a', 0});
    Receive({0, 3, 0, 1, 1, 2});
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(host.Log(), (std::vector<std::string>{"status:Tftp error received"}));
    EXPECT_TRUE(Announcing());
}

// A flood of junk on port 69 (unknown opcodes, requests for other names) would otherwise give
// one red status and one error cue each: reports of stray datagrams are spaced out.
TEST_F(TftpEngineTest, StrayDatagramsAreReportedAtMostOncePerInterval) {
    WriteFile(sysFilePath, Pattern(100));
    for (int n = 0; n < 1000; ++n) {
        Receive({0, static_cast<std::uint8_t>(5 + n % 200), 1, 2, 3});
        Receive(ReadRequest("junk" + std::to_string(n)));
    }
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"status:Tftp error received"}));
    EXPECT_TRUE(sent.empty());

    now += fk::kStrayReportInterval + std::chrono::milliseconds(20);
    Receive(ReadRequest("other.bin"));
    EXPECT_EQ(Statuses().back(),
              "status:Tftp file request error: file name is not same between Bootp and Tftp.");
    EXPECT_EQ(Statuses().size(), 2u);
    // The right name is served whatever came before it.
    Receive(ReadRequest("fw_2.bin"));
    EXPECT_EQ(sent.size(), 1u);
}

TEST_F(TftpEngineTest, TruncatedDatagramsAreIgnored) {
    WriteFile(sysFilePath, Pattern(100));
    Receive({});
    Receive({4});
    Receive(ReadRequest("fw_2.bin"));
    Receive({0, 4, 0});  // an acknowledgement without its block number
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(engine->BlockNo(), 1);
    EXPECT_TRUE(Statuses().empty());
}

TEST_F(TftpEngineTest, AcknowledgementBeforeAnyReadRequestIsIgnored) {
    Receive(Ack(1));
    Receive(Ack(65535));
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(stops, 0);
    EXPECT_TRUE(host.Log().empty());
}

TEST_F(TftpEngineTest, FileDeletedMidTransferGivesTheOpenErrorAndSendsNothing) {
    WriteFile(sysFilePath, Pattern(2000));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    fs::remove(sysFilePath);
    Receive(Ack(2));
    EXPECT_EQ(sent.size(), 2u);
    const std::string text = "File (" + sysFilePath + ") Open Error (Error Code = 2)";
    EXPECT_EQ(host.Count("status:" + text), 1u);
    EXPECT_EQ(host.Count("box:" + text + "|"), 1u);
    EXPECT_EQ(stops, 0);
}

TEST_F(TftpEngineTest, UnmeasurableImageIsAnnouncedAsEmptyWithoutAPercentage) {
    Receive(ReadRequest("fw_2.bin"));
    EXPECT_EQ(host.Log(), (std::vector<std::string>{"box:Image file open error|File open error"}));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[4 + 19], 0);
    Receive(Ack(1));
    EXPECT_EQ(sent.size(), 1u);
    for (const auto& line : host.Log()) EXPECT_NE(line.rfind("progress:", 0), 0u) << line;
}

// A send that fails (the card went down for a moment) must not leave the transfer waiting for
// an acknowledgement of a block the recorder never got.
TEST_F(TftpEngineTest, FailedSendIsReportedAndTheResendTimerRepeatsThatBlock) {
    const Bytes image = Pattern(2000);
    WriteFile(sysFilePath, image);
    Receive(ReadRequest("fw_2.bin"));
    refuseSends = true;
    Receive(Ack(1));
    EXPECT_EQ(Statuses().back(), "status:Data transfer error");
    EXPECT_TRUE(engine->Deadline().has_value());
    refuseSends = false;
    SendTimeOutTimer();
    EXPECT_EQ(BlockOf(LastSent()), 2);
    EXPECT_EQ(Bytes(LastSent().begin() + 4, LastSent().end()),
              Bytes(image.begin(), image.begin() + 512));
    EXPECT_EQ(Statuses().back(), "status:retry transfer 0");
}

TEST_F(TftpEngineTest, LargestServableImagesEndAtBlock65535) {
    WriteSparse(sysFilePath, 65534 * 512 - 1);
    Receive(ReadRequest("fw_2.bin"));
    ConfirmUpTo(65534);
    EXPECT_EQ(BlockOf(LastSent()), 65535);
    EXPECT_EQ(LastSent().size(), 4u + 511);
    Receive(Ack(65535));
    EXPECT_EQ(stops, 1);
}

TEST_F(TftpEngineTest, BlockAlignedLargestImageEndsWithAnEmptyBlock65535) {
    WriteSparse(sysFilePath, 65533 * 512);
    Receive(ReadRequest("fw_2.bin"));
    ConfirmUpTo(65534);
    EXPECT_EQ(LastSent(), (Bytes{0, 3, 0xFF, 0xFF}));
    Receive(Ack(65535));
    EXPECT_EQ(stops, 1);
}

TEST_F(TftpEngineTest, TooLargeImageWrapsToTheSeekErrorAtBlock0) {
    WriteSparse(sysFilePath, 65534 * 512);
    Receive(ReadRequest("fw_2.bin"));
    ConfirmUpTo(65534);
    EXPECT_EQ(LastSent().size(), 516u);
    Receive(Ack(65535));
    EXPECT_EQ(host.Count("status:File (" + sysFilePath + ") Read Error, fseek() block = 0"), 1u);
    EXPECT_EQ(stops, 0);
}

TEST_F(TftpEngineTest, RecorderSilentAfterTheHeaderGetsTwentyResendsThenTheSendTimeOut) {
    MakeEngine(std::chrono::milliseconds(2));
    WriteFile(sysFilePath, Pattern(2000));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    host.Clear();
    RunTimers();

    ASSERT_EQ(sent.size(), 22u);
    for (std::size_t n = 1; n < sent.size(); ++n) EXPECT_EQ(sent[n].bytes, sent[1].bytes);
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) expected.push_back("status:retry transfer " + std::to_string(i));
    expected.push_back("status:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)");
    expected.push_back(
        "box:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)|FlashPilot Transmission Error");
    EXPECT_EQ(host.Log(), expected);
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(engine->Ended());
    EXPECT_FALSE(engine->Deadline().has_value());
}

// The resend limit counts the resends of one block: only a block the recorder confirms for the
// first time, or a new read request, starts the count afresh.
TEST_F(TftpEngineTest, OnlyProgressOrANewRequestRestartsTheResendCount) {
    WriteFile(sysFilePath, Pattern(3000));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    Receive(Ack(2));  // block 3 in flight
    struct Step {
        const char* what;
        Bytes datagram;
        int countAfter;
    };
    const std::vector<Step> steps{
        {"the repeat of the acknowledgement answered", Ack(2), 2},
        {"an acknowledgement that goes back", Ack(1), 2},
        {"an acknowledgement of a block never sent", Ack(40), 2},
        {"an acknowledgement of block 0", Ack(0), 2},
        {"the recorder confirms the block in flight", Ack(3), 0},
        {"the block already confirmed, again", Ack(3), 2},
        {"a new read request", ReadRequest("fw_2.bin"), 0},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        SendTimeOutTimer();
        SendTimeOutTimer();
        const int before = engine->RetryCount();
        Receive(step.datagram);
        EXPECT_EQ(engine->RetryCount(), step.countAfter == 0 ? 0 : before);
    }
}

// A block that cannot be read sends nothing; the recorder repeating its acknowledgements must not
// keep the upload alive for ever.
TEST_F(TftpEngineTest, UnreadableBlockEndsInTheSendTimeOutWhateverTheRecorderSends) {
    WriteFile(sysFilePath, Pattern(3000));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    fs::remove(sysFilePath);
    Receive(Ack(2));
    const std::string openError = "status:File (" + sysFilePath + ") Open Error (Error Code = 2)";
    ASSERT_EQ(host.Count(openError), 1u);
    int ticks = 0;
    while (!engine->Ended() && ticks < 100) {
        SendTimeOutTimer();
        ++ticks;
        if (engine->Ended()) break;
        Receive(Ack(2));  // re-acknowledges the resent block 2
        Receive(Ack(1));
        Receive(Ack(2));
    }
    EXPECT_EQ(ticks, fk::kMaxResends + 1);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(host.Count("status:retry transfer " + std::to_string(fk::kMaxResends - 1)), 1u);
    EXPECT_EQ(host.Count("status:TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)"), 1u);
    EXPECT_EQ(host.Count("cue:2"), 0u);
}

TEST_F(TftpEngineTest, AckTimeOutEndsTheUploadWithItsBox) {
    engine->OnAckTimeOut();
    EXPECT_EQ(host.Log(),
              (std::vector<std::string>{
                  "status:TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)",
                  "box:TFTP TRANSMISSION TIME OUT ERROR(ACK TIME OUT)|FlashPilot Transmission "
                  "Error"}));
    EXPECT_TRUE(engine->Ended());
}

TEST_F(TftpEngineTest, ReceiveFailingOnItsOwnStopsTheUploadAndSaysSo) {
    engine->OnReceiveFailed(104);
    EXPECT_EQ(host.Log(),
              (std::vector<std::string>{"status:Step 2: Tftp receive data error: error code (104)",
                                        "box:Step 2: Tftp receive data error: error code (104)|"}));
    EXPECT_EQ(stops, 1);
}

// Once a transfer runs, only its recorder counts, and only from the port it asked from (RFC
// 1350's transfer ID): anything from another port moves nothing and is answered with ERROR 5. A
// boot loader that changed its source port is followed once its old port has been silent for a
// resend interval and the new port acknowledged the block in flight; a sweep of acknowledgements
// from a host that holds the recorder's address completes nothing.
TEST_F(TftpEngineTest, OnlyTheTransfersPortMovesItAndASilentRecordersNewPortIsFollowed) {
    using namespace std::chrono_literals;
    const Bytes image = Pattern(3000);  // blocks 2 to 7, 7 the final
    WriteFile(sysFilePath, image);
    const fk::platform::Endpoint samePortElsewhere{0x0A000005, peer.port};
    const fk::platform::Endpoint sweeper{peer.address, 3000};
    const fk::platform::Endpoint newPort{peer.address, 3001};
    const fk::platform::Endpoint fourthPort{peer.address, 3002};
    const auto isError = [](const Sent& packet) { return packet.bytes[1] == 5; };
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));  // block 2 in flight
    struct Step {
        const char* what;
        Bytes datagram;
        fk::platform::Endpoint from;
        std::chrono::milliseconds later;  // after the step before
        std::uint16_t blockAfter;
        fk::platform::Endpoint dataTo;  // where the last DATA went
        bool refused;                   // answered with "Unknown transfer ID"
    };
    const std::vector<Step> steps{
        {"another address's acknowledgement", Ack(2), samePortElsewhere, 0ms, 2, peer, false},
        {"another address's read request", ReadRequest("fw_2.bin"), samePortElsewhere, 0ms, 2, peer,
         false},
        {"a read request from another port while the recorder is heard", ReadRequest("fw_2.bin"),
         sweeper, 0ms, 2, peer, false},
        {"the block in flight from another port", Ack(2), sweeper, 0ms, 2, peer, true},
        {"the sweep goes on from that port", Ack(3), sweeper, 0ms, 2, peer, true},
        {"the sweeper is not followed after a silence", Ack(4), sweeper, 3000ms, 2, peer, true},
        {"the block in flight from a new port after a silence", Ack(2), newPort, 0ms, 3, newPort,
         true},
        {"a stale acknowledgement from the old port", Ack(2), peer, 0ms, 3, newPort, true},
        {"an ERROR from a fourth port", {0, 5, 0, 0, 0}, fourthPort, 0ms, 3, newPort, true},
        {"the recorder goes on from its new port", Ack(3), newPort, 0ms, 4, newPort, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const std::size_t before = sent.size();
        now += step.later;
        Receive(step.datagram, step.from);
        EXPECT_EQ(engine->BlockNo(), step.blockAfter);
        const auto data = std::find_if(sent.rbegin(), sent.rend(),
                                       [&](const Sent& packet) { return !isError(packet); });
        EXPECT_EQ(data->to, step.dataTo);
        const auto refusal =
            std::find_if(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end(), isError);
        EXPECT_EQ(refusal != sent.end(), step.refused);
        if (refusal != sent.end()) {
            EXPECT_EQ(refusal->to, step.from);
        }
    }
    for (const std::uint16_t block : {4, 5, 6}) Receive(Ack(block), newPort);
    now += 3000ms;
    Receive(Ack(7), fourthPort);  // the final block counts only from the transfer's port
    EXPECT_EQ(stops, 0);
    Receive(Ack(7), newPort);
    EXPECT_EQ(stops, 1);
    EXPECT_EQ(host.Count("cue:2"), 1u);
    Bytes served;
    for (std::size_t n = 1; n < sent.size(); ++n) {
        if (isError(sent[n]) || BlockOf(sent[n].bytes) < 2) continue;
        served.insert(served.end(), sent[n].bytes.begin() + 4, sent[n].bytes.end());
    }
    EXPECT_EQ(served, image);
}

// A port change while the recorder has not confirmed the header block (it may be erasing its flash
// for minutes) is never followed; a flood from other ports gets a few answers a second.
TEST_F(TftpEngineTest, NoNewPortDuringTheHeaderWaitAndFewRefusalsToAFlood) {
    WriteFile(sysFilePath, Pattern(1500));
    Receive(ReadRequest("fw_2.bin"));
    now += std::chrono::minutes(2);
    for (std::uint16_t port = 4000; port < 4100; ++port) Receive(Ack(1), {peer.address, port});
    EXPECT_EQ(engine->BlockNo(), 1);
    EXPECT_EQ(sent.size(), 1u + fk::kUnknownTransferIdReplies);
    Receive(Ack(1));
    EXPECT_EQ(engine->BlockNo(), 2);
    EXPECT_EQ(sent.back().to, peer);
}

// A read request from the recorder itself (it restarted, and its old port fell silent) starts
// its transfer afresh, from its new port too.
TEST_F(TftpEngineTest, TheRecorderAskingAgainIsServedAfreshFromItsNewPort) {
    WriteFile(sysFilePath, Pattern(1500));
    const fk::platform::Endpoint newPort{peer.address, 3000};
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    now += std::chrono::milliseconds(3000);
    Receive(ReadRequest("fw_2.bin"), newPort);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(BlockOf(sent[2].bytes), 1);
    EXPECT_EQ(sent[2].to, newPort);
    Receive(Ack(1), newPort);
    EXPECT_EQ(BlockOf(LastSent()), 2);
    EXPECT_EQ(LastSent(), sent[1].bytes);
}

// A stray datagram (a scan, a second client) between a send and its resend must not take the
// resend away from the recorder.
TEST_F(TftpEngineTest, ResendGoesWhereTheLastPacketWentDespiteAStrayDatagram) {
    WriteFile(sysFilePath, Pattern(1500));
    Receive(ReadRequest("fw_2.bin"));
    Receive(Ack(1));
    Receive(Bytes{0, 9, 'x'}, {0x0A000005, 3000});
    SendTimeOutTimer();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].to, peer);
    EXPECT_EQ(sent[2].bytes, sent[1].bytes);
}

// Whatever happens to the file between two blocks must not reach the recorder as a mix of two
// files, or as a short image that ends in "Uploading Completed".
TEST_F(TftpEngineTest, FileChangedMidTransferIsReportedAndNothingMoreIsSent) {
    const Bytes image = Pattern(5000);
    struct Case {
        const char* what;
        std::function<void(const std::string&)> change;
    };
    const std::vector<Case> cases{
        {"cut at a block boundary", [](const std::string& path) { fs::resize_file(path, 1024); }},
        {"cut inside a block", [](const std::string& path) { fs::resize_file(path, 1300); }},
        {"grown", [](const std::string& path) { fs::resize_file(path, 6000); }},
        {"replaced by another file of the same size",
         [&](const std::string& path) {
             WriteFile(path + ".new", Pattern(5001));
             fs::resize_file(path + ".new", 5000);
             fs::rename(path + ".new", path);
         }},
        {"rewritten in place, same size",
         [&](const std::string& path) {
             std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
             file.seekp(3000);
             file.put('x');
             file.close();
             // The test is faster than the clock's granularity on some file systems.
             const auto later = fs::last_write_time(path) + std::chrono::seconds(1);
             fs::last_write_time(path, later);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MakeEngine(std::chrono::milliseconds(3000));
        sent.clear();
        host.Clear();
        WriteFile(sysFilePath, image);
        Receive(ReadRequest("fw_2.bin"));
        Receive(Ack(1));
        Receive(Ack(2));
        ASSERT_EQ(sent.size(), 3u);
        c.change(sysFilePath);
        Receive(Ack(3));
        Receive(Ack(3));
        Receive(Ack(2));
        EXPECT_EQ(sent.size(), 3u);
        const std::string text =
            "File (" + sysFilePath + ") Read Error, the file changed during the upload";
        EXPECT_EQ(host.Count("status:" + text), 1u);
        EXPECT_EQ(host.Count("box:" + text + "|"), 1u);
        EXPECT_EQ(stops, 0);
    }
}

}  // namespace
