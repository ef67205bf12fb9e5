#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace fk::platform {

namespace {

UINT g_outputCodePage = 0;

void RestoreConsole() {
    if (g_outputCodePage != 0) SetConsoleOutputCP(g_outputCodePage);
}

bool ScreenInfo(CONSOLE_SCREEN_BUFFER_INFO& info) {
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0;
}

}  // namespace

// The console is redrawn through its own calls, not escape sequences: every console takes them,
// an older one that shows escapes as text and a host that says it takes escapes but does not.
// Its code page is the system's OEM one until set to UTF-8.
bool PrepareConsole() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!ScreenInfo(info)) return false;
    g_outputCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    std::atexit(RestoreConsole);
    return true;
}

int ConsoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    return ScreenInfo(info) ? info.srWindow.Right - info.srWindow.Left + 1 : 0;
}

void EraseRowsAbove(int rows) {
    // What the C library holds has to reach the console before the cursor moves.
    std::fflush(stdout);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(output, &info)) return;
    const COORD from{0, static_cast<SHORT>(std::max(0, info.dwCursorPosition.Y - rows))};
    const DWORD cells =
        static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y - from.Y);
    DWORD written = 0;
    FillConsoleOutputCharacterW(output, L' ', cells, from, &written);
    FillConsoleOutputAttribute(output, info.wAttributes, cells, from, &written);
    SetConsoleCursorPosition(output, from);
}

}  // namespace fk::platform
