#pragma once

// FlashKit Bench in Qt: a thin view over the bench presenter (app/presenter/bench_presenter.h).
// The link owns the station; the station's events come to the presenter on the GUI thread, in
// the order it made them, through the window's queue.

#include <QWidget>
#include <memory>

#include "app/kvupgradefrm.h"
#include "app/presenter/bench_presenter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QTreeWidget;
class GuiThreadQueue;

namespace fk {

class FlashKitApplication;

class BenchWindow final : public QWidget {
    Q_OBJECT

  public:
    explicit BenchWindow(const WindowServices& services, QWidget* parent = nullptr);
    ~BenchWindow() override;

    bench::BenchPresenter& Presenter() { return *m_presenter; }

    // The controls, by name, for the keyboard's order and for tests.
    QComboBox* cards = nullptr;
    QLabel* hostAddress = nullptr;
    QTabWidget* imagePages = nullptr;
    QLineEdit* systemPath = nullptr;
    QLineEdit* dataPath = nullptr;
    QLineEdit* macBoxes[3] = {};
    QPushButton* addButton = nullptr;
    QListWidget* recorders = nullptr;
    QPushButton* pasteButton = nullptr;
    QPushButton* loadButton = nullptr;
    QPushButton* removeButton = nullptr;
    QCheckBox* learn = nullptr;
    QSpinBox* atOnce = nullptr;
    QLineEdit* pool = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QTreeWidget* list = nullptr;
    QLabel* summary = nullptr;
    QPushButton* saveButton = nullptr;
    QPushButton* clearButton = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    class View;
    class Link;

    void BuildLayout();

    WindowServices m_services;
    GuiThreadQueue* m_queue = nullptr;
    QTimer* m_refresh = nullptr;
    std::unique_ptr<View> m_view;
    std::unique_ptr<Link> m_link;
    std::unique_ptr<bench::BenchPresenter> m_presenter;
};

// The bench program: application title, window, event loop. Always returns 0.
int RunFlashKitBench(FlashKitApplication& app, const WindowServices& services);

}  // namespace fk
