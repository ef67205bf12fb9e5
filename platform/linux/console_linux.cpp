#include <unistd.h>

#include "platform/console.h"

namespace fk::platform {

// Every terminal Linux runs takes escape sequences and UTF-8 as they come.
ConsoleOutput PrepareConsole() {
    return isatty(STDOUT_FILENO) ? ConsoleOutput::Redraws : ConsoleOutput::None;
}

}  // namespace fk::platform
