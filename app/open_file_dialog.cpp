#include "app/open_file_dialog.h"

#include "app/file_name_text.h"
#include "platform/file_dialog.h"

namespace fk {

OpenFileDialog::OpenFileDialog(platform::FileDialogs& dialogs, QString filter, QString defaultExt,
                               QObject* parent)
    : QObject(parent),
      m_dialogs(dialogs),
      m_filter(std::move(filter)),
      m_defaultExt(std::move(defaultExt)) {}

bool OpenFileDialog::Execute() {
    const auto chosen = m_dialogs.GetOpenFileName(
        {m_filter.toStdString(), m_defaultExt.toStdString(), FileNameBytes(m_initialDir)});
    if (!chosen) return false;
    m_fileName = FileNameText(*chosen);
    return true;
}

}  // namespace fk
