#pragma once

#include <QObject>
#include <QString>

namespace fk {
namespace platform {
class FileDialogs;
}

// The window's open-file dialog component: its properties, run through the platform's dialogs.
class OpenFileDialog : public QObject {
    Q_OBJECT

  public:
    OpenFileDialog(platform::FileDialogs& dialogs, QString filter, QString defaultExt,
                   QObject* parent);

    QString Filter() const { return m_filter; }
    QString DefaultExt() const { return m_defaultExt; }
    QString InitialDir() const { return m_initialDir; }
    void SetInitialDir(const QString& dir) { m_initialDir = dir; }
    QString FileName() const { return m_fileName; }

    // True when the operator chose a file; FileName() then holds its full path.
    bool Execute();

  private:
    platform::FileDialogs& m_dialogs;
    QString m_filter;
    QString m_defaultExt;
    QString m_initialDir;
    QString m_fileName;
};

}  // namespace fk
