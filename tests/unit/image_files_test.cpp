#include "image/image_files.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "image/path_split.h"
#include "platform/format_text.h"

namespace {

namespace fs = std::filesystem;

TEST(SplitPath, TakesExtensionFromTheLastDotOfTheFinalComponentOnly) {
    const auto fw = fk::SplitPath("/tmp/x/FW.BIN");
    EXPECT_EQ(fw.directory, "/tmp/x/");
    EXPECT_EQ(fw.baseName, "FW");
    EXPECT_EQ(fw.extension, ".BIN");

    EXPECT_EQ(fk::SplitPath("/a/image.bin.old").extension, ".old");
    EXPECT_EQ(fk::SplitPath("/a/image.bin.old").baseName, "image.bin");
    EXPECT_EQ(fk::SplitPath("/dir.bin/firmware").extension, "");
    EXPECT_EQ(fk::SplitPath("/dir.bin/firmware").baseName, "firmware");
    EXPECT_EQ(fk::SplitPath("/a/.bin").baseName, "");
    EXPECT_EQ(fk::SplitPath("/a/.bin").extension, ".bin");
    EXPECT_EQ(fk::SplitPath("plain.fnt").directory, "");
    EXPECT_EQ(fk::SplitPath("/a/dir/").baseName, "");
}

TEST(SplitPath, TakesPathsWholeUpToTheSystemLimitAndCutsEachPartToTheNameLimit) {
    // Longer than a 260-byte limit: the bare name is still the last component.
    const std::string dir = "/" + std::string(124, 'b') + "/" + std::string(167, 'c') + "/";
    const auto whole = fk::SplitPath(dir + "fw.bin");
    EXPECT_EQ(dir.size() + 6, 300u);
    EXPECT_EQ(whole.directory, dir);
    EXPECT_EQ(whole.baseName, "fw");
    EXPECT_EQ(whole.extension, ".bin");
    EXPECT_EQ(fk::BareImageName(dir + "FW.BIN"), "fw.bin");

    // The cut falls inside the extension: what is left of it at the path limit is all there is.
    std::string deep;
    while (deep.size() + 200 < PATH_MAX) deep += "/" + std::string(199, 'd');
    // "/name.bi" ends exactly at the limit.
    deep += "/" + std::string(PATH_MAX - std::size_t{8} - deep.size() - 1, 'n');
    const auto cut = fk::SplitPath(deep + "/name.binary");
    EXPECT_EQ(cut.baseName, "name");
    EXPECT_EQ(cut.extension, ".bi");

    const auto longName = fk::SplitPath("/" + std::string(258, 'n') + ".bin");
    EXPECT_EQ(longName.baseName.size(), 255u);
    EXPECT_EQ(longName.extension, ".bin");

    const auto longExtension = fk::SplitPath("/a." + std::string(300, 'e'));
    EXPECT_EQ(longExtension.baseName, "a");
    EXPECT_EQ(longExtension.extension.size(), 255u);
}

TEST(SplitPath, NeverCutsAUtf8CharacterInHalf) {
    // A two-byte letter straddling the path limit.
    const std::string dir = "/" + std::string(PATH_MAX - 10, 'd') + "/";
    const auto cut = fk::SplitPath(dir + std::string(7, 'a') +
                                   "\xc3\xa4"
                                   "b.bin");
    EXPECT_EQ(cut.baseName, std::string(7, 'a'));
    EXPECT_EQ(cut.extension, "");

    // A 260-byte name whose letter straddles the 255-byte limit of the base name.
    const auto name = fk::SplitPath(std::string(254, 'a') + "\xc3\xa4.bin");
    EXPECT_EQ(name.baseName, std::string(254, 'a'));
    EXPECT_EQ(name.extension, ".bin");
}

TEST(ImageNames, LowerCaseTheBareNameBeyondAsciiAndCompareExtensionsInAnyCase) {
    EXPECT_EQ(fk::BareImageName("/tmp/x/FW.BIN"), "fw.bin");
    EXPECT_EQ(fk::BareImageName("/Images/\xc3\x84RGER.Fnt"), "\xc3\xa4rger.fnt");
    EXPECT_EQ(fk::BareImageName("/Images/NOEXT"), "noext");
    // Bytes that are not UTF-8 stay as they are; the letters around them are lowered.
    EXPECT_EQ(fk::BareImageName("/Images/\xc9T\xc3\x89.BIN"), "\xc9t\xc3\xa9.bin");
    EXPECT_TRUE(fk::HasImageExtension("/tmp/x/FW.BIN", fk::kSystemImageExtension));
    EXPECT_TRUE(fk::HasImageExtension("/tmp/x/Font.Fnt", fk::kDataImageExtension));
    EXPECT_FALSE(fk::HasImageExtension("/tmp/x/image.bin.old", fk::kSystemImageExtension));
    EXPECT_FALSE(fk::HasImageExtension("/tmp/x/firmware", fk::kSystemImageExtension));
    EXPECT_FALSE(fk::HasImageExtension("/tmp/x.bin/firmware", fk::kSystemImageExtension));
    EXPECT_FALSE(fk::HasImageExtension("/tmp/x/fw.binx", fk::kSystemImageExtension));
}

TEST(ImagePaths, JoinWithOneSeparatorAndSearchTheRootForAnEmptyDirectory) {
#ifdef _WIN32
    EXPECT_EQ(fk::JoinPath("C:\\Images", "fw.bin"), "C:\\Images\\fw.bin");
    EXPECT_EQ(fk::JoinPath("C:\\", "fw.bin"), "C:\\fw.bin");
    EXPECT_EQ(fk::JoinPath("C:/Images/", "fw.bin"), "C:/Images/fw.bin");
#else
    EXPECT_EQ(fk::JoinPath("/home/op", "fw.bin"), "/home/op/fw.bin");
    EXPECT_EQ(fk::JoinPath("/home/op/", "fw.bin"), "/home/op/fw.bin");
    EXPECT_EQ(fk::JoinPath("/", "font.Fnt"), "/font.Fnt");
    EXPECT_EQ(fk::JoinPath("/home/a\\b", "fw.bin"), "/home/a\\b/fw.bin");
#endif
    EXPECT_EQ(fk::SearchDirectory(""), "/");
    EXPECT_EQ(fk::SearchDirectory("/home/op"), "/home/op");
}

class ImageDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("fk-image-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Touch(const std::string& name) {
        std::ofstream(m_dir / name) << "x";
        return (m_dir / name).string();
    }
    fs::path m_dir;
};

TEST_F(ImageDirectory, ExistingFileMeansARegularFileThroughLinks) {
    const std::string file = Touch("fw.bin");
    fs::create_directory(m_dir / "dir.bin");
    fs::create_symlink(file, m_dir / "link.bin");
    fs::create_symlink(m_dir / "gone.bin", m_dir / "dangling.bin");

    EXPECT_TRUE(fk::IsExistingFile(file));
    EXPECT_TRUE(fk::IsExistingFile((m_dir / "link.bin").string()));
    EXPECT_FALSE(fk::IsExistingFile((m_dir / "dir.bin").string()));
    EXPECT_FALSE(fk::IsExistingFile((m_dir / "dangling.bin").string()));
    EXPECT_FALSE(fk::IsExistingFile((m_dir / "FW.BIN").string()));
    EXPECT_FALSE(fk::IsExistingFile(""));
}

TEST_F(ImageDirectory, DefaultSearchFindsAFileWhoseExtensionMatchesInAnyCase) {
    fs::create_directory(m_dir / "folder.bin");
    Touch("readme.txt");
    Touch("image.bin.old");
    Touch("Firmware.BIN");

    EXPECT_EQ(fk::FindFirstImage(m_dir.string(), fk::kSystemImageExtension),
              (m_dir / "Firmware.BIN").string());
    EXPECT_EQ(fk::FindFirstImage(m_dir.string() + "/", fk::kSystemImageExtension),
              (m_dir / "Firmware.BIN").string());
    EXPECT_EQ(fk::FindFirstImage(m_dir.string(), fk::kDataImageExtension), std::nullopt);
    EXPECT_EQ(fk::FindFirstImage((m_dir / "missing").string(), fk::kSystemImageExtension),
              std::nullopt);
}

// The toolkit's dialog, and an operator typing what a box shows, give a name that is not UTF-8
// with U+FFFD in it; the path then stands for the one entry shown so.
TEST_F(ImageDirectory, AShownNameWithReplacementsStandsForTheEntryShownSo) {
    const std::string base = m_dir.string();
    fs::create_directory(m_dir / "d\xe9");
    Touch("d\xe9/F\xe9.bin");
    Touch("two\xe8.bin");
    Touch("two\xe9.bin");
    const std::string shown = "\xef\xbf\xbd";
    EXPECT_EQ(fk::ResolveShownPath(base + "/d" + shown + "/F" + shown + ".bin"),
              base + "/d\xe9/F\xe9.bin");
    EXPECT_EQ(fk::ResolveShownPath(base + "/d" + shown + "/new.bin"), base + "/d\xe9/new.bin");
    // Two entries look alike: neither is guessed.
    EXPECT_EQ(fk::ResolveShownPath(base + "/two" + shown + ".bin"), base + "/two" + shown + ".bin");
    EXPECT_EQ(fk::ResolveShownPath(base + "/two\xe9.bin"), base + "/two\xe9.bin");
    EXPECT_EQ(fk::ResolveShownPath("fw.bin"), "fw.bin");
}

TEST_F(ImageDirectory, DefaultSearchIgnoresDirectoriesNamedLikeImages) {
    fs::create_directory(m_dir / "only.Fnt");
    EXPECT_EQ(fk::FindFirstImage(m_dir.string(), fk::kDataImageExtension), std::nullopt);
}

TEST(FormatText, FormatsTextsLongerThanAnyFixedBuffer) {
    const std::string path(5000, 'p');
    const std::string text =
        fk::FormatText("File (%s) Open Error (Error Code = %d)", path.c_str(), 2);
    EXPECT_EQ(text, "File (" + path + ") Open Error (Error Code = 2)");
    EXPECT_EQ(fk::FormatText("%s", ""), "");
}

}  // namespace
