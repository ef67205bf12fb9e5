#include "platform/file_watch.h"

namespace fk::platform {

// Windows tells of changes by folder, not by file, and only to a thread that waits: the engine's
// own check of the file's identity before each block serves instead.
std::unique_ptr<FileWatch> FileWatch::Start(const std::string&) {
    return nullptr;
}

}  // namespace fk::platform
