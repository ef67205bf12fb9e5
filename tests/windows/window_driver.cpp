// Drives flashkit.exe through messages to its controls, as an operator would, and prints what
// the window shows after each step, one "name=value" line each, for wine_rows.sh to check: its
// texts, what the MAC boxes show, the Tab order, and any control the layout cuts at the DPI of
// the moment, and Ctrl+Tab and Ctrl+PgDn turning the image pages.
// Usage: window_driver FLASHKIT_EXE IMAGE [--until-done | --port-held]
// (exit 0 when every step could be made). Without an option the upload is aborted at once; with
// --until-done it is waited for to its end; with --port-held, where another program holds a port,
// the box that says so and the status line are read.

// The system's base header first: the common controls' header uses its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

// The window's control ids, in the order of its layout.
enum : int { kNetinfo = 100, kMac3, kMac4, kMac5, kTabs, kSysFile, kBrowseSys, kUpload = 109 };

std::string Utf8(const std::wstring& text) {
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

std::wstring TextOf(HWND control) {
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, 2000,
                        &copied);
    return text;
}

void Print(const char* name, const std::wstring& value) {
    std::printf("%s=%s\n", name, Utf8(value).c_str());
    std::fflush(stdout);
}

// Waits up to timeoutMs for found() to be true, running nothing meanwhile but the clock.
template <class Found>
bool WaitFor(Found found, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        if (found()) return true;
        Sleep(100);
    }
    return found();
}

void Type(HWND box, const wchar_t* keys) {
    SendMessageW(box, EM_SETSEL, 0, -1);
    for (const wchar_t* key = keys; *key; ++key) SendMessageW(box, WM_CHAR, *key, 1);
}

// Whether both characters of a box stand inside it: a box too narrow scrolls the first away.
bool ShowsWhole(HWND box) {
    RECT client{};
    GetClientRect(box, &client);
    const auto x = [box](int index) {
        return static_cast<short>(LOWORD(SendMessageW(box, EM_POSFROMCHAR, index, 0)));
    };
    const int first = x(0), last = x(1);
    return first >= 0 && last > first && 2 * last - first <= client.right;
}

// The labels, group boxes and buttons whose text is wider than the control, and the controls
// outside the window's client area, at the window's DPI; the layout's labels are 16 pixels
// (at 96 DPI) of its sans face, titles and buttons in bold.
std::wstring Clipped(HWND window, int dpi) {
    RECT area{};
    GetClientRect(window, &area);
    HDC dc = GetDC(window);
    const auto font = [dpi](bool bold) {
        return CreateFontW(-MulDiv(16, dpi, 96), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                           FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
    };
    HFONT regular = font(false), bold = font(true);
    std::wstring clipped;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child)) continue;
        RECT place{};
        GetWindowRect(child, &place);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
        std::wstring text = TextOf(child);
        if (place.left < 0 || place.top < 0 || place.right > area.right ||
            place.bottom > area.bottom) {
            clipped += L"[outside " + text + L"]";
        }
        wchar_t kind[16] = {};
        GetClassNameW(child, kind, 16);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        const bool button = _wcsicmp(kind, L"Button") == 0;
        if ((!button && _wcsicmp(kind, L"Static") != 0) || text.empty() ||
            (button && (style & BS_TYPEMASK) == BS_OWNERDRAW) || (style & SS_CENTER)) {
            continue;
        }
        text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
        SelectObject(dc, button ? bold : regular);
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        RECT client{};
        GetClientRect(child, &client);
        if (size.cx > client.right) clipped += L"[" + text + L"]";
    }
    ReleaseDC(window, dc);
    DeleteObject(regular);
    DeleteObject(bold);
    return clipped;
}

// The ids the focus visits as Tab is pressed eight times from where it is.
std::wstring TabOrder(HWND window, DWORD thread) {
    std::wstring order;
    for (int press = 0; press < 9; ++press) {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(thread, &info);
        HWND focus = info.hwndFocus;
        // The focus of a combo box may be its inner edit; the control is its parent then.
        if (focus && GetParent(focus) != window) focus = GetParent(focus);
        if (press > 0) order += (press > 1 ? L"," : L"") + std::to_wstring(GetDlgCtrlID(focus));
        PostMessageW(focus ? focus : GetDlgItem(window, kNetinfo), WM_KEYDOWN, VK_TAB, 1);
        Sleep(200);
    }
    return order;
}

struct BoxSearch {
    DWORD process;
    HWND box = nullptr;
};

// A message box of the window's process: a dialog of the system's class.
HWND MessageBoxOf(DWORD process) {
    BoxSearch search{process};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* search = reinterpret_cast<BoxSearch*>(data);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t kind[16] = {};
            GetClassNameW(window, kind, 16);
            if (owner != search->process || std::wstring(kind) != L"#32770" ||
                !IsWindowVisible(window))
                return TRUE;
            search->box = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.box;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Sizes in the window's own pixels, at whatever DPI the system has.
    using Awareness = BOOL(WINAPI*)(HANDLE);
    if (const auto aware = reinterpret_cast<Awareness>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetProcessDpiAwarenessContext")))) {
        aware(reinterpret_cast<HANDLE>(-4));  // per monitor, version 2
    } else {
        SetProcessDPIAware();
    }
    const bool untilDone = argc == 4 && std::wstring(argv[3]) == L"--until-done";
    const bool portHeld = argc == 4 && std::wstring(argv[3]) == L"--port-held";
    if (argc != 3 && !untilDone && !portHeld) {
        std::fprintf(stderr,
                     "usage: window_driver FLASHKIT_EXE IMAGE [--until-done | --port-held]\n");
        return 2;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\"";
    if (!CreateProcessW(argv[1], command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        std::fprintf(stderr, "cannot start the window: %lu\n", GetLastError());
        return 1;
    }
    HWND window = nullptr;
    WaitFor([&] { return (window = FindWindowW(L"FlashKitWindow", nullptr)) != nullptr; }, 30000);
    if (!window) {
        std::fprintf(stderr, "no window\n");
        TerminateProcess(process.hProcess, 1);
        return 1;
    }
    Print("caption", TextOf(window));
    // Every label and box in the order of the layout.
    std::wstring controls;
    for (HWND child = GetWindow(GetWindow(window, GW_CHILD), GW_HWNDLAST); child;
         child = GetWindow(child, GW_HWNDPREV)) {
        controls += L"[" + TextOf(child) + L"]";
    }
    Print("controls", controls);

    // Letters come out in upper case, two at most; what is no hex digit empties the box.
    HWND mac[3] = {GetDlgItem(window, kMac3), GetDlgItem(window, kMac4), GetDlgItem(window, kMac5)};
    Type(mac[0], L"abc");
    Print("typed abc", TextOf(mac[0]));
    Type(mac[1], L"g");
    Print("typed g", TextOf(mac[1]));
    Type(mac[0], L"30");
    Type(mac[1], L"01");
    Type(mac[2], L"01");
    Print("mac", TextOf(mac[0]) + L" " + TextOf(mac[1]) + L" " + TextOf(mac[2]));
    Print("mac shown whole",
          ShowsWhole(mac[0]) && ShowsWhole(mac[1]) && ShowsWhole(mac[2]) ? L"yes" : L"no");
    HDC screen = GetDC(window);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(window, screen);
    using DpiCall = UINT(WINAPI*)(HWND);
    if (const auto call = reinterpret_cast<DpiCall>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")))) {
        dpi = static_cast<int>(call(window));
    }
    Print("dpi", std::to_wstring(dpi));
    Print("clipped", Clipped(window, dpi));
    Print("tab order", TabOrder(window, GetWindowThreadProcessId(window, nullptr)));
    // Ctrl+Tab turns to the data page and Ctrl+PgDn back, typed as keys at the window.
    SetForegroundWindow(window);
    const auto press = [](std::initializer_list<WORD> keys) {
        std::vector<INPUT> inputs;
        for (WORD key : keys) {
            INPUT input{};
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = key;
            inputs.push_back(input);
        }
        for (auto key = keys.end(); key != keys.begin();) {
            INPUT input{};
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = *--key;
            input.ki.dwFlags = KEYEVENTF_KEYUP;
            inputs.push_back(input);
        }
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    };
    HWND tabs = GetDlgItem(window, kTabs);
    const auto page = [tabs] { return SendMessageW(tabs, TCM_GETCURSEL, 0, 0); };
    press({VK_CONTROL, VK_TAB});
    WaitFor([&] { return page() == 1; }, 3000);
    std::wstring pages = std::to_wstring(page());
    press({VK_CONTROL, VK_NEXT});
    WaitFor([&] { return page() == 0; }, 3000);
    pages += L"," + std::to_wstring(page());
    Print("pages turned", pages);
    SendMessageW(GetDlgItem(window, kSysFile), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));

    // Upload: the button turns to Abort, or a box tells why not.
    HWND upload = GetDlgItem(window, kUpload);
    HWND status = GetDlgItem(window, kUpload + 1);
    // Enter in a box presses Upload (the aborted run); a click does it too.
    if (untilDone) {
        PostMessageW(upload, BM_CLICK, 0, 0);
    } else {
        PostMessageW(GetDlgItem(window, kSysFile), WM_KEYDOWN, VK_RETURN, 1);
    }
    HWND box = nullptr;
    if (portHeld) {
        WaitFor([&] { return (box = MessageBoxOf(process.dwProcessId)) != nullptr; }, 10000);
        std::wstring text;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t kind[16] = {};
            GetClassNameW(child, kind, 16);
            if (_wcsicmp(kind, L"Static") == 0) text += TextOf(child);
        }
        Print("held box", text);
        Print("status", TextOf(status));
        Print("status lines", std::to_wstring(SendMessageW(status, EM_GETLINECOUNT, 0, 0)));
        // Its last character stands inside the box: a one-line box would have cut the text.
        RECT client{};
        GetClientRect(status, &client);
        const LRESULT last =
            SendMessageW(status, EM_POSFROMCHAR, static_cast<WPARAM>(TextOf(status).size() - 1), 0);
        const int x = static_cast<short>(LOWORD(last)), y = static_cast<short>(HIWORD(last));
        Print("status shown whole",
              x >= 0 && x < client.right && y >= 0 && y < client.bottom ? L"yes" : L"no");
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        PostMessageW(window, WM_CLOSE, 0, 0);
        const bool closed = WaitForSingleObject(process.hProcess, 15000) == WAIT_OBJECT_0;
        if (!closed) TerminateProcess(process.hProcess, 1);
        return closed ? 0 : 1;
    }
    WaitFor(
        [&] { return TextOf(upload) == L"&Abort" || (box = MessageBoxOf(process.dwProcessId)); },
        10000);
    if (box) {
        Print("box", TextOf(box));
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    Print("button", TextOf(upload));
    WaitFor([&] { return !TextOf(status).empty(); }, 3000);
    Print("status", TextOf(status));

    if (untilDone) {
        // The recorder fetches the image: the button is Upload again at the end.
        WaitFor([&] { return TextOf(upload) == L"&Upload"; }, 90000);
        Print("after upload", TextOf(upload));
    } else {
        // Abort: the button is Upload again and the status says so.
        PostMessageW(upload, BM_CLICK, 0, 0);
        WaitFor([&] { return TextOf(upload) == L"&Upload"; }, 10000);
        Print("after abort", TextOf(upload));
    }
    Print("status", TextOf(status));

    // Closing remembers the path in the registry.
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool closed = WaitForSingleObject(process.hProcess, 15000) == WAIT_OBJECT_0;
    std::printf("closed=%s\n", closed ? "yes" : "no");
    if (!closed) TerminateProcess(process.hProcess, 1);
    wchar_t remembered[512] = {};
    DWORD size = sizeof remembered;
    RegGetValueW(HKEY_CURRENT_USER, L"Software\\Norvale\\FlashPilot\\Files", L"SystemFile",
                 RRF_RT_REG_SZ, nullptr, remembered, &size);
    Print("remembered", remembered);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return closed ? 0 : 1;
}
