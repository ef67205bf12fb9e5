#include <cstdlib>
#include <filesystem>

#include "platform/state_folder.h"

namespace fk::platform {

std::string StateFolder() {
    namespace fs = std::filesystem;
    const char* local = std::getenv("LOCALAPPDATA");
    return (fs::path(local && *local ? local : ".") / "FlashKit").string();
}

}  // namespace fk::platform
