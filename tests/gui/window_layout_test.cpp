#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <optional>

#include "app/open_file_dialog.h"
#include "app/startup.h"
#include "window_fixture.h"

namespace {

struct FontSpec {
    int pixelHeight;
    bool bold;
};

struct ControlSpec {
    const char* name;
    const char* kind;
    const char* parent;
    std::optional<QRect> place;  // none where the page control places the page
    std::optional<QString> text;
    std::optional<FontSpec> font;
    int tabOrder;  // among siblings; -1 where the control has none
};

const QString kLabel4 = QStringLiteral("02 - 5E - A1 -            -           -  ");

const ControlSpec kLayout[] = {
    {"GroupNetwork", "QGroupBox", "KVUpgradeFrm", QRect(7, 0, 480, 126), " Setup network card ",
     FontSpec{16, true}, 0},
    {"Label1", "QLabel", "GroupNetwork", QRect(17, 28, 244, 20),
     "Select network card in your system", FontSpec{16, false}, -1},
    {"m_cbNetinfo", "QComboBox", "GroupNetwork", QRect(16, 56, 286, 28), std::nullopt,
     FontSpec{16, false}, 1},
    {"Label2", "QLabel", "GroupNetwork", QRect(16, 92, 78, 20), "IP Address", FontSpec{16, false},
     -1},
    {"m_ctrlAddrIp", "QLabel", "GroupNetwork", QRect(114, 92, 6, 20), "", FontSpec{16, true}, -1},
    {"Panel1", "QFrame", "GroupNetwork", QRect(316, 19, 153, 97), std::nullopt, FontSpec{16, true},
     0},
    {"Image1", "QLabel", "Panel1", QRect(1, 1, 151, 95), std::nullopt, std::nullopt, -1},
    {"GroupMac", "QGroupBox", "KVUpgradeFrm", QRect(7, 127, 480, 90), " Setup MAC address ",
     FontSpec{16, true}, 1},
    {"Label3", "QLabel", "GroupMac", QRect(17, 39, 135, 20), "DVR MAC address", FontSpec{16, false},
     -1},
    {"Label4", "QLabel", "GroupMac", QRect(193, 39, 201, 20), kLabel4, FontSpec{16, false}, -1},
    {"editMac3", "QLineEdit", "GroupMac", QRect(294, 36, 32, 28), "FF", FontSpec{16, false}, 0},
    {"editMac4", "QLineEdit", "GroupMac", QRect(343, 36, 32, 28), "FF", FontSpec{16, false}, 1},
    {"editMac5", "QLineEdit", "GroupMac", QRect(391, 36, 32, 28), "FF", FontSpec{16, false}, 2},
    {"ImgPageCtrl", "QTabWidget", "KVUpgradeFrm", QRect(8, 224, 479, 113), std::nullopt,
     FontSpec{16, true}, 2},
    {"SysImgPage", "QWidget", "ImgPageCtrl", std::nullopt, "System Image", FontSpec{16, false}, -1},
    {"Label5", "QLabel", "SysImgPage", QRect(16, 14, 235, 20), "System image file path and name",
     FontSpec{16, false}, -1},
    {"m_strSysFile", "QLineEdit", "SysImgPage", QRect(16, 44, 287, 24), "", FontSpec{13, false}, 0},
    {"BtnBrowseSys", "QPushButton", "SysImgPage", QRect(323, 40, 133, 30), "    &Browse...",
     FontSpec{16, true}, 1},
    {"FontImgPage", "QWidget", "ImgPageCtrl", std::nullopt, "Data Image", FontSpec{16, true}, -1},
    {"Label6", "QLabel", "FontImgPage", QRect(16, 14, 217, 20), "Data image file path and name",
     FontSpec{16, false}, -1},
    {"m_strDataFile", "QLineEdit", "FontImgPage", QRect(16, 44, 287, 24), "", FontSpec{13, false},
     0},
    {"BtnBrowseData", "QPushButton", "FontImgPage", QRect(323, 40, 133, 30), "    &Browse...",
     FontSpec{16, true}, 1},
    {"GroupUpload", "QGroupBox", "KVUpgradeFrm", QRect(7, 344, 480, 125), " Status of uploading ",
     FontSpec{16, true}, 3},
    {"m_ctrlProgXfer", "QProgressBar", "GroupUpload", QRect(16, 72, 286, 25), std::nullopt,
     std::nullopt, 0},
    {"m_strStatus", "QLineEdit", "GroupUpload", QRect(16, 38, 286, 24), "", FontSpec{15, false}, 1},
    {"BtnUpload", "QPushButton", "GroupUpload", QRect(323, 27, 139, 80), "&Upload",
     FontSpec{24, true}, 2},
};

QString TextOf(QWidget* widget, QTabWidget* pages) {
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
    return pages->tabText(pages->indexOf(widget));
}

// The tab pages sit in the page control's own stack; their logical parent is the page control.
QString ParentNameOf(QWidget* widget, QTabWidget* pages) {
    if (pages->indexOf(widget) >= 0) return pages->objectName();
    return widget->parentWidget()->objectName();
}

// Position of each widget in the window's focus chain.
std::map<QWidget*, int> FocusChainPositions(QWidget* window) {
    std::map<QWidget*, int> positions;
    int position = 0;
    for (QWidget* w = window->nextInFocusChain(); w != window && position < 1000;
         w = w->nextInFocusChain()) {
        positions.emplace(w, position++);
    }
    return positions;
}

}  // namespace

TEST_F(WindowTest, EveryControlHasItsLayoutNamePlaceTextFontAndTabOrder) {
    TKVUpgradeFrm& window = Window();
    auto* pages = window.ImgPageCtrl;
    const auto chain = FocusChainPositions(&window);
    std::map<QString, std::vector<std::pair<int, QWidget*>>> tabOrders;
    for (const ControlSpec& row : kLayout) {
        SCOPED_TRACE(row.name);
        auto* widget = window.findChild<QWidget*>(QString::fromLatin1(row.name));
        ASSERT_NE(widget, nullptr);
        EXPECT_TRUE(widget->inherits(row.kind)) << widget->metaObject()->className();
        EXPECT_EQ(ParentNameOf(widget, pages), QString::fromLatin1(row.parent));
        if (row.place) {
            EXPECT_EQ(widget->geometry(), *row.place);
        }
        if (row.text) {
            EXPECT_EQ(TextOf(widget, pages), *row.text);
        }
        // The whole text shows at the layout's width, in whatever face stands in for its own.
        if (row.place && row.text && !row.text->isEmpty() &&
            (widget->inherits("QLabel") || widget->inherits("QPushButton"))) {
            QString shown = *row.text;
            shown.remove(u'&');
            EXPECT_LE(QFontMetrics(widget->font()).horizontalAdvance(shown), row.place->width())
                << QFontInfo(widget->font()).family().toStdString();
        }
        if (row.font) {
            const QFont font = widget->font();
            EXPECT_EQ(font.family(), QStringLiteral("MS Sans Serif"));
            EXPECT_EQ(font.pixelSize(), row.font->pixelHeight);
            EXPECT_EQ(font.bold(), row.font->bold);
            EXPECT_TRUE(font.fixedPitch());
        }
        if (row.tabOrder >= 0) {
            tabOrders[QString::fromLatin1(row.parent)].emplace_back(row.tabOrder, widget);
        }
    }
    for (auto& [parent, siblings] : tabOrders) {
        SCOPED_TRACE(parent.toStdString());
        std::sort(siblings.begin(), siblings.end());
        for (std::size_t i = 1; i < siblings.size(); ++i) {
            EXPECT_LT(chain.at(siblings[i - 1].second), chain.at(siblings[i].second))
                << siblings[i].second->objectName().toStdString();
        }
    }
    EXPECT_EQ(kLabel4.size(), 41);
}

// "02 - 5E - A1 -" ends before editMac3; the two dashes after it show between the boxes.
TEST_F(WindowTest, MacLabelDashesFallInTheGapsBetweenTheMacBoxes) {
    TKVUpgradeFrm& window = Window();
    const QFontMetricsF metrics(window.Label4->font());
    const QRectF dashInk = metrics.tightBoundingRect(QStringLiteral("-"));
    const QString text = window.Label4->text();
    const qreal left = window.Label4->x();
    struct Gap {
        qsizetype dashAt;
        int from;
        int to;
    };
    const Gap gaps[] = {
        {13, window.Label4->x(), window.editMac3->x()},
        {26, window.editMac3->geometry().right() + 1, window.editMac4->x()},
        {38, window.editMac4->geometry().right() + 1, window.editMac5->x()},
    };
    for (const Gap& gap : gaps) {
        SCOPED_TRACE(gap.dashAt);
        ASSERT_EQ(text[gap.dashAt], u'-');
        const qreal at = left + metrics.horizontalAdvance(text.left(gap.dashAt));
        EXPECT_GE(at + dashInk.left(), gap.from);
        EXPECT_LE(at + dashInk.right(), gap.to);
    }
}

TEST_F(WindowTest, WindowIsFixedCaptionedAndHasNoMaximiseButton) {
    TKVUpgradeFrm& window = Window();
    EXPECT_EQ(window.objectName(), QStringLiteral("KVUpgradeFrm"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("FlashKit v1.3.13"));
    EXPECT_EQ(window.minimumSize(), QSize(494, 473));
    EXPECT_EQ(window.maximumSize(), QSize(494, 473));
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(window.windowIcon().isNull());
    EXPECT_EQ(window.font().pixelSize(), 11);
    EXPECT_FALSE(window.font().bold());
    EXPECT_EQ(QString(kApplicationTitle), QStringLiteral("FlashKit V1.3.13.25"));
}

TEST_F(WindowTest, ControlsStartInTheirLayoutStates) {
    TKVUpgradeFrm& window = Window();
    EXPECT_FALSE(window.m_cbNetinfo->isEditable());
    EXPECT_TRUE(window.m_strStatus->isReadOnly());
    for (QLineEdit* mac : {window.editMac3, window.editMac4, window.editMac5}) {
        EXPECT_EQ(mac->maxLength(), 2);
    }
    EXPECT_EQ(window.m_ctrlProgXfer->minimum(), 0);
    EXPECT_EQ(window.m_ctrlProgXfer->maximum(), 100);
    EXPECT_EQ(window.m_ctrlProgXfer->value(), 0);
    EXPECT_EQ(window.ImgPageCtrl->currentIndex(), 0);
    EXPECT_EQ(window.ImgPageCtrl->currentWidget(), window.SysImgPage);
    EXPECT_TRUE(window.BtnUpload->isDefault());
    EXPECT_EQ(window.BtnUpload->palette().color(QPalette::ButtonText), QColor(0, 128, 128));
    EXPECT_EQ(window.m_strStatus->palette().color(QPalette::Base),
              window.GroupUpload->palette().color(QPalette::Window));

    const QPixmap picture = window.Image1->pixmap();
    EXPECT_EQ(picture.size(), QSize(150, 98));
    EXPECT_EQ(window.Image1->alignment(), Qt::AlignLeft | Qt::AlignTop);
    EXPECT_FALSE(window.Image1->hasScaledContents());
    EXPECT_EQ(window.Panel1->frameShape(), QFrame::Panel);
    EXPECT_EQ(window.Panel1->frameShadow(), QFrame::Raised);

    struct TimerSpec {
        QTimer* timer;
        const char* name;
        int intervalMs;
    };
    for (const auto& [timer, name, intervalMs] :
         {TimerSpec{window.BTimer, "BTimer", 500}, TimerSpec{window.AckTimeOut, "AckTimeOut", 3000},
          TimerSpec{window.SendTimeOut, "SendTimeOut", 3000}}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(timer->objectName(), QString::fromLatin1(name));
        EXPECT_EQ(timer->interval(), intervalMs);
        EXPECT_FALSE(timer->isActive());
    }

    EXPECT_EQ(window.SysFileOpenDlg->objectName(), QStringLiteral("SysFileOpenDlg"));
    EXPECT_EQ(window.SysFileOpenDlg->Filter(),
              QStringLiteral("Vantorix System File (*.Bin)|*.bin"));
    EXPECT_EQ(window.SysFileOpenDlg->DefaultExt(), QStringLiteral("*.Bin"));
    EXPECT_EQ(window.DataFileOpenDlg->objectName(), QStringLiteral("DataFileOpenDlg"));
    EXPECT_EQ(window.DataFileOpenDlg->Filter(), QStringLiteral("Vantorix Data File (*.Fnt)|*.Fnt"));
    EXPECT_EQ(window.DataFileOpenDlg->DefaultExt(), QStringLiteral("*.Fnt"));
    EXPECT_TRUE(window.SysFileOpenDlg->InitialDir().isEmpty());
    EXPECT_TRUE(window.DataFileOpenDlg->InitialDir().isEmpty());
}

TEST_F(WindowTest, FormCreateColoursUploadAndPointsTheSystemDialogAtTheWorkingDirectory) {
    auto window = fk::CreateMainWindow(Services());
    EXPECT_EQ(window->BtnUpload->palette().color(QPalette::ButtonText), QColor(0, 129, 0));
    EXPECT_EQ(window->SysFileOpenDlg->InitialDir(), QDir::currentPath());
    EXPECT_TRUE(window->DataFileOpenDlg->InitialDir().isEmpty());
    EXPECT_TRUE(boxes.Shown().empty());
    fk::DestroyMainWindow(std::move(window));
}

TEST_F(WindowTest, WindowOpensCentredOnTheScreen) {
    auto window = fk::CreateMainWindow(Services());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QPoint screenCentre = window->screen()->availableGeometry().center();
    const QPoint windowCentre = window->frameGeometry().center();
    EXPECT_LE((screenCentre - windowCentre).manhattanLength(), 40);
    fk::DestroyMainWindow(std::move(window));
}

TEST_F(WindowTest, MacBoxesShowUpperCaseAndTakeTwoCharacters) {
    TKVUpgradeFrm& window = Window();
    for (QLineEdit* mac : {window.editMac3, window.editMac4, window.editMac5}) {
        SCOPED_TRACE(mac->objectName().toStdString());
        mac->clear();
        QTest::keyClicks(mac, "a");
        EXPECT_EQ(mac->text(), QStringLiteral("A"));
        QTest::keyClicks(mac, "f");
        EXPECT_EQ(mac->text(), QStringLiteral("AF"));
        QTest::keyClicks(mac, "3");
        EXPECT_EQ(mac->text(), QStringLiteral("AF"));
    }
}

TEST_F(WindowTest, OperatorCannotTypeIntoStatusOrCardList) {
    TKVUpgradeFrm& window = Window();
    QTest::keyClicks(window.m_strStatus, "typed");
    EXPECT_TRUE(window.m_strStatus->text().isEmpty());
    window.m_cbNetinfo->addItem(QStringLiteral("eth0"));
    QTest::keyClicks(window.m_cbNetinfo, "xyz");
    EXPECT_EQ(window.m_cbNetinfo->currentText(), QStringLiteral("eth0"));
    EXPECT_EQ(window.m_cbNetinfo->lineEdit(), nullptr);
}

TEST_F(WindowTest, EnterPressesUploadUnlessAButtonHasFocus) {
    TKVUpgradeFrm& window = Window();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy upload(window.BtnUpload, &QPushButton::clicked);
    QSignalSpy browse(window.BtnBrowseSys, &QPushButton::clicked);

    QTest::keyClick(window.editMac4, Qt::Key_Return);
    QTest::keyClick(window.m_strSysFile, Qt::Key_Enter);
    QTest::keyClick(window.m_cbNetinfo, Qt::Key_Return);
    EXPECT_EQ(upload.count(), 3);

    QTest::keyClick(window.BtnBrowseSys, Qt::Key_Return);
    EXPECT_EQ(browse.count(), 1);
    EXPECT_EQ(upload.count(), 3);

    window.BtnUpload->setEnabled(false);
    QTest::keyClick(window.editMac4, Qt::Key_Return);
    EXPECT_EQ(upload.count(), 3);
}

TEST_F(WindowTest, AddressLabelWidthFollowsItsText) {
    TKVUpgradeFrm& window = Window();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.m_ctrlAddrIp->setText(QStringLiteral("192.168.100.200"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.m_ctrlAddrIp->width() == window.m_ctrlAddrIp->sizeHint().width(); },
        2000));
    EXPECT_GT(window.m_ctrlAddrIp->width(), 40);
    EXPECT_EQ(window.m_ctrlAddrIp->pos(), QPoint(114, 92));
    EXPECT_EQ(window.m_ctrlAddrIp->height(), 20);
}
