#include "image/system_image_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "feedback/refusal_texts.h"

namespace {

namespace fs = std::filesystem;

fk::ImageTrailer Trailer(std::uint8_t series, std::uint8_t subCode) {
    return {0x00, 0x00, series, subCode};
}

struct Case {
    fk::ImageTrailer trailer;
    std::uint8_t octet3, octet4, octet5;
    bool fits;
};

TEST(ImageFitsRecorder, SubCodeRuleDecidesForEarly0x30Recorders) {
    const std::vector<Case> cases = {
        {Trailer(0x05, 0x20), 0x30, 0x05, 0x05, true},
        {Trailer(0x05, 0x20), 0x30, 0x00, 0x00, true},   // octet 5 outside 1..5: table, series 5
        {Trailer(0x05, 0x21), 0x30, 0x00, 0x00, true},   // table ignores the sub-code
        {Trailer(0x05, 0x21), 0x30, 0x06, 0x01, true},   // octet 4 above 5: table
        {Trailer(0x05, 0x21), 0x30, 0x05, 0x05, false},  // sub-code rule needs 0x20
        {Trailer(0x05, 0x21), 0x30, 0x01, 0x01, false},
        {Trailer(0x06, 0x20), 0x30, 0x01, 0x01, false},  // sub-code rule needs series 5
        {Trailer(0x05, 0x20), 0x30, 0x00, 0x01, true},   // lower corner of the rule
        {Trailer(0x05, 0x21), 0x30, 0x00, 0x06, true},   // octet 5 above 5: table
        {Trailer(0x05, 0x21), 0x30, 0xFF, 0x03, true},   // octet 4 far above 5: table
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.octet3) << " " << int(c.octet4) << " "
                                        << int(c.octet5) << " sub " << int(c.trailer[3]));
        EXPECT_EQ(fk::ImageFitsRecorder(c.trailer, c.octet3, c.octet4, c.octet5), c.fits);
    }
}

TEST(ImageFitsRecorder, SeriesTableMapsEachFamilyToItsSeriesCode) {
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> families = {
        {0x20, 0x03}, {0x2C, 0x03}, {0x40, 0x03}, {0x50, 0x04}, {0x60, 0x06},
        {0x70, 0x07}, {0x80, 0x08}, {0x90, 0x08}, {0xA0, 0x09},
    };
    for (const auto& [octet3, series] : families) {
        SCOPED_TRACE(testing::Message() << std::hex << int(octet3));
        EXPECT_TRUE(fk::ImageFitsRecorder(Trailer(series, 0x77), octet3, 0x12, 0x34));
        EXPECT_FALSE(fk::ImageFitsRecorder(Trailer(series + 1, 0x77), octet3, 0x12, 0x34));
        EXPECT_FALSE(fk::ImageFitsRecorder(Trailer(0x00, 0x00), octet3, 0x12, 0x34));
    }
}

TEST(ImageFitsRecorder, UnknownFamiliesRefuseEveryImage) {
    for (const std::uint8_t octet3 : {0xFF, 0x00, 0x21, 0x31, 0xB0}) {
        for (int series = 0; series < 256; ++series) {
            EXPECT_FALSE(fk::ImageFitsRecorder(Trailer(static_cast<std::uint8_t>(series), 0x20),
                                               octet3, 0xFF, 0xFF));
        }
    }
}

TEST(ImageFitsRecorder, OnlyTheLastTwoTrailerBytesCount) {
    EXPECT_TRUE(fk::ImageFitsRecorder({0xAA, 0xBB, 0x08, 0x00}, 0x80, 0x00, 0x00));
    EXPECT_TRUE(fk::ImageFitsRecorder({0xFF, 0xFF, 0x05, 0x20}, 0x30, 0x02, 0x03));
}

class TrailerFile : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("fk-trailer-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        const auto path = m_dir / name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    static std::size_t OpenFileCount() {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }
    fs::path m_dir;
};

TEST_F(TrailerFile, ReadsTheLastFourBytesOfAnyLongEnoughFile) {
    // Filled in place: inserting the trailer after the fill trips a false -Warray-bounds in GCC 12.
    std::vector<std::uint8_t> image(100004, 0xEE);
    const std::uint8_t trailer[] = {0x01, 0x02, 0x05, 0x20};
    std::copy(std::begin(trailer), std::end(trailer), image.end() - 4);
    const auto long_ = fk::ReadImageTrailer(Write("fw.bin", image));
    EXPECT_EQ(long_.failure, fk::TrailerFailure::None);
    EXPECT_EQ(long_.trailer, (fk::ImageTrailer{0x01, 0x02, 0x05, 0x20}));

    const auto exact = fk::ReadImageTrailer(Write("four.bin", {0x09, 0x08, 0x07, 0x06}));
    EXPECT_EQ(exact.failure, fk::TrailerFailure::None);
    EXPECT_EQ(exact.trailer, (fk::ImageTrailer{0x09, 0x08, 0x07, 0x06}));
}

TEST_F(TrailerFile, ShortFilesFailToSeekWithEinval) {
    for (const auto& bytes : std::vector<std::vector<std::uint8_t>>{{}, {1}, {1, 2, 3}}) {
        const auto result = fk::ReadImageTrailer(Write("short.bin", bytes));
        EXPECT_EQ(result.failure, fk::TrailerFailure::Seek) << bytes.size() << " bytes";
        EXPECT_EQ(result.errorCode, EINVAL);
    }
}

TEST_F(TrailerFile, MissingFileFailsToOpenWithItsErrno) {
    const auto result = fk::ReadImageTrailer((m_dir / "missing.bin").string());
    EXPECT_EQ(result.failure, fk::TrailerFailure::Open);
    EXPECT_EQ(result.errorCode, ENOENT);
}

TEST_F(TrailerFile, ANamedPipeFailsAtOnceInsteadOfWaitingForAWriter) {
    const auto fifo = (m_dir / "pipe.bin").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto result = fk::ReadImageTrailer(fifo);
    EXPECT_EQ(result.failure, fk::TrailerFailure::Seek);
    EXPECT_EQ(result.errorCode, ESPIPE);
}

TEST_F(TrailerFile, ClosesTheFileOnEveryPath) {
    const auto before = OpenFileCount();
    fk::ReadImageTrailer(Write("ok.bin", {1, 2, 3, 4, 5}));
    fk::ReadImageTrailer(Write("short.bin", {1, 2}));
    fk::ReadImageTrailer(m_dir.string());
    fk::ReadImageTrailer((m_dir / "missing.bin").string());
    EXPECT_EQ(OpenFileCount(), before);
}

// Root opens any file whatever its mode, so the unreadable case runs as the unprivileged user.
TEST_F(TrailerFile, UnreadableFileFailsToOpenWithEacces) {
    const auto path = Write("locked.bin", {1, 2, 3, 4});
    ASSERT_EQ(::chmod(path.c_str(), 0000), 0);
    fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    if (::geteuid() != 0) {
        const auto result = fk::ReadImageTrailer(path);
        EXPECT_EQ(result.failure, fk::TrailerFailure::Open);
        EXPECT_EQ(result.errorCode, EACCES);
        return;
    }
    const auto tempMode = fs::status(fs::temp_directory_path()).permissions();
    if ((tempMode & fs::perms::others_exec) == fs::perms::none) {
        GTEST_SKIP() << "the temporary directory is closed to other users";
    }
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        int report[2] = {-1, -1};
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const auto result = fk::ReadImageTrailer(path);
            report[0] = static_cast<int>(result.failure);
            report[1] = result.errorCode;
        }
        const auto written = ::write(pipeFds[1], report, sizeof report);
        ::_exit(written == sizeof report ? 0 : 1);
    }
    ::close(pipeFds[1]);
    int report[2] = {0, 0};
    const auto got = ::read(pipeFds[0], report, sizeof report);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof report));
    if (report[0] == -1) GTEST_SKIP() << "cannot switch to user 65534";
    EXPECT_EQ(report[0], static_cast<int>(fk::TrailerFailure::Open));
    EXPECT_EQ(report[1], EACCES);
}

TEST(TrailerFailureText, NamesTheStepThePathAndTheErrorCode) {
    const std::string path = "/images/FW.bin";
    EXPECT_EQ(fk::TrailerFailureText({fk::TrailerFailure::Open, 13, {}}, path),
              "File (/images/FW.bin) Open Error (Error Code = 13)");
    EXPECT_EQ(fk::TrailerFailureText({fk::TrailerFailure::Seek, 22, {}}, path),
              "File (/images/FW.bin) Seek Error (Error Code = 22)");
    EXPECT_EQ(fk::TrailerFailureText({fk::TrailerFailure::Read, 5, {}}, path),
              "File (/images/FW.bin) Read Error (Error Code = 5)");
    EXPECT_EQ(fk::TrailerFailureText({}, path), "");
}

}  // namespace
