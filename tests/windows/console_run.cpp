// Runs a console program in a console of its own, as a technician's prompt would, and writes
// what that console shows afterwards, a line per screen row (trailing blanks cut, empty rows
// left out), into a file: wine_rows.sh reads back whether the progress was redrawn in place.
// Usage: console_run OUTPUT_FILE PROGRAM [ARGUMENT...]; exits with the program's exit code, or
// 125 when it could not be run.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
    return utf8;
}

std::wstring Quoted(const std::wstring& argument) {
    return L"\"" + argument + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 125;
    FILE* out = _wfopen(argv[1], L"wb");
    if (!out) return 125;
    // A console of its own, not the one (or none) wine gave this program.
    FreeConsole();
    if (!AllocConsole()) {
        std::fputs("no console\n", out);
        std::fclose(out);
        return 125;
    }
    std::wstring command = Quoted(argv[2]);
    for (int n = 3; n < argc; ++n) command += L" " + Quoted(argv[n]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[2], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(out, "cannot run: %lu\n", GetLastError());
        std::fclose(out);
        return 125;
    }
    WaitForSingleObject(process.hProcess, 180000);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    const HANDLE screen =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
        std::fprintf(out, "no screen buffer: %lu\n", GetLastError());
    } else {
        std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
        for (SHORT y = 0; y < info.dwSize.Y; ++y) {
            DWORD read = 0;
            ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()),
                                        COORD{0, y}, &read);
            std::wstring text = row.substr(0, read);
            text.erase(text.find_last_not_of(L' ') + 1);
            if (!text.empty()) std::fprintf(out, "%s\n", Utf8(text).c_str());
        }
    }
    std::fclose(out);
    return static_cast<int>(code);
}
