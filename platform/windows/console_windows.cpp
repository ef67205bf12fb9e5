#include <windows.h>

#include <cstdlib>

#include "platform/console.h"

namespace fk::platform {

namespace {

UINT g_outputCodePage = 0;
HANDLE g_console = nullptr;
DWORD g_mode = 0;

void RestoreConsole() {
    SetConsoleMode(g_console, g_mode);
    if (g_outputCodePage != 0) SetConsoleOutputCP(g_outputCodePage);
}

}  // namespace

// A console takes escape sequences only once asked to (Windows 10 and later); an older one
// shows them as text. Its code page is the system's OEM one until set to UTF-8.
ConsoleOutput PrepareConsole() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || !output || !GetConsoleMode(output, &mode)) {
        return ConsoleOutput::None;
    }
    g_console = output;
    g_mode = mode;
    g_outputCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreConsole);
    const bool redraws =
        SetConsoleMode(output, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return redraws ? ConsoleOutput::Redraws : ConsoleOutput::Lines;
}

}  // namespace fk::platform
