#include <cstdlib>
#include <filesystem>

#include "platform/state_folder.h"

namespace fk::platform {

std::string StateFolder() {
    namespace fs = std::filesystem;
    const char* state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    // XDG state locations must be absolute; a relative one is ignored as other desktop programs do.
    if (state && *state == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        base = fs::path(home && *home ? home : ".") / ".local" / "state";
    }
    return (base / "flashkit").string();
}

}  // namespace fk::platform
