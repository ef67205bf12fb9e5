#pragma once

#include <string>

namespace fk::platform {

// The folder where FlashKit keeps what it records for this user (the upload history), by the
// system's own convention: $XDG_STATE_HOME/flashkit (~/.local/state/flashkit without it) on
// Linux, %LOCALAPPDATA%\FlashKit on Windows. It may not exist yet.
std::string StateFolder();

}  // namespace fk::platform
