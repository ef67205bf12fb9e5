// The upload history: what is written and read back, and that a database that cannot be
// written never holds an upload up.

#include "history/upload_history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "feedback/operator_feedback.h"
#include "history/recording_host.h"
#include "history/sha256.h"
#include "support/fake_session.h"
#include "upgrade/served_image.h"

namespace {

namespace fs = std::filesystem;
using fk::history::UploadHistory;
using Clock = std::chrono::steady_clock;

class UploadHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("fk-history-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
    }
    // Windows removes no folder while an event the host keeps still holds an image open in it.
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string Path() const { return (m_dir / "state" / "history.sqlite3").string(); }

    static fk::history::UploadStart Start(const std::string& mac) {
        return {"flashkit-cli", "fkp0", "192.168.77.1", "192.168.77.2", mac, "/tmp/fw.bin",
                "system",       1000};
    }
    static fk::history::UploadEnd End(const char* outcome) {
        return {outcome, "Uploading Completed", 1000, 1000, "ab", 3, 1};
    }

    // The lines the history says, collected.
    UploadHistory::ErrorSink Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(m_linesMutex);
            m_lines.push_back(line);
        };
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(m_linesMutex);
        return m_lines;
    }

    fs::path m_dir;
    std::mutex m_linesMutex;
    std::vector<std::string> m_lines;
};

TEST_F(UploadHistoryTest, RowsAreWrittenAtBeginAndEndAndReadBackFiltered) {
    UploadHistory history(Path(), Sink());
    const auto first = history.Begin(Start("02:5e:a1:30:01:01"));
    const auto second = history.Begin(Start("02:5e:a1:80:00:01"));
    history.Flush();
    // Running until its end is written: a program that dies leaves it so.
    auto rows = fk::history::ReadHistory(Path(), {});
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_EQ(rows.rows[0].end.outcome, "running");
    EXPECT_TRUE(rows.rows[0].ended.empty());

    history.Finish(first, End("completed"));
    history.Finish(second, End("interrupted"));
    history.Flush();
    rows = fk::history::ReadHistory(Path(), {"30:01:01", ""});
    ASSERT_TRUE(rows.ok) << rows.error;
    ASSERT_EQ(rows.rows.size(), 1u);
    const auto& row = rows.rows[0];
    EXPECT_EQ(row.start.recorderMac, "02:5e:a1:30:01:01");
    EXPECT_EQ(row.start.card, "fkp0");
    EXPECT_EQ(row.end.outcome, "completed");
    EXPECT_EQ(row.end.sha256, "ab");
    EXPECT_EQ(row.end.blocks, 3u);
    EXPECT_EQ(row.end.resends, 1u);
    EXPECT_FALSE(row.ended.empty());
    EXPECT_LE(row.started, row.ended);
    // Times compare as text: nothing started after the far future, all after the epoch.
    EXPECT_TRUE(fk::history::ReadHistory(Path(), {"", "9999"}).rows.empty());
    EXPECT_EQ(fk::history::ReadHistory(Path(), {"", fk::history::UtcTimeText(0)}).rows.size(), 2u);
    EXPECT_TRUE(Lines().empty());
}

TEST_F(UploadHistoryTest, ALockedDatabaseNeverHoldsTheUploadUpAndIsSaidOnce) {
    {
        UploadHistory history(Path());
        history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
    }
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    {
        UploadHistory history(Path(), Sink());
        const auto before = Clock::now();
        for (int n = 0; n < 2; ++n) {
            history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
        }
        EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(50));
        history.Flush();
    }
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("locked"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(Path()), std::string::npos) << lines[0];
    EXPECT_EQ(fk::history::ReadHistory(Path(), {}).rows.size(), 1u);
}

TEST_F(UploadHistoryTest, AnUnwritablePlaceOrANewerSchemaIsSaidOnceAndNothingIsWritten) {
    fs::create_directories(m_dir);
    {
        // Its folder would have to be made inside a plain file.
        std::ofstream(m_dir / "file");
        UploadHistory history((m_dir / "file" / "history.sqlite3").string(), Sink());
        history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
        history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
    }
    ASSERT_EQ(Lines().size(), 1u);
    {
        UploadHistory history(Path());
        history.Begin(Start("02:5e:a1:30:01:01"));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    {
        UploadHistory history(Path(), Sink());
        history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
    }
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("newer FlashKit"), std::string::npos) << lines[1];
    const auto read = fk::history::ReadHistory(Path(), {});
    EXPECT_FALSE(read.ok);
    EXPECT_TRUE(read.rows.empty());
}

// A program killed mid-upload leaves its row running; read back, it is interrupted, while the row
// of a program still running, or one left without a mark by an older FlashKit, stays running.
// A database of the first schema gets the columns for the mark and keeps its rows.
TEST_F(UploadHistoryTest, RowsLeftRunningByAProcessThatIsGoneReadAsInterrupted) {
    fs::create_directories(fs::path(Path()).parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE uploads (id INTEGER PRIMARY KEY, started TEXT NOT NULL, "
                           "ended TEXT, program TEXT NOT NULL, card TEXT NOT NULL, host_address "
                           "TEXT NOT NULL, recorder_address TEXT NOT NULL, recorder_mac TEXT NOT "
                           "NULL, image_path TEXT NOT NULL, kind TEXT NOT NULL, size INTEGER NOT "
                           "NULL, bytes_served INTEGER NOT NULL DEFAULT 0, sha256 TEXT, blocks "
                           "INTEGER NOT NULL DEFAULT 0, resends INTEGER NOT NULL DEFAULT 0, "
                           "outcome TEXT NOT NULL, final_text TEXT);"
                           "PRAGMA user_version = 1;"
                           "INSERT INTO uploads (started, program, card, host_address, "
                           "recorder_address, recorder_mac, image_path, kind, size, outcome) "
                           "VALUES ('2026-01-01T00:00:00.000Z', 'flashkit', 'eth0', '', '', "
                           "'02:5e:a1:30:01:00', '/fw.bin', 'system', 1, 'running')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    // No process has this id: it is past Linux's largest, and odd where Windows counts in fours.
    const std::int64_t gone = 2147483645;
    UploadHistory history(Path(), Sink());
    for (const char* mac :
         {"02:5e:a1:30:01:01", "02:5e:a1:30:01:02", "02:5e:a1:30:01:03", "02:5e:a1:30:01:04"}) {
        history.Begin(Start(mac));
    }
    history.Flush();
    const std::string marks =
        "UPDATE uploads SET writer_boot = 'another boot' WHERE id = 3;"
        "UPDATE uploads SET writer_pid = " +
        std::to_string(gone) +
        " WHERE id = 4;"
        "UPDATE uploads SET writer_start = writer_start + 1 WHERE id = 5;";
    ASSERT_EQ(sqlite3_exec(db, marks.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    std::vector<std::string> outcomes;
    for (const auto& row : fk::history::ReadHistory(Path(), {}).rows)
        outcomes.push_back(row.end.outcome);
    EXPECT_EQ(outcomes, (std::vector<std::string>{"running", "running", "interrupted",
                                                  "interrupted", "interrupted"}));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(UploadHistoryTest, TwoProgramsWritingAtOnceLoseNoRow) {
    constexpr int kEach = 25;
    {
        UploadHistory window(Path(), Sink());
        UploadHistory terminal(Path(), Sink());
        const auto write = [](UploadHistory& history) {
            for (int n = 0; n < kEach; ++n) {
                history.Finish(history.Begin(Start("02:5e:a1:30:01:01")), End("completed"));
            }
        };
        std::thread first(write, std::ref(window));
        std::thread second(write, std::ref(terminal));
        first.join();
        second.join();
    }
    EXPECT_TRUE(Lines().empty());
    const auto read = fk::history::ReadHistory(Path(), {});
    ASSERT_EQ(read.rows.size(), 2u * kEach);
    for (const auto& row : read.rows) EXPECT_EQ(row.end.outcome, "completed");
}

// The hash kept of the bytes served: the standard's values, fed in pieces of any size and read
// while it goes on.
TEST(Sha256Test, KnownValuesPiecewiseAndReadWhileRunning) {
    const auto bytes = [](std::string_view text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    fk::history::Sha256 hash;
    EXPECT_EQ(hash.Hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    hash.Add(bytes("a"));
    hash.Add(bytes(""));
    hash.Add(bytes("bc"));
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_EQ(hash.Hex(), abc);
    EXPECT_EQ(hash.Hex(), abc);
    hash.Add(bytes("dbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
    EXPECT_EQ(hash.Hex(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // A million bytes in 512-byte blocks and a short last one, as they are read back.
    const std::vector<std::uint8_t> million(1000000, 'a');
    fk::history::Sha256 blocks;
    for (std::size_t at = 0; at < million.size(); at += 512) {
        blocks.Add(std::span(million).subspan(at, std::min<std::size_t>(512, million.size() - at)));
    }
    EXPECT_EQ(blocks.Hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_F(UploadHistoryTest, TheRecordingHostMakesOneRowPerUploadFromTheSessionsReports) {
    fs::create_directories(m_dir);
    std::vector<std::uint8_t> image(1000);
    for (std::size_t n = 0; n < image.size(); ++n) image[n] = static_cast<std::uint8_t>(n * 7);
    const fs::path imagePath = m_dir / "fw.bin";
    const auto writeImage = [&] {
        std::ofstream(imagePath, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    };
    writeImage();
    // sha256sum of the image and of its first block, made apart from the program.
    const std::string imageHash =
        "89f4ff56a25dd1db06a4ce6033603775d705fb96f30f8693733fef602a1ca532";
    // The file as the engine serves it, opened by its first block.
    const auto served = [&] {
        auto served = std::make_shared<fk::ServedImage>(imagePath.string(),
                                                        fk::MeasureFile(imagePath.string()));
        std::array<std::uint8_t, 512> block{};
        EXPECT_EQ(served->Read(0, block).outcome, fk::ImageBlocks::Outcome::Read);
        return served;
    };

    fk::testing::FakeSessionHost window;
    const fk::SelectedCard card{0xC0A84D01, 1};
    const fk::event::Started started{
        card, {0x02, 0x5E, 0xA1, 0x30, 0x01, 0x01}, imagePath.string(), fk::ImagePage::System};
    using namespace fk::event;
    const auto timedOut = Failed{Failed::Reason::SendTimeOut, 0};
    const auto timedOutEnd = RecorderEnded{fk::Outcome::Failed, timedOut};
    const auto stopped = [](fk::Outcome outcome) {
        return RecorderEnded{outcome, RecorderEnded::Stopped{}};
    };
    {
        UploadHistory history(Path(), Sink());
        fk::history::RecordingSessionHost recording(window, &history, "flashkit", fk::FinalTextOf);
        const auto report = [&](std::initializer_list<fk::SessionEvent> events) {
            for (const auto& event : events) recording.OnEvent(event);
        };
        // Completed, with a resend and a confused acknowledgement; the stop after it adds nothing.
        report({started, RequestAccepted{{0xC0A84D02, 2001}, 1000, served()}, BlockServed{512},
                Resent{0, true}, Resent{1, false}, Acknowledged{2, 3}, BlockServed{488},
                Acknowledged{3, 3}, Acknowledged{65535, 3}, Completed{},
                RecorderEnded{fk::Outcome::Completed, Completed{}}, Ended{}});
        // Stopped from outside: with the outcome the stop gave.
        report({started, stopped(fk::Outcome::Aborted), Ended{}});
        report({started, stopped(fk::Outcome::Interrupted), Ended{}});
        // A recorder that asks again is served, and hashed, from the start again.
        report({started, RequestAccepted{{0xC0A84D02, 2002}, 1000, served()}, BlockServed{488},
                RequestAccepted{{0xC0A84D02, 2003}, 1000, served()}, BlockServed{512},
                BlockServed{488}, timedOut, timedOutEnd, Ended{}});
        // The hash is read back from the file served once the row ends: a file renamed over
        // still holds the bytes served; of one written to, no hash is better than a wrong one.
        history.Flush();
        for (const bool rewrite : {false, true}) {
            writeImage();
            report(
                {started, RequestAccepted{{0xC0A84D02, 2004}, 1000, served()}, BlockServed{512}});
            const fs::path other = m_dir / "other.bin";
            std::ofstream(rewrite ? imagePath : other, std::ios::binary | std::ios::app) << "new";
            if (!rewrite) fs::rename(other, imagePath);
            report({timedOut, timedOutEnd});
        }
    }
    // Every report reached the window as well.
    EXPECT_EQ(window.Count("ended"), 4u);
    const auto rows = fk::history::ReadHistory(Path(), {}).rows;
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].start.program, "flashkit");
    EXPECT_EQ(rows[0].start.card, "lo");  // the fake's interface index 1
    EXPECT_EQ(rows[0].start.hostAddress, "192.168.77.1");
    EXPECT_EQ(rows[0].start.recorderAddress, "192.168.77.2");
    EXPECT_EQ(rows[0].start.recorderMac, "02:5e:a1:30:01:01");
    EXPECT_EQ(rows[0].start.imagePath, imagePath.string());
    EXPECT_EQ(rows[0].start.kind, "system");
    EXPECT_EQ(rows[0].end.outcome, "completed");
    EXPECT_EQ(rows[0].end.bytesServed, 1000u);
    EXPECT_EQ(rows[0].end.sha256, imageHash);
    EXPECT_EQ(rows[0].end.blocks, 3u);
    EXPECT_EQ(rows[0].end.resends, 1u);
    EXPECT_EQ(rows[1].end.outcome, "aborted");
    EXPECT_EQ(rows[1].end.finalText, "Uploading Aborted");
    EXPECT_EQ(rows[1].end.sha256, "");
    EXPECT_EQ(rows[2].end.outcome, "interrupted");
    EXPECT_EQ(rows[3].end.outcome, "failed");
    EXPECT_EQ(rows[3].end.finalText, "TFTP TRANSMISSION TIME OUT ERROR(SEND TIME OUT)");
    EXPECT_EQ(rows[3].end.sha256, imageHash);
    EXPECT_EQ(rows[4].end.bytesServed, 512u);
    EXPECT_EQ(rows[4].end.sha256,
              "c029dfc944a023bec6662861a4e633237ad3e4f4bca787399fdd487ca52af8f5");
    EXPECT_EQ(rows[5].end.sha256, "");
    EXPECT_TRUE(Lines().empty());
}

// The operator reads local time with its offset, whatever the zone; what is not a stored time
// stays as it is.
TEST(LocalTimeText, IsTheStoredTimeShiftedByTheOffsetItNames) {
    const std::string local = fk::history::LocalTimeText("2026-12-07T14:30:05.123Z");
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, offsetHours = 0,
        offsetMinutes = 0;
    char sign = 0;
    ASSERT_EQ(std::sscanf(local.c_str(), "%4d-%2d-%2d %2d:%2d:%2d %c%2d:%2d", &year, &month, &day,
                          &hour, &minute, &second, &sign, &offsetHours, &offsetMinutes),
              9)
        << local;
    EXPECT_EQ(local.size(), 26u) << local;
    const int offset = (sign == '-' ? -1 : 1) * (offsetHours * 60 + offsetMinutes);
    EXPECT_EQ(((day - 7) * 1440 + hour * 60 + minute - offset + 2880) % 1440, 14 * 60 + 30)
        << local;
    EXPECT_EQ(second, 5);
    EXPECT_EQ(fk::history::LocalTimeText("yesterday"), "yesterday");
}

}  // namespace
