#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <vector>

#include "app/file_name_text.h"
#include "image_window.h"

namespace {

using fk::platform::MessageAnswer;
using fk::platform::MessageButtons;
using fk::platform::MessageIcon;
using fk::testing::ImageWindow;

QString WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

TEST(BrowseSystemImage, AcceptsABinFileInAnyCaseKeepingThePathAndLoweringTheName) {
    ImageWindow w;
    w.dialogs.choices = {"/tmp/x/FW.BIN"};
    w.window->BtnBrowseSysClick();

    ASSERT_EQ(w.dialogs.requests.size(), 1u);
    EXPECT_EQ(w.dialogs.requests[0].initialFolder, QDir::currentPath().toStdString());
    EXPECT_EQ(w.dialogs.requests[0].filter, "Vantorix System File (*.Bin)|*.bin");
    EXPECT_EQ(w.window->m_strSysFile->text(), "/tmp/x/FW.BIN");
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::System), "fw.bin");
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), "/tmp/x/FW.BIN");
    EXPECT_TRUE(w.boxes.shown.empty());
    EXPECT_TRUE(w.window->Presenter().ImagePath(fk::ImagePage::Data).empty());
}

TEST(BrowseSystemImage, AsksAboutAnyOtherExtensionAndNoLeavesEverythingAsItWas) {
    // The name goes into the box as it is, markup-like text and all.
    for (const std::string chosen :
         {"/tmp/x/image.bin.old", "/tmp/x/firmware", "/home/op/<b>new/a&lt;b.bin.txt"}) {
        SCOPED_TRACE(chosen);
        ImageWindow w;
        w.dialogs.choices = {chosen};
        w.boxes.answers = {MessageAnswer::No};
        w.window->BtnBrowseSysClick();

        ASSERT_EQ(w.boxes.shown.size(), 1u);
        EXPECT_EQ(w.boxes.shown[0].text,
                  "'" + chosen +
                      "' may not be system image file.\r\nDo you want to search another system "
                      "image file?");
        EXPECT_EQ(w.boxes.shown[0].caption, "Check system image file");
        EXPECT_EQ(w.boxes.shown[0].icon, MessageIcon::Stop);
        EXPECT_EQ(w.boxes.shown[0].buttons, MessageButtons::YesNo);
        EXPECT_EQ(w.dialogs.requests.size(), 1u);
        EXPECT_TRUE(w.window->m_strSysFile->text().isEmpty());
        EXPECT_TRUE(w.window->Presenter().ImageName(fk::ImagePage::System).empty());
        EXPECT_TRUE(w.window->Presenter().ImagePath(fk::ImagePage::System).empty());
    }
}

TEST(BrowseSystemImage, EachYesOpensTheDialogAgainFromTheSameFolder) {
    ImageWindow w;
    w.window->m_strSysFile->setText("/images/Old.bin");
    w.dialogs.choices = {"/a/one.txt", "/a/two.txt", "/a/three.txt"};
    w.boxes.answers = {MessageAnswer::Yes, MessageAnswer::Yes, MessageAnswer::No};
    w.window->BtnBrowseSysClick();

    ASSERT_EQ(w.dialogs.requests.size(), 3u);
    for (const auto& request : w.dialogs.requests) {
        EXPECT_EQ(request.initialFolder, "/images/Old.bin");
    }
    EXPECT_EQ(w.boxes.shown.size(), 3u);
    EXPECT_EQ(w.window->m_strSysFile->text(), "/images/Old.bin");
    EXPECT_TRUE(w.window->Presenter().ImagePath(fk::ImagePage::System).empty());
}

TEST(BrowseSystemImage, YesThenARightChoiceIsAcceptedAndCancelChangesNothing) {
    ImageWindow w;
    w.dialogs.choices = {"/a/notes.txt", "/a/Second.Bin"};
    w.boxes.answers = {MessageAnswer::Yes};
    w.window->BtnBrowseSysClick();
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), "/a/Second.Bin");
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::System), "second.bin");

    w.dialogs.choices = {std::nullopt};
    w.window->BtnBrowseSysClick();
    EXPECT_EQ(w.dialogs.requests.back().initialFolder, "/a/Second.Bin");
    EXPECT_EQ(w.window->m_strSysFile->text(), "/a/Second.Bin");
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), "/a/Second.Bin");
    EXPECT_EQ(w.boxes.shown.size(), 1u);
}

TEST(BrowseDataImage, AcceptsFntInAnyCaseAndAsksWithTheQuestionIconOtherwise) {
    ImageWindow w;
    w.dialogs.choices = {"/fonts/fw.bin", "/fonts/Korean.Fnt"};
    w.boxes.answers = {MessageAnswer::Yes};
    w.window->BtnBrowseDataClick();

    ASSERT_EQ(w.boxes.shown.size(), 1u);
    EXPECT_EQ(w.boxes.shown[0].text,
              "'/fonts/fw.bin' may not be data image file.\r\nDo you want to search another data "
              "image file?");
    EXPECT_EQ(w.boxes.shown[0].caption, "Check data image file");
    EXPECT_EQ(w.boxes.shown[0].icon, MessageIcon::Question);
    EXPECT_EQ(w.dialogs.requests[0].filter, "Vantorix Data File (*.Fnt)|*.Fnt");
    EXPECT_EQ(w.window->m_strDataFile->text(), "/fonts/Korean.Fnt");
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::Data), "korean.fnt");
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::Data), "/fonts/Korean.Fnt");
    EXPECT_TRUE(w.window->Presenter().ImagePath(fk::ImagePage::System).empty());
}

TEST(TypedImagePath, FieldsChangeOnlyWhileTheTextNamesAnExistingFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("Fw"));
    WriteFile(dir.path() + "/Fw.B", "b");
    WriteFile(dir.path() + "/Fw.Bin", "bin");
    ImageWindow w;
    w.window->m_strSysFile->setFocus();

    std::vector<std::string> recordedPaths;
    const QString target = dir.path() + "/Fw.Binx";
    for (const QChar letter : target) {
        QTest::keyClick(w.window->m_strSysFile, letter.toLatin1());
        if (recordedPaths.empty() ||
            recordedPaths.back() != w.window->Presenter().ImagePath(fk::ImagePage::System)) {
            recordedPaths.push_back(w.window->Presenter().ImagePath(fk::ImagePage::System));
        }
    }
    ASSERT_EQ(w.window->m_strSysFile->text(), target);
    const std::string base = dir.path().toStdString();
    EXPECT_EQ(recordedPaths, (std::vector<std::string>{"", base + "/Fw.B", base + "/Fw.Bin"}));
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::System), "fw.bin");

    w.window->m_strSysFile->clear();
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), base + "/Fw.Bin");
}

TEST(TypedImagePath, AnyExistingFileIsTakenWithoutAnExtensionTest) {
    QTemporaryDir dir;
    const QString notes = WriteFile(dir.path() + "/Notes.TXT", "text");
    ImageWindow w;
    w.window->m_strSysFile->setText(notes);
    w.window->m_strDataFile->setText(notes);
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), notes.toStdString());
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::System), "notes.txt");
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::Data), notes.toStdString());
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::Data), "notes.txt");
    EXPECT_TRUE(w.boxes.shown.empty());

    w.window->m_strDataFile->setText(dir.path());
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::Data), notes.toStdString());

    // A name that is not UTF-8 is taken byte for byte.
    const std::string latin1 = dir.path().toStdString() + "/Fw\xe9.Bin";
    std::ofstream(latin1) << "image";
    w.window->m_strSysFile->setText(fk::FileNameText(latin1));
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::System), latin1);
    EXPECT_EQ(w.window->Presenter().ImageName(fk::ImagePage::System), "fw\xe9.bin");
    // Typed as the dialog shows it, with U+FFFD for the byte.
    w.window->m_strDataFile->setText(dir.path() + QString::fromUtf8("/Fw\xef\xbf\xbd.Bin"));
    EXPECT_EQ(w.window->Presenter().ImagePath(fk::ImagePage::Data), latin1);
}

class CheckSystemImageFile : public ::testing::Test {
  protected:
    bool Check(const QByteArray& contents, std::uint8_t o3, std::uint8_t o4, std::uint8_t o5) {
        w.window->m_strSysFile->setText(WriteFile(m_dir.path() + "/Fw.bin", contents));
        return w.window->CheckSystemImage(o3, o4, o5);
    }
    QTemporaryDir m_dir;
    ImageWindow w;
};

TEST_F(CheckSystemImageFile, JudgesTheImageByItsTrailer) {
    const QByteArray image(2000, '\x5a');
    EXPECT_TRUE(Check(image + QByteArray("\x00\x00\x05\x20", 4), 0x30, 0x05, 0x05));
    EXPECT_TRUE(Check(image + QByteArray("\x00\x00\x05\x21", 4), 0x30, 0x00, 0x00));
    EXPECT_FALSE(Check(image + QByteArray("\x00\x00\x05\x21", 4), 0x30, 0x01, 0x01));
    EXPECT_TRUE(Check(image + QByteArray("\x00\x00\x08\x00", 4), 0x90, 0x11, 0x22));
    EXPECT_FALSE(Check(image + QByteArray("\x00\x00\x08\x00", 4), 0xFF, 0xFF, 0xFF));
    EXPECT_TRUE(w.boxes.shown.empty());
}

TEST_F(CheckSystemImageFile, AShortFileShowsTheSeekErrorAndFails) {
    EXPECT_FALSE(Check("abc", 0x80, 0x00, 0x00));
    ASSERT_EQ(w.boxes.shown.size(), 1u);
    const std::string path = w.window->m_strSysFile->text().toStdString();
    EXPECT_EQ(w.boxes.shown[0].text, "File (" + path + ") Seek Error (Error Code = 22)");
    EXPECT_EQ(w.boxes.shown[0].caption, kApplicationTitle);
    EXPECT_EQ(w.boxes.shown[0].icon, MessageIcon::None);
    EXPECT_EQ(w.boxes.shown[0].buttons, MessageButtons::Ok);
}

TEST_F(CheckSystemImageFile, AFileThatCannotBeOpenedShowsTheOpenErrorAndFails) {
    const QString missing = m_dir.path() + "/Gone.bin";
    w.window->m_strSysFile->setText(missing);
    EXPECT_FALSE(w.window->CheckSystemImage(0x80, 0x00, 0x00));
    ASSERT_EQ(w.boxes.shown.size(), 1u);
    EXPECT_EQ(w.boxes.shown[0].text,
              "File (" + missing.toStdString() + ") Open Error (Error Code = 2)");
    EXPECT_EQ(w.boxes.shown[0].caption, kApplicationTitle);
}

TEST(FileNameText, EveryNameComesBackByteForByteAndUtf8ShowsAsItsCharacters) {
    EXPECT_EQ(fk::FileNameText("/tmp/\xc3\xa4 \xf0\x9f\x92\xbe.bin"),
              QString::fromUtf8("/tmp/\xc3\xa4 \xf0\x9f\x92\xbe.bin"));
    EXPECT_EQ(fk::FileNameBytes(QString::fromUtf8("/tmp/\xc3\xa4.bin")), "/tmp/\xc3\xa4.bin");
    const std::string odd[] = {
        "/tmp/\xe9t\xe9.bin",    // Latin-1
        "\xc0\xaf",              // an overlong "/"
        "\xed\xa0\x80x",         // an encoded surrogate
        "\xf4\x90\x80\x80",      // past U+10FFFF
        "\xe2\x82",              // cut short
        "\xff\xfe\x80\xbf\xc3",  // nothing but stray bytes
    };
    for (const std::string& name : odd) {
        SCOPED_TRACE(::testing::PrintToString(name));
        EXPECT_EQ(fk::FileNameBytes(fk::FileNameText(name)), name);
        EXPECT_FALSE(fk::FileNameText(name).contains(QChar::ReplacementCharacter));
    }
    std::string everyByte;
    for (int b = 1; b < 256; ++b) everyByte += static_cast<char>(b);
    EXPECT_EQ(fk::FileNameBytes(fk::FileNameText(everyByte + everyByte)), everyByte + everyByte);
}

}  // namespace
