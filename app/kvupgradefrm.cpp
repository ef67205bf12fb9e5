#include "app/kvupgradefrm.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QValidator>
#include <filesystem>
#include <system_error>

#include "app/file_name_text.h"
#include "app/gui_thread_queue.h"
#include "app/open_file_dialog.h"
#include "app/presenter/window_session.h"
#include "app/unhandled_error.h"
#include "app/window_links.h"

fk::MacAddress deviceMac = fk::kRecorderMacPrefix;

// The resources live in a static library; the linker keeps them only when asked for by name.
static void InitResources() {
    Q_INIT_RESOURCE(flashkit);
}

namespace {

// The layout's face is rarely installed here. Without a named stand-in the font matcher honours
// the fixed-pitch request with a monospaced face, whose wider letters no longer fit the layout.
// Liberation Sans (a dependency of the package) and the faces with its letter widths come first;
// DejaVu Sans, which every system has, is still better than a monospaced face.
void RegisterLayoutFontStandIns() {
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                QStringLiteral("Arial"), QStringLiteral("Nimbus Sans"),
                                QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
}

}  // namespace

namespace {

constexpr int kClientWidth = 494;
constexpr int kClientHeight = 473;
constexpr int kComboItemHeight = 20;
const QColor kUploadCaptionTeal(0, 128, 128);
const QColor kUploadCaptionGreen(0, 129, 0);

// The stand-ins are wider than the layout's face: narrowed to this, every label shows its whole
// text at its layout width, and the dashes of the MAC label fall between the MAC boxes.
constexpr int kStandInStretch = 93;

QFont LayoutFont(int pixelHeight, bool bold) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(pixelHeight);
    font.setBold(bold);
    font.setFixedPitch(true);
    font.setStretch(kStandInStretch);
    return font;
}

template <class Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

void SetTextColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

// The MAC boxes take any character but show letters in upper case, as typed.
class UpperCaseValidator final : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

class FixedHeightItemDelegate final : public QStyledItemDelegate {
  public:
    FixedHeightItemDelegate(int height, QObject* parent)
        : QStyledItemDelegate(parent), m_height(height) {}
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), m_height};
    }

  private:
    int m_height;
};

// A label whose width follows its text while its left edge stays put. A text change asks the
// parent to lay out again; the parent has no layout, so that request is answered here.
class WidthFollowsText final : public QObject {
  public:
    explicit WidthFollowsText(QLabel* label) : QObject(label), m_label(label) {
        label->parentWidget()->installEventFilter(this);
        label->installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool textMayHaveChanged = event->type() == QEvent::LayoutRequest ||
                                        (watched == m_label && event->type() == QEvent::Show);
        if (textMayHaveChanged && !m_label->text().isEmpty()) {
            m_label->resize(m_label->sizeHint().width(), m_label->height());
        }
        return false;
    }

  private:
    QLabel* m_label;
};

// Enter anywhere in the window that no control takes for itself presses the default button.
class EnterPressesButton final : public QObject {
  public:
    EnterPressesButton(QWidget* window, QPushButton* button) : QObject(window), m_button(button) {
        window->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
        if (!m_button->isEnabled() || !m_button->isVisible()) return false;
        m_button->click();
        return true;
    }

  private:
    QPushButton* m_button;
};

QLineEdit* MacBox(QWidget* parent, const char* name, int left) {
    auto* box = Place(new QLineEdit(QStringLiteral("FF"), parent), name, left, 36, 32, 28);
    box->setFont(LayoutFont(16, false));
    box->setMaxLength(2);
    box->setValidator(new UpperCaseValidator(box));
    return box;
}

QLabel* Label(QWidget* parent, const char* name, const QRect& place, const QString& text,
              int pixelHeight = 16) {
    auto* label =
        Place(new QLabel(text, parent), name, place.x(), place.y(), place.width(), place.height());
    label->setFont(LayoutFont(pixelHeight, false));
    return label;
}

QPushButton* BrowseButton(QWidget* page, const char* name) {
    auto* button =
        Place(new QPushButton(QStringLiteral("    &Browse..."), page), name, 323, 40, 133, 30);
    button->setAutoDefault(true);
    return button;
}

QTimer* Timer(QObject* owner, const char* name, int intervalMs) {
    auto* timer = new QTimer(owner);
    timer->setObjectName(QString::fromLatin1(name));
    timer->setInterval(intervalMs);
    return timer;
}

}  // namespace

TKVUpgradeFrm::TKVUpgradeFrm(const fk::WindowServices& services, QWidget* parent)
    : QWidget(parent), m_services(services), m_feedbackPort(new GuiThreadQueue(this)) {
    InitResources();
    RegisterLayoutFontStandIns();
    BuildLayout();
    m_view = std::make_unique<View>(*this);
    // No broadcast fallback: on Linux an entry that cannot be made means the ports cannot be bound
    // either (both need the same privileges).
    m_session = std::make_unique<fk::window::WindowSession>(
        m_services, [this](std::function<void()> change) { OnGuiThread(std::move(change)); },
        fk::window::WindowSession::Options{});
    m_presenter = std::make_unique<fk::window::WindowPresenter>(fk::window::PresenterServices{
        *m_view, *m_view, *m_view, *m_view, *m_session, m_services.adapters, m_services.tcpipConfig,
        m_services.neighbours, deviceMac, kApplicationTitle});
    m_session->ReportTo(*m_presenter);
    ConnectHandlers();
}

// Normally FormDestroy has joined the workers already; a window deleted without it must still
// not leave one reporting to controls that are about to go.
TKVUpgradeFrm::~TKVUpgradeFrm() {
    StopFollowingCards();
    EndWorkerCues();
    m_session->Shutdown();
}

void TKVUpgradeFrm::BuildLayout() {
    setObjectName(QStringLiteral("KVUpgradeFrm"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("FlashKit v" FLASHKIT_VERSION_SHORT));
    setWindowIcon(QIcon(QStringLiteral(":/flashkit/flashkit-icon.png")));
    setFont(LayoutFont(11, false));
    setFixedSize(kClientWidth, kClientHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    // Controls are made in tab order among siblings, so the focus chain follows it.
    GroupNetwork = Place(new QGroupBox(QStringLiteral(" Setup network card "), this),
                         "GroupNetwork", 7, 0, 480, 126);
    GroupNetwork->setFont(LayoutFont(16, true));
    Panel1 = Place(new QFrame(GroupNetwork), "Panel1", 316, 19, 153, 97);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Image1 = Place(new QLabel(Panel1), "Image1", 1, 1, 151, 95);
    Image1->setPixmap(QPixmap(QStringLiteral(":/flashkit/recorder-download.png")));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1 = Label(GroupNetwork, "Label1", {17, 28, 244, 20},
                   QStringLiteral("Select network card in your system"));
    m_cbNetinfo = Place(new QComboBox(GroupNetwork), "m_cbNetinfo", 16, 56, 286, 28);
    m_cbNetinfo->setFont(LayoutFont(16, false));
    m_cbNetinfo->setEditable(false);
    m_cbNetinfo->setItemDelegate(new FixedHeightItemDelegate(kComboItemHeight, m_cbNetinfo));
    Label2 = Label(GroupNetwork, "Label2", {16, 92, 78, 20}, QStringLiteral("IP Address"));
    m_ctrlAddrIp = Place(new QLabel(GroupNetwork), "m_ctrlAddrIp", 114, 92, 6, 20);
    m_ctrlAddrIp->setAlignment(Qt::AlignCenter);
    new WidthFollowsText(m_ctrlAddrIp);

    GroupMac = Place(new QGroupBox(QStringLiteral(" Setup MAC address "), this), "GroupMac", 7, 127,
                     480, 90);
    GroupMac->setFont(LayoutFont(16, true));
    Label3 = Label(GroupMac, "Label3", {17, 39, 135, 20}, QStringLiteral("DVR MAC address"));
    Label4 = Label(GroupMac, "Label4", {193, 39, 201, 20},
                   QStringLiteral("02 - 5E - A1 -") + QString(12, u' ') + u'-' + QString(11, u' ') +
                       u'-' + QString(2, u' '));
    editMac3 = MacBox(GroupMac, "editMac3", 294);
    editMac4 = MacBox(GroupMac, "editMac4", 343);
    editMac5 = MacBox(GroupMac, "editMac5", 391);

    ImgPageCtrl = Place(new QTabWidget(this), "ImgPageCtrl", 8, 224, 479, 113);
    ImgPageCtrl->setFont(LayoutFont(16, true));
    SysImgPage = new QWidget;
    SysImgPage->setObjectName(QStringLiteral("SysImgPage"));
    SysImgPage->setFont(LayoutFont(16, false));
    ImgPageCtrl->addTab(SysImgPage, QStringLiteral("System Image"));
    m_strSysFile = Place(new QLineEdit(SysImgPage), "m_strSysFile", 16, 44, 287, 24);
    m_strSysFile->setFont(LayoutFont(13, false));
    BtnBrowseSys = BrowseButton(SysImgPage, "BtnBrowseSys");
    BtnBrowseSys->setFont(LayoutFont(16, true));
    Label5 = Label(SysImgPage, "Label5", {16, 14, 235, 20},
                   QStringLiteral("System image file path and name"));
    FontImgPage = new QWidget;
    FontImgPage->setObjectName(QStringLiteral("FontImgPage"));
    ImgPageCtrl->addTab(FontImgPage, QStringLiteral("Data Image"));
    m_strDataFile = Place(new QLineEdit(FontImgPage), "m_strDataFile", 16, 44, 287, 24);
    m_strDataFile->setFont(LayoutFont(13, false));
    BtnBrowseData = BrowseButton(FontImgPage, "BtnBrowseData");
    Label6 = Label(FontImgPage, "Label6", {16, 14, 217, 20},
                   QStringLiteral("Data image file path and name"));
    ImgPageCtrl->setCurrentIndex(0);

    GroupUpload = Place(new QGroupBox(QStringLiteral(" Status of uploading "), this), "GroupUpload",
                        7, 344, 480, 125);
    GroupUpload->setFont(LayoutFont(16, true));
    m_ctrlProgXfer = Place(new QProgressBar(GroupUpload), "m_ctrlProgXfer", 16, 72, 286, 25);
    m_ctrlProgXfer->setRange(0, 100);
    m_ctrlProgXfer->setValue(0);
    m_ctrlProgXfer->setTextVisible(false);
    m_strStatus = Place(new QLineEdit(GroupUpload), "m_strStatus", 16, 38, 286, 24);
    m_strStatus->setFont(LayoutFont(15, false));
    m_strStatus->setReadOnly(true);
    // Until the first status the box blends into its group.
    SetTextColour(m_strStatus, QPalette::Base, GroupUpload->palette().color(QPalette::Window));
    BtnUpload = Place(new QPushButton(QStringLiteral("&Upload"), GroupUpload), "BtnUpload", 323, 27,
                      139, 80);
    BtnUpload->setFont(LayoutFont(24, true));
    SetTextColour(BtnUpload, QPalette::ButtonText, kUploadCaptionTeal);
    BtnUpload->setDefault(true);
    BtnUpload->setAutoDefault(true);
    new EnterPressesButton(this, BtnUpload);

    SysFileOpenDlg = new fk::OpenFileDialog(m_services.fileDialogs,
                                            QStringLiteral("Vantorix System File (*.Bin)|*.bin"),
                                            QStringLiteral("*.Bin"), this);
    SysFileOpenDlg->setObjectName(QStringLiteral("SysFileOpenDlg"));
    DataFileOpenDlg = new fk::OpenFileDialog(m_services.fileDialogs,
                                             QStringLiteral("Vantorix Data File (*.Fnt)|*.Fnt"),
                                             QStringLiteral("*.Fnt"), this);
    DataFileOpenDlg->setObjectName(QStringLiteral("DataFileOpenDlg"));

    BTimer = Timer(this, "BTimer", 500);
    AckTimeOut = Timer(this, "AckTimeOut", 3000);
    SendTimeOut = Timer(this, "SendTimeOut", 3000);
}

void TKVUpgradeFrm::ConnectHandlers() {
    // Every handler runs guarded: an error leaving it is shown and the event loop goes on.
    auto bind = [this](auto* sender, auto signal, void (TKVUpgradeFrm::*handler)()) {
        connect(sender, signal, this, [this, handler] {
            fk::RunGuarded(&m_services.messageBoxes, [&] { (this->*handler)(); });
        });
    };
    bind(m_cbNetinfo, &QComboBox::currentIndexChanged, &TKVUpgradeFrm::m_cbNetinfoChange);
    bind(editMac3, &QLineEdit::textChanged, &TKVUpgradeFrm::editMac3Change);
    bind(editMac4, &QLineEdit::textChanged, &TKVUpgradeFrm::editMac4Change);
    bind(editMac5, &QLineEdit::textChanged, &TKVUpgradeFrm::editMac5Change);
    bind(m_strSysFile, &QLineEdit::textChanged, &TKVUpgradeFrm::m_strSysFileChange);
    bind(m_strDataFile, &QLineEdit::textChanged, &TKVUpgradeFrm::m_strDataFileChange);
    bind(BtnBrowseSys, &QPushButton::clicked, &TKVUpgradeFrm::BtnBrowseSysClick);
    bind(BtnBrowseData, &QPushButton::clicked, &TKVUpgradeFrm::BtnBrowseDataClick);
    bind(BtnUpload, &QPushButton::clicked, &TKVUpgradeFrm::BtnUploadClick);
    bind(BTimer, &QTimer::timeout, &TKVUpgradeFrm::BTimerTimer);
    bind(AckTimeOut, &QTimer::timeout, &TKVUpgradeFrm::AckTimeOutTimer);
    bind(SendTimeOut, &QTimer::timeout, &TKVUpgradeFrm::SendTimeOutTimer);
}

void TKVUpgradeFrm::FormCreate() {
    SetTextColour(BtnUpload, QPalette::ButtonText, kUploadCaptionGreen);
    StartFollowingCards();
    // The default system image is looked for where the program was started from.
    std::error_code error;
    const auto workingDir = std::filesystem::current_path(error);
    m_presenter->Open(error ? std::string() : workingDir.string());
}

void TKVUpgradeFrm::FormDestroy() {
    StopFollowingCards();
    EndWorkerCues();
    m_presenter->Close();
}

// The handlers and steps below are the presenter's; the window only says which control spoke.

fk::SelectedCard TKVUpgradeFrm::Card() const {
    return m_presenter->Card();
}

bool TKVUpgradeFrm::Uploading() const {
    return m_presenter->Uploading();
}

void TKVUpgradeFrm::LoadImagePaths() {
    m_presenter->LoadImagePaths();
}

void TKVUpgradeFrm::SaveImagePaths() {
    m_presenter->SaveImagePaths();
}

bool TKVUpgradeFrm::CheckSystemImage(std::uint8_t octet3, std::uint8_t octet4,
                                     std::uint8_t octet5) {
    return m_presenter->CheckSystemImage(octet3, octet4, octet5);
}

void TKVUpgradeFrm::LoadAdapterList() {
    m_presenter->LoadAdapterList();
}

void TKVUpgradeFrm::UpdateAddressPlan() {
    m_presenter->UpdateAddressPlan();
}

void TKVUpgradeFrm::FollowSystemCards() {
    m_presenter->FollowSystemCards();
}

bool TKVUpgradeFrm::CaptureDeviceMac() {
    return m_presenter->CaptureDeviceMac();
}

void TKVUpgradeFrm::BTimerTimer() {
    m_presenter->BlinkTick();
}

void TKVUpgradeFrm::m_cbNetinfoChange() {
    m_presenter->CardChosen(m_cbNetinfo->currentIndex());
}

void TKVUpgradeFrm::editMac3Change() {
    m_presenter->MacEdited(0);
}

void TKVUpgradeFrm::editMac4Change() {
    m_presenter->MacEdited(1);
}

void TKVUpgradeFrm::editMac5Change() {
    m_presenter->MacEdited(2);
}

void TKVUpgradeFrm::m_strSysFileChange() {
    m_presenter->PathEdited(fk::ImagePage::System);
}

void TKVUpgradeFrm::m_strDataFileChange() {
    m_presenter->PathEdited(fk::ImagePage::Data);
}

void TKVUpgradeFrm::BtnBrowseSysClick() {
    m_presenter->BrowsePressed(fk::ImagePage::System);
}

void TKVUpgradeFrm::BtnBrowseDataClick() {
    m_presenter->BrowsePressed(fk::ImagePage::Data);
}

void TKVUpgradeFrm::BtnUploadClick() {
    m_presenter->UploadPressed();
}

void TKVUpgradeFrm::AckTimeOutTimer() {
    m_session->AckTimeOutTimer();
}

void TKVUpgradeFrm::SendTimeOutTimer() {
    m_session->SendTimeOutTimer();
}
