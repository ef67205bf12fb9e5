#include "app/window_links.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <optional>

#include "app/file_name_text.h"
#include "app/open_file_dialog.h"
#include "app/settings_store.h"

namespace {

using fk::window::StatusLook;

const QColor kWhite(255, 255, 255);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

// A palette change costs the box a palette event and a style pass, and the accessibility bridge
// an event; a status text that leaves the colours as they are makes none.
void SetColours(QLineEdit* box, const QColor& text, const std::optional<QColor>& background) {
    QPalette palette = box->palette();
    if (palette.color(QPalette::Text) == text &&
        (!background || palette.color(QPalette::Base) == *background)) {
        return;
    }
    palette.setColor(QPalette::Text, text);
    if (background) palette.setColor(QPalette::Base, *background);
    box->setPalette(palette);
}

void SetLook(QLineEdit* box, StatusLook look) {
    switch (look) {
        case StatusLook::Normal:
            SetColours(box, kBlack, kWhite);
            break;
        case StatusLook::Error:
            SetColours(box, kRed, std::nullopt);
            break;
        case StatusLook::ErrorOnWhite:
            SetColours(box, kRed, kWhite);
            break;
        case StatusLook::ErrorInverted:
            SetColours(box, kBlue, kRed);
            break;
    }
}

}  // namespace

// --- View ---

void TKVUpgradeFrm::View::SetStatus(const std::string& text, StatusLook look) {
    QLineEdit* box = m_window.m_strStatus;
    SetLook(box, look);
    // The same text again changes nothing the operator sees or a screen reader reads.
    if (const QString shown = QString::fromStdString(text); box->text() != shown) {
        box->setText(shown);
    }
    // A text shown on the GUI thread is painted at once, for it may come before a long step of
    // that thread.
    if (m_window.m_paintStatusNow) box->repaint();
}

void TKVUpgradeFrm::View::SetStatusLook(StatusLook look) {
    SetLook(m_window.m_strStatus, look);
    if (look == StatusLook::ErrorInverted ||
        (look == StatusLook::Error && m_window.m_paintStatusNow))
        m_window.m_strStatus->repaint();
}

void TKVUpgradeFrm::View::SetUploadButton(fk::window::UploadButton button) {
    m_window.BtnUpload->setText(button == fk::window::UploadButton::Upload
                                    ? QStringLiteral("&Upload")
                                    : QStringLiteral("&Abort"));
}

void TKVUpgradeFrm::View::EnableImagePages(bool enabled) {
    m_window.ImgPageCtrl->setEnabled(enabled);
}

void TKVUpgradeFrm::View::Focus(fk::window::Control control) {
    using fk::window::Control;
    if (const auto box = fk::window::MacBoxOf(control)) {
        MacBox(*box)->selectAll();
        MacBox(*box)->setFocus();
        return;
    }
    QPushButton* const button = control == Control::BrowseSystem ? m_window.BtnBrowseSys
                                : control == Control::BrowseData ? m_window.BtnBrowseData
                                                                 : m_window.BtnUpload;
    button->setFocus();
}

fk::platform::MessageAnswer TKVUpgradeFrm::View::ShowBox(const std::string& text,
                                                         const std::string& caption,
                                                         fk::platform::MessageIcon icon,
                                                         fk::platform::MessageButtons buttons) {
    return m_window.m_services.messageBoxes.Show(text, caption, icon, buttons);
}

void TKVUpgradeFrm::View::ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                                                fk::platform::MessageIcon icon) {
    m_window.m_services.messageBoxes.ShowWithoutWaiting(text, caption, icon);
}

void TKVUpgradeFrm::View::SetCards(const std::vector<std::string>& entries, int selected) {
    // The program's own selection is not the operator's pick.
    const QSignalBlocker blocker(m_window.m_cbNetinfo);
    m_window.m_cbNetinfo->clear();
    for (const auto& entry : entries) m_window.m_cbNetinfo->addItem(QString::fromStdString(entry));
    if (selected >= 0) m_window.m_cbNetinfo->setCurrentIndex(selected);
}

void TKVUpgradeFrm::View::SetHostAddressText(const std::string& text) {
    m_window.m_ctrlAddrIp->setText(QString::fromStdString(text));
}

QLineEdit* TKVUpgradeFrm::View::MacBox(int box) const {
    QLineEdit* const boxes[] = {m_window.editMac3, m_window.editMac4, m_window.editMac5};
    return boxes[box];
}

std::string TKVUpgradeFrm::View::MacText(int box) const {
    return MacBox(box)->text().toStdString();
}

void TKVUpgradeFrm::View::ClearMac(int box) {
    MacBox(box)->clear();
}

fk::ImagePage TKVUpgradeFrm::View::CurrentPage() const {
    return m_window.ImgPageCtrl->currentIndex() == 0 ? fk::ImagePage::System : fk::ImagePage::Data;
}

QLineEdit* TKVUpgradeFrm::View::PathBox(fk::ImagePage page) const {
    return page == fk::ImagePage::System ? m_window.m_strSysFile : m_window.m_strDataFile;
}

fk::OpenFileDialog* TKVUpgradeFrm::View::Dialog(fk::ImagePage page) const {
    return page == fk::ImagePage::System ? m_window.SysFileOpenDlg : m_window.DataFileOpenDlg;
}

std::string TKVUpgradeFrm::View::PathText(fk::ImagePage page) const {
    return fk::PathInBox(PathBox(page)->text());
}

void TKVUpgradeFrm::View::SetPathText(fk::ImagePage page, const std::string& path) {
    PathBox(page)->setText(fk::FileNameText(path));
}

std::string TKVUpgradeFrm::View::DialogDir(fk::ImagePage page) const {
    return fk::FileNameBytes(Dialog(page)->InitialDir());
}

void TKVUpgradeFrm::View::SetDialogDir(fk::ImagePage page, const std::string& dir) {
    Dialog(page)->SetInitialDir(fk::FileNameText(dir));
}

std::optional<std::string> TKVUpgradeFrm::View::ChooseImageFile(fk::ImagePage page) {
    if (!Dialog(page)->Execute()) return std::nullopt;
    return fk::PathInBox(Dialog(page)->FileName());
}

void TKVUpgradeFrm::View::Silence() {
    m_window.EndWorkerCues();
    m_window.AllowWorkerCues();
}

void TKVUpgradeFrm::View::Start() {
    m_window.BTimer->start();
}

void TKVUpgradeFrm::View::Stop() {
    m_window.BTimer->stop();
}

bool TKVUpgradeFrm::View::Active() const {
    return m_window.BTimer->isActive();
}

std::string TKVUpgradeFrm::View::Read(const std::string& group, const std::string& name) {
    return fk::ReadSettingString(group, name);
}

void TKVUpgradeFrm::View::Write(const std::string& group, const std::string& name,
                                const std::string& value) {
    fk::WriteSettingString(group, name, value);
}
