#include <QLineEdit>
#include <filesystem>
#include <system_error>

#include "app/file_name_text.h"
#include "app/kvupgradefrm.h"
#include "app/open_file_dialog.h"
#include "image/image_files.h"
#include "platform/format_text.h"
#include "platform/message_box.h"
#include "upgrade/upload_checks.h"

namespace {

using fk::platform::MessageAnswer;
using fk::platform::MessageButtons;
using fk::platform::MessageIcon;

// One of the two image choices: its controls, its rule and the fields it fills.
struct ImageSlot {
    QLineEdit* box;
    fk::OpenFileDialog* dialog;
    std::string_view extension;
    const char* question;
    const char* questionCaption;
    MessageIcon questionIcon;
    std::string* name;
    std::string* path;
};

// Bare names go to the recorder and are compared with its request, so they are lower case;
// the path keeps its real case because this file system tells cases apart.
void Accept(const ImageSlot& slot, const std::string& path) {
    *slot.name = fk::BareImageName(path);
    *slot.path = path;
}

void Browse(const ImageSlot& slot, fk::platform::MessageBoxes& boxes) {
    for (;;) {
        const QString boxText = slot.box->text();
        std::error_code error;
        const auto workingDir = std::filesystem::current_path(error);
        slot.dialog->SetInitialDir(boxText.isEmpty() ? fk::FileNameText(workingDir.string())
                                                     : boxText);
        if (!slot.dialog->Execute()) return;
        const std::string chosen = fk::PathInBox(slot.dialog->FileName());
        if (fk::HasImageExtension(chosen, slot.extension)) {
            slot.box->setText(fk::FileNameText(chosen));
            Accept(slot, chosen);
            return;
        }
        const auto answer =
            boxes.Show(fk::FormatText(slot.question, chosen.c_str()), slot.questionCaption,
                       slot.questionIcon, MessageButtons::YesNo);
        if (answer != MessageAnswer::Yes) return;
    }
}

// Typed text counts only once it names a file; until then the last good choice stays.
void TakeTypedPath(const ImageSlot& slot) {
    const std::string text = fk::PathInBox(slot.box->text());
    if (text.empty() || !fk::IsExistingFile(text)) return;
    Accept(slot, text);
}

ImageSlot SystemSlot(TKVUpgradeFrm& window) {
    return {window.m_strSysFile,
            window.SysFileOpenDlg,
            fk::kSystemImageExtension,
            "'%s' may not be system image file.\r\n"
            "Do you want to search another system image file?",
            "Check system image file",
            MessageIcon::Stop,
            &window.m_sysFileName,
            &window.m_sysFilePath};
}

ImageSlot DataSlot(TKVUpgradeFrm& window) {
    return {window.m_strDataFile,
            window.DataFileOpenDlg,
            fk::kDataImageExtension,
            "'%s' may not be data image file.\r\n"
            "Do you want to search another data image file?",
            "Check data image file",
            MessageIcon::Question,
            &window.m_dataFileName,
            &window.m_dataFilePath};
}

}  // namespace

void TKVUpgradeFrm::m_strSysFileChange() {
    TakeTypedPath(SystemSlot(*this));
}

void TKVUpgradeFrm::m_strDataFileChange() {
    TakeTypedPath(DataSlot(*this));
}

void TKVUpgradeFrm::BtnBrowseSysClick() {
    Browse(SystemSlot(*this), m_services.messageBoxes);
}

void TKVUpgradeFrm::BtnBrowseDataClick() {
    Browse(DataSlot(*this), m_services.messageBoxes);
}

bool TKVUpgradeFrm::CheckSystemImage(std::uint8_t octet3, std::uint8_t octet4,
                                     std::uint8_t octet5) {
    const auto verdict =
        fk::CheckSystemImageFile(fk::PathInBox(m_strSysFile->text()), octet3, octet4, octet5);
    if (!verdict.fileError.empty()) {
        m_services.messageBoxes.Show(verdict.fileError, kApplicationTitle, MessageIcon::None,
                                     MessageButtons::Ok);
    }
    return verdict.fits;
}
