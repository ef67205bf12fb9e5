#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <stdexcept>

#include "image/image_files.h"
#include "image_window.h"

namespace {

using fk::testing::ImageWindow;

QString WriteFile(const QString& path, const QByteArray& bytes = "image") {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string SaveError(TKVUpgradeFrm& window) {
    try {
        window.SaveImagePaths();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return {};
}

class RememberedImages : public ::testing::Test {
  protected:
    // A window as FormCreate leaves it: the system dialog starts in a directory of the test's.
    std::unique_ptr<ImageWindow> Open() {
        auto w = std::make_unique<ImageWindow>();
        w->window->SysFileOpenDlg->SetInitialDir(m_sysSearch.path());
        w->window->DataFileOpenDlg->SetInitialDir(m_dataSearch.path());
        return w;
    }
    void StoreRaw(const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(m_settings.Directory() + "/Norvale"));
        WriteFile(m_settings.File(), text);
    }
    QString Stored(const char* name) const {
        const QSettings stored(m_settings.File(), QSettings::IniFormat);
        return stored.value(QString("Files/") + name).toString();
    }

    fk::testing::ScopedSettingsLocation m_settings;
    QTemporaryDir m_images;
    QTemporaryDir m_sysSearch;
    QTemporaryDir m_dataSearch;
};

TEST_F(RememberedImages, PathsChosenInOneRunAreShownInTheNextInTheirRealCase) {
    const QString system = WriteFile(m_images.path() + "/Fw.Bin");
    const QString data = WriteFile(m_images.path() + "/Korean.Fnt");
    // A name written by a Latin-1 system: not UTF-8, and still the file's one true name.
    const std::string latin1 = m_images.path().toStdString() +
                               "/Kor\xe9"
                               "an.Fnt";
    std::ofstream(latin1) << "image";
    {
        auto first = Open();
        first->window->LoadImagePaths();
        EXPECT_TRUE(first->window->m_strSysFile->text().isEmpty());
        EXPECT_TRUE(first->window->m_strDataFile->text().isEmpty());
        first->dialogs.choices = {system.toStdString()};
        first->window->BtnBrowseSysClick();
        first->window->m_strDataFile->setText(data);
        first->window->SaveImagePaths();
    }
    ASSERT_TRUE(QFile::exists(m_settings.File()));
    EXPECT_EQ(Stored("SystemFile"), system);
    EXPECT_EQ(Stored("FontFile"), data);
    {
        auto first = Open();
        first->dialogs.choices = {latin1};
        first->window->BtnBrowseDataClick();
        EXPECT_EQ(first->window->Presenter().ImagePath(fk::ImagePage::Data), latin1);
        first->window->SaveImagePaths();
    }
    // As a later run reads the file from disk, not from this process's cache of it.
    const QString copy = m_images.path() + "/copy.conf";
    ASSERT_TRUE(QFile::copy(m_settings.File(), copy));
    EXPECT_EQ(QSettings(copy, QSettings::IniFormat).value("Files/FontFile").toByteArray(),
              QByteArray::fromStdString(latin1));

    auto second = Open();
    WriteFile(m_sysSearch.path() + "/other.bin");
    second->window->LoadImagePaths();
    EXPECT_EQ(second->window->m_strSysFile->text(), system);
    EXPECT_EQ(second->window->Presenter().ImagePath(fk::ImagePage::System), system.toStdString());
    EXPECT_EQ(second->window->Presenter().ImageName(fk::ImagePage::System), "fw.bin");
    EXPECT_EQ(second->window->Presenter().ImagePath(fk::ImagePage::Data), latin1);
    EXPECT_EQ(second->window->Presenter().ImageName(fk::ImagePage::Data),
              "kor\xe9"
              "an.fnt");
    second->window->m_strDataFile->setText(data);
    EXPECT_EQ(second->window->Presenter().ImageName(fk::ImagePage::Data), "korean.fnt");
}

TEST_F(RememberedImages, APathThatNoLongerNamesAFileGivesWayToTheDefaultSearch) {
    QDir(m_images.path()).mkdir("Folder.Fnt");
    StoreRaw("[Files]\nSystemFile=" + m_images.path().toUtf8() +
             "/Deleted.bin\nFontFile=" + m_images.path().toUtf8() + "/Folder.Fnt\n");
    const QString found = WriteFile(m_sysSearch.path() + "/FIRMWARE.BIN");

    auto w = Open();
    w->window->LoadImagePaths();
    EXPECT_EQ(w->window->m_strSysFile->text(), found);
    EXPECT_EQ(w->window->Presenter().ImagePath(fk::ImagePage::System), found.toStdString());
    EXPECT_EQ(w->window->Presenter().ImageName(fk::ImagePage::System), "firmware.bin");
    EXPECT_TRUE(w->window->m_strDataFile->text().isEmpty());
    EXPECT_TRUE(w->window->Presenter().ImagePath(fk::ImagePage::Data).empty());
}

TEST_F(RememberedImages, OnlyAFontFileStoredLeavesTheSystemImageToTheSearch) {
    const QString font = WriteFile(m_images.path() + "/Stored.Fnt");
    WriteFile(m_dataSearch.path() + "/Found.fnt");
    // Found by the search under a name that is not UTF-8: taken, not dropped.
    const std::string found = m_sysSearch.path().toStdString() + "/Found\xe9.bin";
    std::ofstream(found) << "image";
    StoreRaw("[Files]\nFontFile=" + font.toUtf8() + "\n");

    auto w = Open();
    w->window->LoadImagePaths();
    EXPECT_EQ(w->window->Presenter().ImagePath(fk::ImagePage::System), found);
    EXPECT_EQ(w->window->Presenter().ImageName(fk::ImagePage::System), "found\xe9.bin");
    EXPECT_EQ(w->window->m_strDataFile->text(), font);
    EXPECT_EQ(w->window->Presenter().ImagePath(fk::ImagePage::Data), font.toStdString());
}

TEST_F(RememberedImages, TheDataSearchCoversTheRootNotTheCurrentDirectory) {
    if (fk::FindFirstImage("", fk::kDataImageExtension)) {
        GTEST_SKIP() << "this machine keeps a data image in /";
    }
    WriteFile(m_dataSearch.path() + "/Here.Fnt");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dataSearch.path()));
    auto w = Open();
    w->window->DataFileOpenDlg->SetInitialDir("");
    w->window->LoadImagePaths();
    QDir::setCurrent(previous);
    EXPECT_TRUE(w->window->m_strDataFile->text().isEmpty());
}

TEST_F(RememberedImages, AValueOfAnotherTypeEndsTheLoadWithItsName) {
    const QString font = WriteFile(m_images.path() + "/Stored.Fnt");
    const QString system = WriteFile(m_images.path() + "/Stored.bin");
    for (const QByteArray& odd : {QByteArray("@Size(1 2)"), QByteArray("/a/x.bin, /b/y.bin"),
                                  QByteArray("@Rect(1 2 3 4)")}) {
        SCOPED_TRACE(odd.toStdString());
        StoreRaw("[Files]\nSystemFile=" + odd + "\nFontFile=" + font.toUtf8() + "\n");
        auto w = Open();
        try {
            w->window->LoadImagePaths();
            ADD_FAILURE() << "no error raised";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "Invalid data type for 'SystemFile'");
        }
        EXPECT_TRUE(w->window->m_strDataFile->text().isEmpty());
    }

    StoreRaw("[Files]\nSystemFile=" + system.toUtf8() + "\nFontFile=@Point(1 2)\n");
    auto w = Open();
    EXPECT_THROW(
        {
            try {
                w->window->LoadImagePaths();
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "Invalid data type for 'FontFile'");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(w->window->m_strSysFile->text(), system);
}

TEST_F(RememberedImages, TheLastAcceptedPathIsSavedNotTheBoxText) {
    const QString system = WriteFile(m_images.path() + "/Kept.bin");
    const QString data = WriteFile(m_images.path() + "/Kept.Fnt");
    StoreRaw("[Files]\nSystemFile=" + system.toUtf8() + "\nFontFile=" + data.toUtf8() + "\n");

    auto w = Open();
    w->window->LoadImagePaths();
    w->window->m_strSysFile->clear();
    w->window->m_strDataFile->setText(m_images.path() + "/Typo.Fnt");
    w->window->SaveImagePaths();
    EXPECT_EQ(Stored("SystemFile"), system);
    EXPECT_EQ(Stored("FontFile"), data);
}

TEST_F(RememberedImages, ARunWithoutChoicesWritesNothing) {
    {
        auto first = Open();
        first->window->LoadImagePaths();
        first->window->SaveImagePaths();
    }
    EXPECT_FALSE(QFile::exists(m_settings.File()));

    const QByteArray earlier = "[Files]\nSystemFile=/gone/fw.bin\nFontFile=/gone/font.Fnt\n";
    StoreRaw(earlier);
    auto second = Open();
    second->window->LoadImagePaths();
    second->window->SaveImagePaths();
    EXPECT_EQ(ReadFile(m_settings.File()), earlier);
}

class FailedImagePathWrite : public RememberedImages {
  protected:
    void SetUp() override {
        m_earlierSystem = WriteFile(m_images.path() + "/Earlier.bin");
        auto w = Open();
        w->window->m_strSysFile->setText(m_earlierSystem);
        w->window->SaveImagePaths();
        m_earlier = ReadFile(m_settings.File());
        ASSERT_FALSE(m_earlier.isEmpty());

        const QString longDir = m_images.path() + "/" + QString(120, 'n');
        ASSERT_TRUE(QDir().mkpath(longDir));
        m_window = Open();
        m_window->window->m_strSysFile->setText(WriteFile(longDir + "/Later.bin"));
        m_window->window->m_strDataFile->setText(WriteFile(longDir + "/Later.Fnt"));
    }

    QString m_earlierSystem;
    QByteArray m_earlier;
    std::unique_ptr<ImageWindow> m_window;
};

// Stands for a full disk: the new settings file cannot be written out in full.
TEST_F(FailedImagePathWrite, AFullDiskKeepsTheEarlierSettingsFile) {
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = static_cast<rlim_t>(m_earlier.size()) + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string error = SaveError(*m_window->window);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(error, "Failed to set data for 'SystemFile'");
    EXPECT_EQ(ReadFile(m_settings.File()), m_earlier);
}

// Root writes into read-only directories, so as root the store is tried by an ordinary user.
TEST_F(FailedImagePathWrite, AReadOnlySettingsDirectoryKeepsTheEarlierSettingsFile) {
    const QString folder = m_settings.Directory() + "/Norvale";
    ASSERT_EQ(::chmod(m_settings.Directory().toUtf8().constData(), 0755), 0);
    ASSERT_EQ(::chmod(m_settings.File().toUtf8().constData(), 0644), 0);
    ASSERT_EQ(::chmod(folder.toUtf8().constData(), 0555), 0);
    std::string error;
    if (::geteuid() != 0) {
        error = SaveError(*m_window->window);
    } else {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            const std::string text = ::setgid(65534) == 0 && ::setuid(65534) == 0
                                         ? SaveError(*m_window->window)
                                         : std::string("(no user switch)");
            const auto written = ::write(pipeFds[1], text.data(), text.size());
            ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
        }
        ::close(pipeFds[1]);
        char buffer[256] = {};
        const auto got = ::read(pipeFds[0], buffer, sizeof buffer - 1);
        ::close(pipeFds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        error.assign(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    ::chmod(folder.toUtf8().constData(), 0755);
    if (error == "(no user switch)") GTEST_SKIP() << "cannot switch to user 65534";
    EXPECT_EQ(error, "Failed to set data for 'SystemFile'");
    EXPECT_EQ(ReadFile(m_settings.File()), m_earlier);
}

}  // namespace
