#include <QLineEdit>

#include "app/file_name_text.h"
#include "app/kvupgradefrm.h"
#include "app/open_file_dialog.h"
#include "app/settings_store.h"
#include "image/image_files.h"

namespace {

constexpr const char* kImageFilesGroup = "Files";
constexpr const char* kSystemFileValue = "SystemFile";
constexpr const char* kFontFileValue = "FontFile";

// Setting the box text runs its change handler, which records the path when it names a file.
void ShowRememberedOrDefault(QLineEdit* box, const char* valueName, const QString& searchDir,
                             std::string_view extension) {
    const std::string remembered = fk::ReadSettingString(kImageFilesGroup, valueName);
    if (fk::IsExistingFile(remembered)) box->setText(fk::FileNameText(remembered));
    if (!box->text().isEmpty()) return;
    if (const auto found = fk::FindFirstImage(fk::FileNameBytes(searchDir), extension)) {
        box->setText(fk::FileNameText(*found));
    }
}

}  // namespace

void TKVUpgradeFrm::LoadImagePaths() {
    ShowRememberedOrDefault(m_strSysFile, kSystemFileValue, SysFileOpenDlg->InitialDir(),
                            fk::kSystemImageExtension);
    ShowRememberedOrDefault(m_strDataFile, kFontFileValue, DataFileOpenDlg->InitialDir(),
                            fk::kDataImageExtension);
}

// The paths last accepted, not the box texts: a box may hold a path to no file by now.
void TKVUpgradeFrm::SaveImagePaths() {
    if (!m_sysFilePath.empty()) {
        fk::WriteSettingString(kImageFilesGroup, kSystemFileValue, m_sysFilePath);
    }
    if (!m_dataFilePath.empty()) {
        fk::WriteSettingString(kImageFilesGroup, kFontFileValue, m_dataFilePath);
    }
}
