#pragma once

// Keeps the per-user settings store away from the real user's file for the life of a scope.

#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

namespace fk::testing {

// Points the per-user settings store at a fresh directory for the life of the scope; afterwards
// back at the test-mode location that the test program's main() chose.
class ScopedSettingsLocation {
  public:
    ScopedSettingsLocation() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    ~ScopedSettingsLocation() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    }
    ScopedSettingsLocation(const ScopedSettingsLocation&) = delete;
    ScopedSettingsLocation& operator=(const ScopedSettingsLocation&) = delete;

    QString Directory() const { return m_dir.path(); }
    QString File() const { return m_dir.path() + "/Norvale/FlashPilot.conf"; }

  private:
    QTemporaryDir m_dir;
};

}  // namespace fk::testing
