#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/console.h"

namespace fk::platform {

// Every terminal Linux runs takes escape sequences and UTF-8 as they come.
bool PrepareConsole() {
    return isatty(STDOUT_FILENO) != 0;
}

int ConsoleColumns() {
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void EraseRowsAbove(int rows) {
    std::printf("\033[%dA\r\033[J", rows);
}

}  // namespace fk::platform
