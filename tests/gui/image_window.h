#pragma once

// A window with the image controls in place, and a settings store of the test's own.

#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <memory>

#include "app/kvupgradefrm.h"
#include "app/open_file_dialog.h"
#include "support/fakes.h"
#include "support/network_fakes.h"
#include "support/settings_location.h"

namespace fk::testing {

// Creates the path boxes and dialogs the layout did not create, wired as the layout wires them.
inline void EnsureImageControls(TKVUpgradeFrm& window, platform::FileDialogs& dialogs) {
    if (window.m_strSysFile == nullptr) {
        window.m_strSysFile = new QLineEdit(&window);
        QObject::connect(window.m_strSysFile, &QLineEdit::textChanged, &window,
                         &TKVUpgradeFrm::m_strSysFileChange);
    }
    if (window.m_strDataFile == nullptr) {
        window.m_strDataFile = new QLineEdit(&window);
        QObject::connect(window.m_strDataFile, &QLineEdit::textChanged, &window,
                         &TKVUpgradeFrm::m_strDataFileChange);
    }
    if (window.SysFileOpenDlg == nullptr) {
        window.SysFileOpenDlg =
            new OpenFileDialog(dialogs, "Vantorix System File (*.Bin)|*.bin", "*.Bin", &window);
    }
    if (window.DataFileOpenDlg == nullptr) {
        window.DataFileOpenDlg =
            new OpenFileDialog(dialogs, "Vantorix Data File (*.Fnt)|*.Fnt", "*.Fnt", &window);
    }
}

struct ImageWindow {
    ImageWindow() {
        window = std::make_unique<TKVUpgradeFrm>(
            WindowServices{boxes, dialogs, sound, adapters, tcpipConfig, neighbours});
        EnsureImageControls(*window, dialogs);
    }

    FakeMessageBoxes boxes;
    FakeFileDialogs dialogs;
    FakeSound sound;
    FakeAdapterSource adapters;
    FakeTcpipConfig tcpipConfig;
    FakeNeighbourTable neighbours;
    std::unique_ptr<TKVUpgradeFrm> window;
};

}  // namespace fk::testing
