#pragma once

// The Qt window as the presenter sees it: the view draws what the presenter says on the window's
// widgets.

#include <QLineEdit>

#include "app/kvupgradefrm.h"
#include "app/presenter/window_presenter.h"

class TKVUpgradeFrm::View final : public fk::window::WindowView,
                                  public fk::window::CuePlayer,
                                  public fk::window::BlinkTimer,
                                  public fk::window::SettingsStore {
  public:
    explicit View(TKVUpgradeFrm& window) : m_window(window) {}

    void SetStatus(const std::string& text, fk::window::StatusLook look) override;
    void SetStatusLook(fk::window::StatusLook look) override;
    void SetProgress(int percent) override { m_window.SetProgress(percent); }
    void SetUploadButton(fk::window::UploadButton button) override;
    void EnableImagePages(bool enabled) override;
    void Focus(fk::window::Control control) override;
    fk::platform::MessageAnswer ShowBox(const std::string& text, const std::string& caption,
                                        fk::platform::MessageIcon icon,
                                        fk::platform::MessageButtons buttons) override;
    void ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                               fk::platform::MessageIcon icon) override;
    void SetCards(const std::vector<std::string>& entries, int selected) override;
    void SetHostAddressText(const std::string& text) override;
    std::string MacText(int box) const override;
    void ClearMac(int box) override;
    fk::ImagePage CurrentPage() const override;
    std::string PathText(fk::ImagePage page) const override;
    void SetPathText(fk::ImagePage page, const std::string& path) override;
    std::string DialogDir(fk::ImagePage page) const override;
    void SetDialogDir(fk::ImagePage page, const std::string& dir) override;
    std::optional<std::string> ChooseImageFile(fk::ImagePage page) override;

    // CuePlayer
    void Play(fk::Cue cue) override { m_window.PlayCue(static_cast<int>(cue)); }
    void Silence() override;

    // BlinkTimer
    void Start() override;
    void Stop() override;
    bool Active() const override;

    // SettingsStore
    std::string Read(const std::string& group, const std::string& name) override;
    void Write(const std::string& group, const std::string& name,
               const std::string& value) override;

  private:
    QLineEdit* MacBox(int box) const;
    QLineEdit* PathBox(fk::ImagePage page) const;
    fk::OpenFileDialog* Dialog(fk::ImagePage page) const;

    TKVUpgradeFrm& m_window;
};
