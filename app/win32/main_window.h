#pragma once

// The native window as the presenter sees it: a view that draws what the presenter says on Win32
// controls. The upload session's events reach the window thread through the change queue and a
// posted message; no control is touched off that thread.

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/presenter/change_queue.h"
#include "app/presenter/window_presenter.h"
#include "app/presenter/window_services.h"
#include "app/presenter/window_session.h"

namespace fk::win32 {

class MainWindow final : public window::WindowView, public window::CuePlayer {
  public:
    MainWindow(const WindowServices& services, window::SettingsStore& settings);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Makes the window and opens it; false when the system refused the window.
    bool Create(int showCommand);
    HWND Handle() const { return m_window; }
    // Keys the window moves its focus or pages by itself: whether message was one.
    bool Navigate(const MSG& message);

    // WindowView
    void SetStatus(const std::string& text, window::StatusLook look) override;
    void SetStatusLook(window::StatusLook look) override;
    void SetProgress(int percent) override;
    void SetUploadButton(window::UploadButton button) override;
    void EnableImagePages(bool enabled) override;
    void Focus(window::Control control) override;
    platform::MessageAnswer ShowBox(const std::string& text, const std::string& caption,
                                    platform::MessageIcon icon,
                                    platform::MessageButtons buttons) override;
    void ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                               platform::MessageIcon icon) override;
    void SetCards(const std::vector<std::string>& entries, int selected) override;
    void SetHostAddressText(const std::string& text) override;
    std::string MacText(int box) const override;
    void ClearMac(int box) override;
    ImagePage CurrentPage() const override;
    std::string PathText(ImagePage page) const override;
    void SetPathText(ImagePage page, const std::string& path) override;
    std::string DialogDir(ImagePage page) const override;
    void SetDialogDir(ImagePage page, const std::string& dir) override;
    std::optional<std::string> ChooseImageFile(ImagePage page) override;

    // CuePlayer
    void Play(Cue cue) override;
    void Silence() override;

  private:
    class Blink final : public window::BlinkTimer {
      public:
        explicit Blink(MainWindow& window) : m_window(window) {}
        void Start() override;
        void Stop() override;
        bool Active() const override { return m_active; }

      private:
        MainWindow& m_window;
        bool m_active = false;
    };

    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void BuildLayout();
    int Scaled(int length) const;
    void ApplyDpi(UINT dpi);
    SIZE FrameSize(int width, int height) const;
    int MacBoxWidth() const;
    int TextWidth(HWND control, int font) const;
    void PlaceMacLabels(const RECT (&boxes)[3]);
    void FitStatusFont();
    void Command(int id, int code);
    void ShowPage(int page);
    void DrawUploadButton(const DRAWITEMSTRUCT& item);
    HBRUSH StatusColours(HDC dc);
    void FitAddressLabel();
    // Runs a change on the window thread: at once there, after what waits; queued elsewhere.
    void OnWindowThread(std::function<void()> change);
    void Guarded(const std::function<void()>& step);
    HWND PathBox(ImagePage page) const;

    WindowServices m_services;
    HWND m_window = nullptr;
    DWORD m_windowThread = 0;

    // The controls under their layout names.
    HWND m_cbNetinfo = nullptr, m_ctrlAddrIp = nullptr, m_tabs = nullptr;
    HWND m_editMac[3] = {};
    HWND m_macLabels[3] = {};  // the fixed prefix, the two dashes
    HWND m_ipLabel = nullptr;
    int m_addressLeft = 0;  // the address label's left edge, after its label's text
    HWND m_strSysFile = nullptr, m_strDataFile = nullptr, m_btnBrowseSys = nullptr,
         m_btnBrowseData = nullptr;
    HWND m_pageControls[2][3] = {};
    HWND m_progress = nullptr, m_strStatus = nullptr, m_btnUpload = nullptr;
    RECT m_panel{}, m_panel96{};
    // Each control's place at 96 DPI and its font, for every DPI the window meets.
    struct Placed {
        HWND control;
        RECT at96;
        int font;
    };
    std::vector<Placed> m_placed;
    UINT m_dpi = 96;
    HBITMAP m_picture = nullptr;  // Image1
    HFONT m_fonts[6] = {};

    // The status line's colours; its background is the window's until the first status.
    COLORREF m_statusText = RGB(0, 0, 0);
    std::optional<COLORREF> m_statusBackground;
    HBRUSH m_statusBrush = nullptr;
    std::string m_dialogDirs[2];

    window::ChangeQueue m_changes;

    Blink m_blink{*this};
    // The recorder's MAC address: octets 3 to 5 are captured at each Upload.
    MacAddress m_mac = kRecorderMacPrefix;
    std::unique_ptr<window::WindowSession> m_session;
    std::unique_ptr<window::WindowPresenter> m_presenter;
};

}  // namespace fk::win32
