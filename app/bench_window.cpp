#include "app/bench_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <filesystem>

#include "app/file_name_text.h"
#include "app/flashkit_application.h"
#include "app/gui_thread_queue.h"
#include "app/settings_store.h"
#include "app/unhandled_error.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/sound.h"
#include "upgrade/recorder_entries.h"

namespace fk {

namespace {

enum Column { kMac, kAddress, kState, kProgress, kRate, kOutcome, kColumns };

}  // namespace

// --- View: what the presenter draws and asks ---

class BenchWindow::View final : public bench::BenchView,
                                public window::CuePlayer,
                                public window::SettingsStore {
  public:
    explicit View(BenchWindow& window) : m_window(window) {}

    void SetCards(const std::vector<std::string>& entries, int selected) override {
        const QSignalBlocker blocker(m_window.cards);
        m_window.cards->clear();
        for (const auto& entry : entries) m_window.cards->addItem(QString::fromStdString(entry));
        if (selected >= 0) m_window.cards->setCurrentIndex(selected);
    }
    void SetHostAddressText(const std::string& text) override {
        m_window.hostAddress->setText(QString::fromStdString(text));
    }
    std::string MacText(int box) const override {
        return m_window.macBoxes[box]->text().toStdString();
    }
    void ClearMacs() override {
        for (QLineEdit* box : m_window.macBoxes) box->clear();
        m_window.macBoxes[0]->setFocus();
    }
    void SetRecorders(const std::vector<std::string>& macs) override {
        m_window.recorders->clear();
        for (const auto& mac : macs) m_window.recorders->addItem(QString::fromStdString(mac));
    }
    ImagePage CurrentPage() const override {
        return m_window.imagePages->currentIndex() == 0 ? ImagePage::System : ImagePage::Data;
    }
    std::string PathText(ImagePage page) const override { return PathInBox(PathBox(page)->text()); }
    void SetPathText(ImagePage page, const std::string& path) override {
        PathBox(page)->setText(FileNameText(path));
    }
    bool Learn() const override { return m_window.learn->isChecked(); }
    int AtOnce() const override { return m_window.atOnce->value(); }
    std::string PoolText() const override { return m_window.pool->text().trimmed().toStdString(); }

    void SetRows(const std::vector<bench::BenchRow>& rows) override {
        QTreeWidget* list = m_window.list;
        while (list->topLevelItemCount() > static_cast<int>(rows.size()))
            delete list->takeTopLevelItem(list->topLevelItemCount() - 1);
        for (std::size_t n = 0; n < rows.size(); ++n) {
            QTreeWidgetItem* item = list->topLevelItem(static_cast<int>(n));
            if (!item) {
                item = new QTreeWidgetItem(list);
                auto* bar = new QProgressBar(list);
                bar->setRange(0, 100);
                list->setItemWidget(item, kProgress, bar);
            }
            const auto& row = rows[n];
            item->setText(kMac, QString::fromStdString(row.mac));
            item->setText(kAddress, QString::fromStdString(row.address));
            item->setText(kState, QString::fromStdString(row.state));
            item->setText(kProgress, QString::number(row.percent) + u'%');
            item->setText(kRate, QString::fromStdString(row.rate));
            item->setText(kOutcome, QString::fromStdString(row.outcome));
            static_cast<QProgressBar*>(list->itemWidget(item, kProgress))->setValue(row.percent);
        }
    }
    void SetSummary(const std::string& text) override {
        m_window.summary->setText(QString::fromStdString(text));
    }
    void SetRunning(bool running) override {
        m_window.startButton->setEnabled(!running);
        m_window.stopButton->setEnabled(running);
        m_window.clearButton->setEnabled(!running);
        for (QWidget* setUp : std::initializer_list<QWidget*>{
                 m_window.cards, m_window.imagePages, m_window.learn, m_window.atOnce,
                 m_window.pool, m_window.addButton, m_window.pasteButton, m_window.loadButton,
                 m_window.removeButton}) {
            setUp->setEnabled(!running);
        }
    }
    // The summary label is what a screen reader follows: an ended row is said there at once.
    void Announce(const std::string& text) override {
        m_window.summary->setAccessibleDescription(QString::fromStdString(text));
    }
    void ShowBox(const std::string& text, const std::string& caption,
                 platform::MessageIcon icon) override {
        m_window.m_services.messageBoxes.Show(text, caption, icon, platform::MessageButtons::Ok);
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        return m_window.m_services.messageBoxes.Show(text, caption, platform::MessageIcon::Question,
                                                     platform::MessageButtons::YesNo) ==
               platform::MessageAnswer::Yes;
    }
    std::optional<std::string> ChooseReportFile() override {
        const QString path = QFileDialog::getSaveFileName(&m_window, QStringLiteral("Save report"),
                                                          QStringLiteral("flashkit-bench.csv"),
                                                          QStringLiteral("CSV files (*.csv)"));
        if (path.isEmpty()) return std::nullopt;
        return FileNameBytes(path);
    }

    // CuePlayer: the GUI thread never waits for a sound.
    void Play(Cue cue) override {
        const auto chosen = SoundOf(cue);
        if (!chosen) return;
        std::error_code error;
        if (std::filesystem::is_regular_file(chosen->fileName, error)) {
            m_window.m_services.sound.PlayWaveAsync(
                std::filesystem::absolute(chosen->fileName, error).string());
        } else {
            m_window.m_services.sound.PlayTonesAsync(chosen->tones);
        }
    }
    void Silence() override { m_window.m_services.sound.Silence(); }

    // SettingsStore
    std::string Read(const std::string& group, const std::string& name) override {
        return ReadSettingString(group, name);
    }
    void Write(const std::string& group, const std::string& name,
               const std::string& value) override {
        WriteSettingString(group, name, value);
    }

    // An image chosen in the open-file dialog of its page.
    void Browse(ImagePage page) {
        const bool system = page == ImagePage::System;
        const auto path = m_window.m_services.fileDialogs.GetOpenFileName(
            {system ? "System image (*.bin)|*.bin" : "Data image (*.Fnt)|*.Fnt",
             system ? "*.Bin" : "*.Fnt", PathText(page)});
        if (path) SetPathText(page, *path);
    }

  private:
    QLineEdit* PathBox(ImagePage page) const {
        return page == ImagePage::System ? m_window.systemPath : m_window.dataPath;
    }

    BenchWindow& m_window;
};

// --- Link: the station, reporting to the presenter on the GUI thread ---

class BenchWindow::Link final : public StationHost, public bench::BenchSession {
  public:
    explicit Link(BenchWindow& window)
        : m_window(window),
          m_ports(window.m_services.ports ? *window.m_services.ports
                                          : platform::SystemPortOpener()),
          // A held address moves its recorder to the next one, which the station tells itself.
          m_entries(window.m_services.neighbours, {}) {}
    ~Link() override { Shutdown(); }

    // Any thread: queued, so the GUI thread sees the events in the station's order.
    void OnEvent(const StationRecorder& recorder, const SessionEvent& event) override {
        m_window.m_queue->Post([presenter = m_window.m_presenter.get(), recorder, event] {
            presenter->OnEvent(recorder, event);
        });
    }

    void Start(const StationPlan& plan, std::size_t atOnce) override {
        Shutdown();
        StationOptions options = m_window.m_services.uploadOptions
                                     ? *m_window.m_services.uploadOptions
                                     : StationOptions{};
        options.maxRecorders = atOnce;
        m_station = std::make_unique<StationSession>(*this, m_entries, m_ports, options);
        // A station whose ports did not open ends at once: its Ended follows its StartFailed.
        if (!m_station->Start(plan)) m_station->Stop();
    }
    // As Ctrl-C stops the terminal's station: what runs is interrupted.
    void Stop() override {
        if (m_station) m_station->Stop(Outcome::Interrupted);
        m_window.m_queue->RunWaiting();
    }
    void Shutdown() {
        if (m_station) m_station->Stop(Outcome::Interrupted);
        m_station.reset();
    }

  private:
    BenchWindow& m_window;
    platform::PortOpener& m_ports;
    RecorderEntries m_entries;
    std::unique_ptr<StationSession> m_station;
};

// --- The window ---

BenchWindow::BenchWindow(const WindowServices& services, QWidget* parent)
    : QWidget(parent), m_services(services), m_queue(new GuiThreadQueue(this)) {
    BuildLayout();
    m_view = std::make_unique<View>(*this);
    m_link = std::make_unique<Link>(*this);
    m_presenter = std::make_unique<bench::BenchPresenter>(bench::BenchServices{
        *m_view, *m_view, *m_view, *m_link, m_services.adapters, m_services.tcpipConfig,
        m_services.neighbours, m_services.history, kApplicationTitle});

    connect(cards, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_presenter->CardChosen(index); });
    connect(addButton, &QPushButton::clicked, this, [this] { m_presenter->AddPressed(); });
    for (QLineEdit* box : macBoxes) {
        connect(box, &QLineEdit::returnPressed, this, [this] { m_presenter->AddPressed(); });
    }
    const auto paste = [this] {
        m_presenter->AddLines(QApplication::clipboard()->text().toStdString());
    };
    connect(pasteButton, &QPushButton::clicked, this, paste);
    connect(new QShortcut(QKeySequence::Paste, recorders), &QShortcut::activated, this, paste);
    connect(loadButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Load MAC list"));
        if (!path.isEmpty()) m_presenter->LoadPressed(FileNameBytes(path));
    });
    const auto remove = [this] {
        const int row = recorders->currentRow();
        if (row >= 0) m_presenter->RemovePressed(static_cast<std::size_t>(row));
    };
    connect(removeButton, &QPushButton::clicked, this, remove);
    connect(new QShortcut(QKeySequence::Delete, recorders), &QShortcut::activated, this, remove);
    connect(startButton, &QPushButton::clicked, this, [this] { m_presenter->StartPressed(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { m_presenter->StopPressed(); });
    connect(saveButton, &QPushButton::clicked, this, [this] { m_presenter->SaveReportPressed(); });
    connect(clearButton, &QPushButton::clicked, this, [this] { m_presenter->ClearPressed(); });
    for (QPushButton* browse : findChildren<QPushButton*>(QStringLiteral("browse"))) {
        const ImagePage page =
            browse->parentWidget() == imagePages->widget(0) ? ImagePage::System : ImagePage::Data;
        connect(browse, &QPushButton::clicked, this, [this, page] { m_view->Browse(page); });
    }

    m_refresh = new QTimer(this);
    m_refresh->setInterval(bench::kListRefresh);
    connect(m_refresh, &QTimer::timeout, this, [this] { m_presenter->Tick(); });
    m_presenter->Open();
    m_refresh->start();
}

// The station is joined before the presenter and the controls it reports to go.
BenchWindow::~BenchWindow() {
    m_link->Shutdown();
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    if (!m_presenter->CloseRequested()) {
        event->ignore();
        return;
    }
    m_presenter->Close();
    event->accept();
}

void BenchWindow::BuildLayout() {
    setObjectName(QStringLiteral("BenchWindow"));
    setWindowTitle(QStringLiteral("FlashKit Bench"));
    setWindowIcon(QIcon(QStringLiteral(":/flashkit/flashkit-icon.png")));
    auto* top = new QVBoxLayout(this);

    auto* setUp = new QGroupBox(QStringLiteral("Set-up"), this);
    auto* form = new QFormLayout(setUp);
    auto* cardRow = new QHBoxLayout;
    cards = new QComboBox(setUp);
    hostAddress = new QLabel(setUp);
    cardRow->addWidget(cards, 1);
    cardRow->addWidget(hostAddress);
    // A row of several widgets gets no buddy from the form: its label names the one Alt takes to.
    auto* cardLabel = new QLabel(QStringLiteral("&Network card"), setUp);
    cardLabel->setBuddy(cards);
    form->addRow(cardLabel, cardRow);
    imagePages = new QTabWidget(setUp);
    for (const auto& [title, box] : {std::pair{QStringLiteral("System Image"), &systemPath},
                                     std::pair{QStringLiteral("Data Image"), &dataPath}}) {
        auto* page = new QWidget(imagePages);
        auto* row = new QHBoxLayout(page);
        *box = new QLineEdit(page);
        auto* browse = new QPushButton(QStringLiteral("Browse..."), page);
        browse->setObjectName(QStringLiteral("browse"));
        row->addWidget(*box, 1);
        row->addWidget(browse);
        imagePages->addTab(page, title);
    }
    form->addRow(QStringLiteral("Image"), imagePages);

    auto* macRow = new QHBoxLayout;
    macRow->addWidget(new QLabel(QStringLiteral("02 - 5E - A1 -"), setUp));
    for (int n = 0; n < 3; ++n) {
        macBoxes[n] = new QLineEdit(setUp);
        macBoxes[n]->setMaxLength(2);
        macBoxes[n]->setFixedWidth(40);
        macBoxes[n]->setAccessibleName(QStringLiteral("MAC octet %1").arg(n + 4));
        macRow->addWidget(macBoxes[n]);
    }
    addButton = new QPushButton(QStringLiteral("&Add"), setUp);
    macRow->addWidget(addButton);
    macRow->addStretch();
    auto* macLabel = new QLabel(QStringLiteral("&Recorder MAC"), setUp);
    macLabel->setBuddy(macBoxes[0]);
    form->addRow(macLabel, macRow);
    auto* listRow = new QHBoxLayout;
    recorders = new QListWidget(setUp);
    recorders->setAccessibleName(QStringLiteral("Recorders"));
    recorders->setMaximumHeight(110);
    auto* listButtons = new QVBoxLayout;
    pasteButton = new QPushButton(QStringLiteral("&Paste"), setUp);
    loadButton = new QPushButton(QStringLiteral("&Load..."), setUp);
    removeButton = new QPushButton(QStringLiteral("Re&move"), setUp);
    for (QPushButton* button : {pasteButton, loadButton, removeButton})
        listButtons->addWidget(button);
    listButtons->addStretch();
    listRow->addWidget(recorders, 1);
    listRow->addLayout(listButtons);
    form->addRow(QStringLiteral("Recorders"), listRow);
    learn = new QCheckBox(QStringLiteral("l&earn recorders that ask"), setUp);
    form->addRow(QString(), learn);
    atOnce = new QSpinBox(setUp);
    atOnce->setRange(1, 64);
    atOnce->setValue(16);
    form->addRow(QStringLiteral("at &once"), atOnce);
    pool = new QLineEdit(setUp);
    pool->setPlaceholderText(QStringLiteral("optional, e.g. 192.168.1.50-192.168.1.99"));
    form->addRow(QStringLiteral("Address &pool"), pool);
    top->addWidget(setUp);

    auto* controls = new QHBoxLayout;
    startButton = new QPushButton(QStringLiteral("&Start"), this);
    stopButton = new QPushButton(QStringLiteral("S&top"), this);
    saveButton = new QPushButton(QStringLiteral("Save &report"), this);
    clearButton = new QPushButton(QStringLiteral("&Clear list"), this);
    for (QPushButton* button : {startButton, stopButton, saveButton, clearButton})
        controls->addWidget(button);
    controls->addStretch();
    top->addLayout(controls);

    list = new QTreeWidget(this);
    list->setAccessibleName(QStringLiteral("Transfers"));
    list->setColumnCount(kColumns);
    list->setHeaderLabels({QStringLiteral("MAC"), QStringLiteral("Address"),
                           QStringLiteral("State"), QStringLiteral("Progress"),
                           QStringLiteral("Rate"), QStringLiteral("Outcome")});
    list->setRootIsDecorated(false);
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->header()->setStretchLastSection(true);
    top->addWidget(list, 1);
    summary = new QLabel(this);
    summary->setAccessibleName(QStringLiteral("Summary"));
    top->addWidget(summary);
    resize(760, 640);
}

int RunFlashKitBench(FlashKitApplication& app, const WindowServices& services) {
    app.SetErrorBoxes(&services.messageBoxes);
    RunGuarded(&services.messageBoxes, [&] {
        QApplication::setApplicationName(QStringLiteral("FlashKit Bench"));
        BenchWindow window(services);
        window.show();
        QApplication::exec();
    });
    return 0;
}

}  // namespace fk
