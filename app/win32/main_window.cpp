#include "app/win32/main_window.h"

// The system's macro of that name would rename the interface's method in this file alone.
#undef GetOpenFileName

#include <commctrl.h>
#include <wincodec.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "feedback/operator_feedback.h"
#include "flashkit_version.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/network_watch.h"
#include "platform/sound.h"
#include "platform/windows/ip_helper.h"
#include "platform/windows/wide_text.h"

namespace fk::win32 {

namespace {

using platform::windows::Utf8;
using platform::windows::Wide;
using window::StatusLook;

constexpr wchar_t kClassName[] = L"FlashKitWindow";
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kClientWidth = 494;
constexpr int kClientHeight = 473;
constexpr UINT kRunWaiting = WM_APP + 1;  // the queue of the session's feedback has entries
constexpr UINT_PTR kBlinkTimer = 1;
constexpr UINT_PTR kCardTimer = 2;
constexpr int kPictureResource = 2;

enum ControlId : int {
    kNetinfo = 100,
    kMac3,
    kMac4,
    kMac5,
    kTabs,
    kSysFile,
    kBrowseSys,
    kDataFile,
    kBrowseData,
    kUpload,
    kStatus,
};

// A label is one line.
constexpr DWORD kLabel = SS_LEFTNOWORDWRAP;

enum Font { kDefault, kRegular16, kBold16, kRegular13, kRegular15, kBold24 };

const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBlack = RGB(0, 0, 0);
const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kUploadCaptionGreen = RGB(0, 129, 0);

constexpr const char* kApplicationTitle = "FlashKit V" FLASHKIT_VERSION;
constexpr const char* kNoCardText =
    "No network card can reach a recorder: connect an Ethernet card and give it an IPv4 address";

HFONT MakeFont(int pixelHeight, bool bold) {
    return CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       // The layout asks for fixed pitch too, but a system without the face
                       // would then stand in a typewriter face; a sans one comes closer.
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

// The DPI of the window's monitor where the system has a call for it (Windows 10 1607 and
// later), else the system's one DPI.
UINT WindowDpi(HWND window) {
    using Call = UINT(WINAPI*)(HWND);
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (const UINT dpi = call ? call(window) : 0) return dpi;
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

std::string TextOf(HWND control) {
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(control, text.data(), length + 1);
    return Utf8(text.c_str());
}

// A path as the presenter and the platform take file names: UTF-8 (path::string would give the
// ANSI code page's bytes).
std::string Utf8Path(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

// The network group's picture, a PNG among the program's resources, as a bitmap to draw; none
// when the system cannot decode it.
HBITMAP LoadPicture() {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPictureResource), RT_RCDATA);
    const HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    if (!loaded) return nullptr;
    auto* bytes = static_cast<BYTE*>(LockResource(loaded));
    const DWORD size = SizeofResource(module, resource);
    HBITMAP bitmap = nullptr;
    IWICImagingFactory* factory = nullptr;
    IWICStream* stream = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    UINT width = 0, height = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&factory))) &&
        SUCCEEDED(factory->CreateStream(&stream)) &&
        SUCCEEDED(stream->InitializeFromMemory(bytes, size)) &&
        SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnLoad,
                                                   &decoder)) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) &&
        SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
        SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone,
                                        nullptr, 0, WICBitmapPaletteTypeCustom)) &&
        SUCCEEDED(converter->GetSize(&width, &height))) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = static_cast<LONG>(width);
        info.bmiHeader.biHeight = -static_cast<LONG>(height);  // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* pixels = nullptr;
        bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
        if (bitmap && FAILED(converter->CopyPixels(nullptr, width * 4, width * height * 4,
                                                   static_cast<BYTE*>(pixels)))) {
            DeleteObject(bitmap);
            bitmap = nullptr;
        }
    }
    for (IUnknown* object :
         std::initializer_list<IUnknown*>{converter, frame, decoder, stream, factory}) {
        if (object) object->Release();
    }
    return bitmap;
}

// A port another program holds is named with that program, as the check names it.
std::string PortHeldText(std::uint16_t port) {
    bool read = false;
    const auto holders = platform::windows::UdpPortHolders(port, read);
    std::string holder = "another program";
    if (!holders.empty() && holders.front().first != 0) {
        holder = (holders.front().second.empty() ? "a program" : holders.front().second) +
                 " (process " + std::to_string(holders.front().first) + ")";
    }
    return "Port " + std::to_string(port) + " is in use by " + holder +
           ". Stop it while uploading: Internet Connection Sharing and DHCP or TFTP servers hold "
           "this port.";
}

}  // namespace

// --- the window ---

MainWindow::MainWindow(const WindowServices& services, window::SettingsStore& settings)
    : m_services(services),
      m_windowThread(GetCurrentThreadId()),
      m_session(std::make_unique<window::WindowSession>(
          services, [this](std::function<void()> change) { OnWindowThread(std::move(change)); },
          // Where the system makes no neighbour entry, the boot replies go to the card's subnet.
          window::WindowSession::Options{true, PortHeldText})),
      m_presenter(std::make_unique<window::WindowPresenter>(window::PresenterServices{
          *this, *this, m_blink, settings, *m_session, services.adapters, services.tcpipConfig,
          services.neighbours, m_mac, kApplicationTitle})) {
    m_session->ReportTo(*m_presenter);
}

MainWindow::~MainWindow() {
    m_services.sound.Silence();
    m_session->Shutdown();
    if (m_window) DestroyWindow(m_window);
    for (HFONT font : m_fonts) DeleteObject(font);
    if (m_statusBrush) DeleteObject(m_statusBrush);
    if (m_picture) DeleteObject(m_picture);
}

bool MainWindow::Create(int showCommand) {
    const INITCOMMONCONTROLSEX controls{
        sizeof(INITCOMMONCONTROLSEX), ICC_TAB_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    m_picture = LoadPicture();
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.hIcon = LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(windowClass.hInstance, MAKEINTRESOURCEW(1),
                                                        IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);

    // Fixed size for its DPI, no maximise button, centred on the screen.
    m_window = CreateWindowExW(0, kClassName, L"FlashKit v" FLASHKIT_VERSION_SHORT, kStyle,
                               CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth, kClientHeight, nullptr,
                               nullptr, windowClass.hInstance, this);
    if (!m_window) return false;
    BuildLayout();
    ApplyDpi(WindowDpi(m_window));
    const SIZE frame = FrameSize(kClientWidth, kClientHeight);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    SetWindowPos(m_window, nullptr, work.left + (work.right - work.left - frame.cx) / 2,
                 work.top + (work.bottom - work.top - frame.cy) / 2, frame.cx, frame.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // The system's watch polls: it is asked on a timer, so that the card list follows the cards.
    if (m_services.cardWatch) SetTimer(m_window, kCardTimer, 500, nullptr);
    ShowWindow(m_window, showCommand);
    UpdateWindow(m_window);
    Guarded([this] {
        std::error_code error;
        const auto workingDir = std::filesystem::current_path(error);
        m_presenter->Open(error ? std::string() : Utf8Path(workingDir));
    });
    return true;
}

void MainWindow::BuildLayout() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);

    // Every control is a child of the window itself (a group box passes on no notifications);
    // places are the layout's at 96 DPI, each relative to its group, scaled by ApplyDpi.
    auto make = [&](const wchar_t* kind, const wchar_t* text, DWORD style, POINT origin, int left,
                    int top, int width, int height, Font font, int id = 0, DWORD exStyle = 0) {
        HWND control = CreateWindowExW(
            exStyle, kind, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, m_window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        m_placed.push_back(
            {control,
             {origin.x + left, origin.y + top, origin.x + left + width, origin.y + top + height},
             font});
        return control;
    };
    constexpr POINT window{0, 0};

    constexpr POINT network{7, 0};
    HWND groups[3];
    groups[0] =
        make(L"BUTTON", L" Setup network card ", BS_GROUPBOX, window, 7, 0, 480, 126, kBold16);
    make(L"STATIC", L"Select network card in your system", kLabel, network, 17, 28, 244, 20,
         kRegular16);
    m_cbNetinfo = make(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, network, 16,
                       56, 286, 200, kRegular16, kNetinfo);
    m_ipLabel = make(L"STATIC", L"IP Address", kLabel, network, 16, 92, 78, 20, kRegular16);
    m_ctrlAddrIp = make(L"STATIC", L"", SS_CENTER, network, 114, 92, 6, 20, kBold16);
    m_panel96 = {network.x + 316, network.y + 19, network.x + 316 + 153, network.y + 19 + 97};

    constexpr POINT mac{7, 127};
    groups[1] =
        make(L"BUTTON", L" Setup MAC address ", BS_GROUPBOX, window, 7, 127, 480, 90, kBold16);
    make(L"STATIC", L"DVR MAC address", kLabel, mac, 17, 39, 135, 20, kRegular16);
    // The fixed prefix ends just before the first box and a dash stands between two boxes,
    // wherever the font's width puts the boxes (ApplyDpi).
    m_macLabels[0] = make(L"STATIC", L"02 - 5E - A1 -", SS_RIGHT, mac, 193, 39, 97, 20, kRegular16);
    m_macLabels[1] = make(L"STATIC", L"-", SS_CENTER, mac, 326, 39, 17, 20, kRegular16);
    m_macLabels[2] = make(L"STATIC", L"-", SS_CENTER, mac, 375, 39, 16, 20, kRegular16);
    const int macLefts[] = {294, 343, 391};
    for (int box = 0; box < 3; ++box) {
        m_editMac[box] = make(L"EDIT", L"FF", ES_UPPERCASE | ES_AUTOHSCROLL | WS_TABSTOP, mac,
                              macLefts[box], 36, 32, 28, kRegular16, kMac3 + box, WS_EX_CLIENTEDGE);
        SendMessageW(m_editMac[box], EM_LIMITTEXT, 2, 0);
    }

    m_tabs = make(WC_TABCONTROLW, L"", WS_TABSTOP | WS_CLIPSIBLINGS, window, 8, 224, 479, 113,
                  kBold16, kTabs);
    const wchar_t* tabNames[] = {L"System Image", L"Data Image"};
    for (int n = 0; n < 2; ++n) {
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(tabNames[n]);
        SendMessageW(m_tabs, TCM_INSERTITEMW, n, reinterpret_cast<LPARAM>(&item));
    }
    // The page's place below the tab row as the layout's font draws it at 96 DPI.
    m_fonts[kBold16] = MakeFont(16, true);
    SendMessageW(m_tabs, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts[kBold16]), FALSE);
    SetWindowPos(m_tabs, nullptr, 0, 0, 479, 113, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT pageArea{0, 0, 479, 113};
    TabCtrl_AdjustRect(m_tabs, FALSE, &pageArea);
    const POINT page{8 + pageArea.left, 224 + pageArea.top};
    m_pageControls[0][0] = make(L"STATIC", L"System image file path and name", kLabel, page, 16, 14,
                                235, 20, kRegular16);
    m_strSysFile = make(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, page, 16, 44, 287, 24,
                        kRegular13, kSysFile, WS_EX_CLIENTEDGE);
    m_btnBrowseSys = make(L"BUTTON", L"    &Browse...", BS_PUSHBUTTON | WS_TABSTOP, page, 323, 40,
                          133, 30, kBold16, kBrowseSys);
    m_pageControls[1][0] = make(L"STATIC", L"Data image file path and name", kLabel, page, 16, 14,
                                217, 20, kRegular16);
    m_strDataFile = make(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, page, 16, 44, 287, 24,
                         kRegular13, kDataFile, WS_EX_CLIENTEDGE);
    m_btnBrowseData = make(L"BUTTON", L"    &Browse...", BS_PUSHBUTTON | WS_TABSTOP, page, 323, 40,
                           133, 30, kBold16, kBrowseData);
    m_pageControls[0][1] = m_strSysFile;
    m_pageControls[0][2] = m_btnBrowseSys;
    m_pageControls[1][1] = m_strDataFile;
    m_pageControls[1][2] = m_btnBrowseData;
    for (auto& controls : m_pageControls) {
        for (HWND control : controls) {
            SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
    ShowPage(0);

    constexpr POINT upload{7, 344};
    groups[2] =
        make(L"BUTTON", L" Status of uploading ", BS_GROUPBOX, window, 7, 344, 480, 125, kBold16);
    m_progress = make(PROGRESS_CLASSW, L"", PBS_SMOOTH, upload, 16, 72, 286, 25, kDefault);
    SendMessageW(m_progress, PBM_SETRANGE32, 0, 100);
    // Two lines, so that a long error text wraps instead of being cut.
    m_strStatus = make(L"EDIT", L"", ES_READONLY | ES_MULTILINE, upload, 16, 24, 286, 42,
                       kRegular15, kStatus, WS_EX_CLIENTEDGE);
    m_btnUpload = make(L"BUTTON", L"&Upload", BS_OWNERDRAW | WS_TABSTOP, upload, 323, 27, 139, 80,
                       kBold24, kUpload);
    for (HWND group : groups) {
        SetWindowPos(group, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
}

int MainWindow::Scaled(int length) const {
    return MulDiv(length, static_cast<int>(m_dpi), 96);
}

// Fonts, places and the window's size for the monitor's DPI; the MAC boxes grow to hold two
// characters of their font, centred on their gaps of the label.
void MainWindow::ApplyDpi(UINT dpi) {
    m_dpi = dpi;
    const int heights[] = {11, 16, 16, 13, 15, 24};
    const bool bold[] = {false, false, true, false, false, true};
    HFONT old[6];
    std::copy(std::begin(m_fonts), std::end(m_fonts), old);
    for (int n = 0; n < 6; ++n) m_fonts[n] = MakeFont(Scaled(heights[n]), bold[n]);
    for (const Placed& placed : m_placed) {
        SendMessageW(placed.control, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts[placed.font]),
                     FALSE);
    }
    const int macWidth = MacBoxWidth();
    RECT macBoxes[3]{};
    RECT ipLabel{};
    for (const Placed& placed : m_placed) {
        RECT at{Scaled(placed.at96.left), Scaled(placed.at96.top), Scaled(placed.at96.right),
                Scaled(placed.at96.bottom)};
        if (std::find(std::begin(m_editMac), std::end(m_editMac), placed.control) !=
                std::end(m_editMac) &&
            macWidth > at.right - at.left) {
            const int grow = macWidth - (at.right - at.left);
            at.left -= grow / 2;
            at.right = at.left + macWidth;
        }
        // A label is as wide as its text at least: a font wider than the layout's cuts none.
        if (wchar_t kind[8] = {};
            GetClassNameW(placed.control, kind, 8) && _wcsicmp(kind, L"Static") == 0 &&
            (GetWindowLongW(placed.control, GWL_STYLE) & SS_TYPEMASK) == kLabel) {
            at.right = std::max(at.right, at.left + TextWidth(placed.control, placed.font));
            if (placed.control == m_ipLabel) ipLabel = at;
        }
        for (int box = 0; box < 3; ++box) {
            if (placed.control == m_editMac[box]) macBoxes[box] = at;
        }
        SetWindowPos(placed.control, nullptr, at.left, at.top, at.right - at.left,
                     at.bottom - at.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (HFONT font : old) {
        if (font) DeleteObject(font);
    }
    PlaceMacLabels(macBoxes);
    // The address follows its label, wherever the label's text ends.
    m_addressLeft = std::max(Scaled(121), static_cast<int>(ipLabel.right) + Scaled(8));
    SendMessageW(m_cbNetinfo, CB_SETITEMHEIGHT, 0, Scaled(20));
    SendMessageW(m_cbNetinfo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), Scaled(22));
    m_panel = {Scaled(m_panel96.left), Scaled(m_panel96.top), Scaled(m_panel96.right),
               Scaled(m_panel96.bottom)};
    FitAddressLabel();
    FitStatusFont();
    InvalidateRect(m_window, nullptr, TRUE);
}

int MainWindow::TextWidth(HWND control, int font) const {
    const std::wstring text = Wide(TextOf(control));
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, m_fonts[font]);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx + Scaled(2);
}

void MainWindow::PlaceMacLabels(const RECT (&boxes)[3]) {
    const int top = Scaled(127 + 39), height = Scaled(20), gap = Scaled(4);
    const int prefix = TextWidth(m_macLabels[0], kRegular16);
    SetWindowPos(m_macLabels[0], nullptr, boxes[0].left - gap - prefix, top, prefix, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    for (int dash = 1; dash < 3; ++dash) {
        const RECT& before = boxes[dash - 1];
        const RECT& after = boxes[dash];
        SetWindowPos(m_macLabels[dash], nullptr, before.right, top, after.left - before.right,
                     height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

int MainWindow::MacBoxWidth() const {
    HDC dc = GetDC(m_editMac[0]);
    HGDIOBJ font = SelectObject(dc, m_fonts[kRegular16]);
    int widest = 0;
    for (const wchar_t* digit = L"0123456789ABCDEF"; *digit; ++digit) {
        SIZE size{};
        GetTextExtentPoint32W(dc, digit, 1, &size);
        widest = std::max(widest, static_cast<int>(size.cx));
    }
    SelectObject(dc, font);
    ReleaseDC(m_editMac[0], dc);
    const LRESULT margins = SendMessageW(m_editMac[0], EM_GETMARGINS, 0, 0);
    // The edges of a client-edge box, and room for the caret after the second character.
    return 2 * widest + LOWORD(margins) + HIWORD(margins) + 2 * GetSystemMetrics(SM_CXEDGE) +
           Scaled(3);
}

// The status line's font: the smaller one when a text needs more than its two lines.
void MainWindow::FitStatusFont() {
    SendMessageW(m_strStatus, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts[kRegular15]), TRUE);
    if (SendMessageW(m_strStatus, EM_GETLINECOUNT, 0, 0) > 2) {
        SendMessageW(m_strStatus, WM_SETFONT, reinterpret_cast<WPARAM>(m_fonts[kRegular13]), TRUE);
    }
}

SIZE MainWindow::FrameSize(int width, int height) const {
    using Call = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    RECT frame{0, 0, Scaled(width), Scaled(height)};
    if (!call || !call(&frame, kStyle, FALSE, 0, m_dpi)) AdjustWindowRect(&frame, kStyle, FALSE);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

// Tab and Shift+Tab in reading order (the page's controls lie above the tab row, which would
// otherwise put them first); Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp turn the pages.
bool MainWindow::Navigate(const MSG& message) {
    if (message.message != WM_KEYDOWN || !IsChild(m_window, message.hwnd)) return false;
    const bool control = GetKeyState(VK_CONTROL) < 0;
    const bool shift = GetKeyState(VK_SHIFT) < 0;
    if (control &&
        (message.wParam == VK_TAB || message.wParam == VK_NEXT || message.wParam == VK_PRIOR)) {
        // Two pages: forward and back both turn to the other one.
        if (!IsWindowEnabled(m_tabs)) return true;
        const int page = TabCtrl_GetCurSel(m_tabs) == 0 ? 1 : 0;
        TabCtrl_SetCurSel(m_tabs, page);
        ShowPage(page);
        return true;
    }
    if (message.wParam != VK_TAB || control) return false;
    const int page = TabCtrl_GetCurSel(m_tabs) == 0 ? 0 : 1;
    const HWND order[] = {m_cbNetinfo,
                          m_editMac[0],
                          m_editMac[1],
                          m_editMac[2],
                          m_tabs,
                          m_pageControls[page][1],
                          m_pageControls[page][2],
                          m_btnUpload};
    const int count = static_cast<int>(std::size(order));
    HWND focused = GetFocus();
    int at = -1;
    for (int n = 0; n < count; ++n) {
        if (order[n] == focused || IsChild(order[n], focused)) at = n;
    }
    for (int step = 1; step <= count; ++step) {
        const HWND next =
            order[((at < 0 ? (shift ? 0 : -1) : at) + (shift ? -step : step) + 2 * count) % count];
        if (IsWindowVisible(next) && IsWindowEnabled(next)) {
            if (next == m_editMac[0] || next == m_editMac[1] || next == m_editMac[2] ||
                next == m_pageControls[page][1]) {
                SendMessageW(next, EM_SETSEL, 0, -1);
            }
            SetFocus(next);
            return true;
        }
    }
    return true;
}

void MainWindow::ShowPage(int page) {
    for (int n = 0; n < 2; ++n) {
        for (HWND control : m_pageControls[n]) ShowWindow(control, n == page ? SW_SHOW : SW_HIDE);
    }
}

LRESULT CALLBACK MainWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->m_window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || !self->m_window) return DefWindowProcW(window, message, wParam, lParam);
    return self->Handle(message, wParam, lParam);
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            Command(LOWORD(wParam), HIWORD(wParam));
            return 0;
        case WM_NOTIFY:
            if (const auto* notice = reinterpret_cast<const NMHDR*>(lParam);
                notice->idFrom == kTabs && notice->code == TCN_SELCHANGE) {
                ShowPage(TabCtrl_GetCurSel(m_tabs));
            }
            return 0;
        case WM_DPICHANGED: {
            ApplyDpi(HIWORD(wParam));
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            const SIZE frame = FrameSize(kClientWidth, kClientHeight);
            SetWindowPos(m_window, nullptr, suggested->left, suggested->top, frame.cx, frame.cy,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case DM_GETDEFID:  // Enter in the window presses Upload
            return MAKELRESULT(kUpload, DC_HASDEFID);
        case WM_DRAWITEM:
            DrawUploadButton(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == m_strStatus) {
                return reinterpret_cast<LRESULT>(StatusColours(reinterpret_cast<HDC>(wParam)));
            }
            SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
            SetTextColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOWTEXT));
            // The page labels take the page's own colour, which the theme may draw lighter.
            if (const HWND label = reinterpret_cast<HWND>(lParam);
                label == m_pageControls[0][0] || label == m_pageControls[1][0]) {
                return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
            }
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(m_window, &paint);
            RECT panel = m_panel;
            DrawEdge(dc, &panel, BDR_RAISEDINNER, BF_RECT);
            // From the top-left corner, clipped to the panel's inside, scaled with the layout.
            if (m_picture) {
                HDC source = CreateCompatibleDC(dc);
                HGDIOBJ old = SelectObject(source, m_picture);
                SetStretchBltMode(dc, HALFTONE);
                StretchBlt(dc, panel.left + 1, panel.top + 1, Scaled(151), Scaled(95), source, 0, 0,
                           151, 95, SRCCOPY);
                SelectObject(source, old);
                DeleteDC(source);
            }
            EndPaint(m_window, &paint);
            return 0;
        }
        case WM_TIMER:
            if (wParam == kBlinkTimer) Guarded([this] { m_presenter->BlinkTick(); });
            if (wParam == kCardTimer &&
                !m_services.cardWatch->Wait(std::chrono::steady_clock::now()).empty())
                Guarded([this] { m_presenter->FollowSystemCards(); });
            return 0;
        case kRunWaiting:
            m_changes.RunWaiting();
            return 0;
        case WM_CLOSE:
            Guarded([this] {
                m_services.sound.Silence();
                m_presenter->Close();
            });
            DestroyWindow(m_window);
            return 0;
        case WM_DESTROY:
            m_window = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(m_window, message, wParam, lParam);
    }
}

void MainWindow::Command(int id, int code) {
    switch (id) {
        case kNetinfo:
            if (code == CBN_SELCHANGE) {
                Guarded([this] {
                    m_presenter->CardChosen(
                        static_cast<int>(SendMessageW(m_cbNetinfo, CB_GETCURSEL, 0, 0)));
                });
            }
            return;
        case kMac3:
        case kMac4:
        case kMac5:
            if (code == EN_CHANGE) Guarded([this, id] { m_presenter->MacEdited(id - kMac3); });
            return;
        case kSysFile:
        case kDataFile:
            if (code == EN_CHANGE) {
                Guarded([this, id] {
                    m_presenter->PathEdited(id == kSysFile ? ImagePage::System : ImagePage::Data);
                });
            }
            return;
        case kBrowseSys:
        case kBrowseData:
            if (code == BN_CLICKED) {
                Guarded([this, id] {
                    m_presenter->BrowsePressed(id == kBrowseSys ? ImagePage::System
                                                                : ImagePage::Data);
                });
            }
            return;
        case kUpload:
        case IDOK:
            if (code == BN_CLICKED) Guarded([this] { m_presenter->UploadPressed(); });
            return;
        default:
            return;
    }
}

// A step that throws shows its text in a box and leaves the window running.
void MainWindow::Guarded(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::exception& error) {
        m_services.messageBoxes.Show(error.what(), kApplicationTitle, platform::MessageIcon::Stop,
                                     platform::MessageButtons::Ok);
    }
}

void MainWindow::DrawUploadButton(const DRAWITEMSTRUCT& item) {
    RECT face = item.rcItem;
    UINT state = DFCS_BUTTONPUSH;
    if (item.itemState & ODS_SELECTED) state |= DFCS_PUSHED;
    if (item.itemState & ODS_DISABLED) state |= DFCS_INACTIVE;
    DrawFrameControl(item.hDC, &face, DFC_BUTTON, state);
    wchar_t text[16] = {};
    GetWindowTextW(item.hwndItem, text, 16);
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, (item.itemState & ODS_DISABLED) ? GetSysColor(COLOR_GRAYTEXT)
                                                           : kUploadCaptionGreen);
    HGDIOBJ font = SelectObject(item.hDC, m_fonts[kBold24]);
    if (item.itemState & ODS_SELECTED) OffsetRect(&face, 1, 1);
    DrawTextW(item.hDC, text, -1, &face, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(item.hDC, font);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = item.rcItem;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(item.hDC, &focus);
    }
}

HBRUSH MainWindow::StatusColours(HDC dc) {
    SetTextColor(dc, m_statusText);
    const COLORREF background = m_statusBackground.value_or(GetSysColor(COLOR_BTNFACE));
    SetBkColor(dc, background);
    if (m_statusBrush) DeleteObject(m_statusBrush);
    m_statusBrush = CreateSolidBrush(background);
    return m_statusBrush;
}

// --- the view ---

void MainWindow::SetStatus(const std::string& text, StatusLook look) {
    SetStatusLook(look);
    if (TextOf(m_strStatus) != text) {
        SetWindowTextW(m_strStatus, Wide(text).c_str());
        FitStatusFont();
    }
    // A text shown on the window thread is painted at once: a long step of it may follow.
    UpdateWindow(m_strStatus);
}

void MainWindow::SetStatusLook(StatusLook look) {
    COLORREF text = kBlack;
    std::optional<COLORREF> background = m_statusBackground;
    switch (look) {
        case StatusLook::Normal:
            background = kWhite;
            break;
        case StatusLook::Error:
            text = kRed;
            break;
        case StatusLook::ErrorOnWhite:
            text = kRed;
            background = kWhite;
            break;
        case StatusLook::ErrorInverted:
            text = kBlue;
            background = kRed;
            break;
    }
    if (text == m_statusText && background == m_statusBackground) return;
    m_statusText = text;
    m_statusBackground = background;
    InvalidateRect(m_strStatus, nullptr, TRUE);
    UpdateWindow(m_strStatus);
}

void MainWindow::SetProgress(int percent) {
    SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(std::clamp(percent, 0, 100)), 0);
}

void MainWindow::SetUploadButton(window::UploadButton button) {
    SetWindowTextW(m_btnUpload, button == window::UploadButton::Upload ? L"&Upload" : L"&Abort");
    InvalidateRect(m_btnUpload, nullptr, TRUE);
}

void MainWindow::EnableImagePages(bool enabled) {
    EnableWindow(m_tabs, enabled);
    for (auto& controls : m_pageControls) {
        for (HWND control : controls) EnableWindow(control, enabled);
    }
}

void MainWindow::Focus(window::Control control) {
    using window::Control;
    if (const auto box = window::MacBoxOf(control)) {
        SendMessageW(m_editMac[*box], EM_SETSEL, 0, -1);
        SetFocus(m_editMac[*box]);
        return;
    }
    SetFocus(control == Control::BrowseSystem ? m_btnBrowseSys
             : control == Control::BrowseData ? m_btnBrowseData
                                              : m_btnUpload);
}

platform::MessageAnswer MainWindow::ShowBox(const std::string& text, const std::string& caption,
                                            platform::MessageIcon icon,
                                            platform::MessageButtons buttons) {
    return m_services.messageBoxes.Show(text, caption, icon, buttons);
}

void MainWindow::ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                                       platform::MessageIcon icon) {
    m_services.messageBoxes.ShowWithoutWaiting(text, caption, icon);
}

void MainWindow::SetCards(const std::vector<std::string>& entries, int selected) {
    // An empty list would leave the operator guessing: the status line says why it is empty
    // until a card comes.
    if (entries.empty()) {
        SetStatus(kNoCardText, StatusLook::Normal);
    } else if (TextOf(m_strStatus) == kNoCardText) {
        SetStatus("", StatusLook::Normal);
    }
    SendMessageW(m_cbNetinfo, CB_RESETCONTENT, 0, 0);
    for (const auto& entry : entries) {
        SendMessageW(m_cbNetinfo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry).c_str()));
    }
    // The program's own selection sends no CBN_SELCHANGE: it is not the operator's pick.
    if (selected >= 0) SendMessageW(m_cbNetinfo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void MainWindow::SetHostAddressText(const std::string& text) {
    SetWindowTextW(m_ctrlAddrIp, Wide(text).c_str());
    FitAddressLabel();
}

// The address label's width follows its text, its left edge staying put.
void MainWindow::FitAddressLabel() {
    if (TextOf(m_ctrlAddrIp).empty()) return;
    SetWindowPos(m_ctrlAddrIp, nullptr, m_addressLeft, Scaled(92), TextWidth(m_ctrlAddrIp, kBold16),
                 Scaled(20), SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(m_window, nullptr, TRUE);
}

std::string MainWindow::MacText(int box) const {
    return TextOf(m_editMac[box]);
}

void MainWindow::ClearMac(int box) {
    SetWindowTextW(m_editMac[box], L"");
}

ImagePage MainWindow::CurrentPage() const {
    return TabCtrl_GetCurSel(m_tabs) == 0 ? ImagePage::System : ImagePage::Data;
}

HWND MainWindow::PathBox(ImagePage page) const {
    return page == ImagePage::System ? m_strSysFile : m_strDataFile;
}

std::string MainWindow::PathText(ImagePage page) const {
    return TextOf(PathBox(page));
}

void MainWindow::SetPathText(ImagePage page, const std::string& path) {
    SetWindowTextW(PathBox(page), Wide(path).c_str());
}

std::string MainWindow::DialogDir(ImagePage page) const {
    return m_dialogDirs[page == ImagePage::System ? 0 : 1];
}

void MainWindow::SetDialogDir(ImagePage page, const std::string& dir) {
    m_dialogDirs[page == ImagePage::System ? 0 : 1] = dir;
}

std::optional<std::string> MainWindow::ChooseImageFile(ImagePage page) {
    const bool system = page == ImagePage::System;
    return m_services.fileDialogs.GetOpenFileName(
        {system ? "Vantorix System File (*.Bin)|*.bin" : "Vantorix Data File (*.Fnt)|*.Fnt",
         system ? "*.Bin" : "*.Fnt", DialogDir(page)});
}

// --- cues and blinking ---

void MainWindow::Play(Cue cue) {
    const auto sound = SoundOf(cue);
    if (!sound) return;
    // Looked up by bare name in the working directory of the moment; the window thread never
    // waits for a sound.
    std::error_code error;
    const std::filesystem::path file = sound->fileName;
    if (std::filesystem::is_regular_file(file, error)) {
        m_services.sound.PlayWaveAsync(Utf8Path(std::filesystem::absolute(file, error)));
    } else {
        m_services.sound.PlayTonesAsync(sound->tones);
    }
}

void MainWindow::Silence() {
    m_services.sound.Silence();
}

void MainWindow::Blink::Start() {
    SetTimer(m_window.m_window, kBlinkTimer, 500, nullptr);
    m_active = true;
}

void MainWindow::Blink::Stop() {
    KillTimer(m_window.m_window, kBlinkTimer);
    m_active = false;
}

// --- the session's feedback ---

void MainWindow::OnWindowThread(std::function<void()> change) {
    if (GetCurrentThreadId() == m_windowThread) {
        // What the session queued before this comes first: call order holds across threads.
        m_changes.RunWaiting();
        change();
        return;
    }
    // A queued change that throws is shown in a box, and the ones after it still run.
    const bool first =
        m_changes.Push([this, change = std::move(change)] { Guarded(change); }).first;
    if (first && m_window) PostMessageW(m_window, kRunWaiting, 0, 0);
}

}  // namespace fk::win32
