#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/presenter/window_presenter.h"
#include "app/presenter/window_services.h"
#include "flashkit_version.h"
#include "net/adapter_list.h"
#include "net/ipv4.h"
#include "net/mac.h"
#include "platform/message_box.h"
#include "upgrade/session_events.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QTabWidget;
class QTimer;
class GuiThreadQueue;

namespace fk {
class OpenFileDialog;
namespace window {
class WindowSession;
}  // namespace window
}  // namespace fk

// The one main window: a view over the window presenter (app/presenter), which owns the tool's
// state and behaviour. The upload workers see it only through the narrow session interface.
class TKVUpgradeFrm : public QWidget {
    Q_OBJECT

  public:
    explicit TKVUpgradeFrm(const fk::WindowServices& services, QWidget* parent = nullptr);
    ~TKVUpgradeFrm() override;

    // Lifecycle.
    void FormCreate();
    void FormDestroy();

    // Feedback, callable from any thread.
    void ShowStatus(const QString& text);
    void SetProgress(int percent);
    void PlayCue(int cue);
    // A box raised from a worker: shown by the GUI thread without holding the caller.
    void ShowMessageFromWorker(const QString& text, const QString& caption,
                               fk::platform::MessageIcon icon);

    // Remembered image paths: read at creation, stored at destruction. Both throw
    // std::runtime_error with the text to show when the settings store refuses a value.
    void LoadImagePaths();
    void SaveImagePaths();

    // Whether the system image in m_strSysFile fits the recorder with these MAC octets 3 to 5.
    // Shows its own file error boxes. (These and the following are the presenter's.)
    bool CheckSystemImage(std::uint8_t octet3, std::uint8_t octet4, std::uint8_t octet5);

    // Network addressing, GUI thread.
    void LoadAdapterList();
    void UpdateAddressPlan();
    // The card list and the address plan again, as the system's cards are now; the selected card
    // stays selected while it exists.
    void FollowSystemCards();
    // The MAC boxes into octets 3 to 5 of deviceMac, at Upload; false after telling the operator.
    bool CaptureDeviceMac();

    // The selected card with the address it holds, as UpdateAddressPlan last made it.
    fk::SelectedCard Card() const;
    fk::Ipv4 HostAddress() const { return Card().hostAddress; }
    int SelectedIfIndex() const { return Card().ifindex; }
    // Adds or deletes the recorder's neighbour entry for address on the card with that interface
    // index, bound to mac (a delete ignores mac): 0 or the errno (EADDRINUSE: another device
    // answers for the address).
    int SetDeviceArpEntry(int ifindex, fk::Ipv4 address, const fk::MacAddress& mac, bool add);

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

    // An upload runs: its sockets are open (announcing or transferring).
    bool Uploading() const;

    const fk::WindowServices& Services() const { return m_services; }
    fk::window::WindowPresenter& Presenter() { return *m_presenter; }

  private:
    void BuildLayout();
    void ConnectHandlers();
    // The system's card changes run FollowSystemCards, on the GUI thread.
    void StartFollowingCards();
    void StopFollowingCards();

    // Runs a control change on the GUI thread: at once there, queued in call order elsewhere.
    void OnGuiThread(std::function<void()> change);

    // Every cue, and a worker's wait for one, ends at once when the window closes, aborts or
    // starts another upload, so joining the last upload's workers never waits for a sound.
    std::stop_token WorkerCueStop();
    void EndWorkerCues();
    void AllowWorkerCues();

    fk::WindowServices m_services;
    // Receives the queued feedback changes, so only they are flushed before a direct change.
    GuiThreadQueue* m_feedbackPort = nullptr;

    std::mutex m_workerCueMutex;  // m_workerCueStop: renewed on the GUI thread, read by workers
    std::stop_source m_workerCueStop;

    QSocketNotifier* m_cardNotices = nullptr;  // the card watch's descriptor, read on this thread
    // A status text from a worker reaches the box from the event loop, which paints it next.
    bool m_paintStatusNow = true;

    // The presenter's view of the widgets, and the upload, which reports to the presenter through
    // OnGuiThread until it is joined.
    class View;
    std::unique_ptr<View> m_view;
    std::unique_ptr<fk::window::WindowSession> m_session;
    std::unique_ptr<fk::window::WindowPresenter> m_presenter;
};

// The recorder's MAC address, program-wide; octets 3 to 5 are captured at each Upload.
extern fk::MacAddress deviceMac;

// The application title, also the caption of error boxes.
inline constexpr const char* kApplicationTitle = "FlashKit V" FLASHKIT_VERSION;
