#pragma once

#include <QStringList>

#include "platform/file_dialog.h"

namespace fk::platform {

// "Description|pattern|Description|pattern" as Qt name filters; patterns match in any case,
// as file extensions do on the original platform.
QStringList QtNameFilters(const std::string& filter);

// "*.Bin" -> "Bin": the suffix Qt appends to a name typed without one.
QString QtDefaultSuffix(const std::string& defaultExt);

// The toolkit's open-file dialog; the chosen file need not exist.
class QtFileDialogs final : public FileDialogs {
  public:
    std::optional<std::string> GetOpenFileName(const OpenFileRequest& request) override;
};

}  // namespace fk::platform
