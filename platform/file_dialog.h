#pragma once

#include <memory>
#include <optional>
#include <string>

namespace fk::platform {

struct OpenFileRequest {
    std::string filter;         // "Description (*.ext)|pattern"
    std::string defaultExt;     // "*.Bin"
    std::string initialFolder;  // may name a file; the dialog copes
};

// Open-file dialogs that do not require the chosen file to exist. Tests script the answers.
class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    // The chosen full path, or nothing when the operator cancels.
    virtual std::optional<std::string> GetOpenFileName(const OpenFileRequest& request) = 0;
};

#ifdef _WIN32
// The system's open-file dialog; on Linux it is the toolkit's.
std::unique_ptr<FileDialogs> MakeSystemFileDialogs();
#endif

}  // namespace fk::platform
