#pragma once

#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/mac.h"
#include "platform/message_box.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;

namespace fk {
class OpenFileDialog;
namespace platform {
class FileDialogs;
class MessageBoxes;
class SoundOutput;
}  // namespace platform
}  // namespace fk

// The platform facilities the window uses; tests hand in fakes.
struct WindowServices {
    fk::platform::MessageBoxes* messageBoxes = nullptr;
    fk::platform::FileDialogs* fileDialogs = nullptr;
    fk::platform::SoundOutput* sound = nullptr;
};

// The one main window. It owns all of the tool's state; the upload workers see it only through
// the narrow session interface.
class TKVUpgradeFrm : public QWidget {
    Q_OBJECT

  public:
    explicit TKVUpgradeFrm(const WindowServices& services, QWidget* parent = nullptr);
    ~TKVUpgradeFrm() override;

    // Lifecycle.
    void FormCreate();
    void FormDestroy();

    // Feedback, callable from any thread.
    void ShowStatus(const QString& text);
    void SetProgress(int percent);
    void PlayCue(int cue);
    void BlinkStatus(QLineEdit* box);
    // A box raised from a worker: shown by the GUI thread without holding the caller.
    void ShowMessageFromWorker(const QString& text, const QString& caption,
                               fk::platform::MessageIcon icon);

    // Event handlers.
    void BTimerTimer();
    void m_cbNetinfoChange();
    void editMac3Change();
    void editMac4Change();
    void editMac5Change();
    void m_strSysFileChange();
    void m_strDataFileChange();
    void BtnBrowseSysClick();
    void BtnBrowseDataClick();
    void BtnUploadClick();
    void AckTimeOutTimer();
    void SendTimeOutTimer();

    // Layout: controls and components under their layout names.
    QGroupBox* GroupNetwork = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* m_cbNetinfo = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* m_ctrlAddrIp = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
    QGroupBox* GroupMac = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* editMac3 = nullptr;
    QLineEdit* editMac4 = nullptr;
    QLineEdit* editMac5 = nullptr;
    QTabWidget* ImgPageCtrl = nullptr;
    QWidget* SysImgPage = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* m_strSysFile = nullptr;
    QPushButton* BtnBrowseSys = nullptr;
    QWidget* FontImgPage = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* m_strDataFile = nullptr;
    QPushButton* BtnBrowseData = nullptr;
    QGroupBox* GroupUpload = nullptr;
    QProgressBar* m_ctrlProgXfer = nullptr;
    QLineEdit* m_strStatus = nullptr;
    QPushButton* BtnUpload = nullptr;
    fk::OpenFileDialog* SysFileOpenDlg = nullptr;
    fk::OpenFileDialog* DataFileOpenDlg = nullptr;
    QTimer* BTimer = nullptr;
    QTimer* AckTimeOut = nullptr;
    QTimer* SendTimeOut = nullptr;

    // Image files: bare names lower case, paths in their real case (see image/).
    std::string m_sysFileName;
    std::string m_sysFilePath;
    std::string m_dataFileName;
    std::string m_dataFilePath;

    // An upload session runs (owned by the upload session).
    std::atomic<bool> m_uploading{false};

    const WindowServices& Services() const { return m_services; }

  private:
    void BuildLayout();
    void ConnectHandlers();

    // Hooks of the start-up and shut-down order, filled by their areas.
    void LoadAdapterList();
    void UpdateAddressPlan();
    void LoadImagePaths();
    void SaveImagePaths();
    // Ends a running session and joins its workers.
    void StopUpload();

    // Runs a control change on the GUI thread: at once there, queued in call order elsewhere.
    void OnGuiThread(std::function<void()> change);

    WindowServices m_services;
    // Receives the queued feedback changes, so only they are flushed before a direct change.
    QObject* m_feedbackPort = nullptr;
};

// The recorder's MAC address, program-wide; octets 3 to 5 are captured at each Upload.
extern fk::MacAddress deviceMac;

// The application title, also the caption of error boxes.
inline constexpr const char* kApplicationTitle = "FlashKit V1.3.13.25";
