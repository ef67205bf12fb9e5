#pragma once

// The window's state and behaviour without its toolkit: what Upload and Abort do, the plan, what
// each event of the upload shows and sounds, the status line's blinking, the card list and the
// selected card, the MAC boxes and the remembered image paths. A window (the Qt one, a native
// one) is a view over it: it reports the operator's actions here and draws what it is told.
// Everything here runs on the window's thread.

#include <array>
#include <optional>
#include <string>

#include "app/presenter/window_view.h"
#include "net/adapter_list.h"
#include "net/mac.h"
#include "upgrade/session_events.h"
#include "upgrade/upload_checks.h"

namespace fk::platform {
class AdapterSource;
class NeighbourTable;
class TcpipConfig;
}  // namespace fk::platform

namespace fk::window {

struct PresenterServices {
    WindowView& view;
    CuePlayer& cues;
    BlinkTimer& blink;
    SettingsStore& settings;
    SessionControl& session;
    platform::AdapterSource& adapters;
    platform::TcpipConfig& tcpipConfig;
    platform::NeighbourTable& neighbours;
    // The recorder's MAC address: octets 3 to 5 are captured at each Upload.
    MacAddress& mac;
    std::string applicationTitle;  // the caption of plain boxes
};

class WindowPresenter {
  public:
    explicit WindowPresenter(const PresenterServices& services);

    // The window opens (cards, address, the remembered images; workingDir is where the default
    // system image is looked for) and closes (the upload stops, the paths are remembered). Both
    // throw std::runtime_error when the settings store refuses.
    void Open(const std::string& workingDir);
    void Close();

    // The operator's actions.
    void UploadPressed();
    void CardChosen(int index);
    void MacEdited(int box);
    void PathEdited(ImagePage page);
    void BrowsePressed(ImagePage page);
    void BlinkTick();

    // An event of the upload, on the window's thread in the order the session made them.
    void OnEvent(const SessionEvent& event);
    // The same, for a window that words the event on the session's thread (FeedbackFor) and
    // brings over only what shows.
    void OnFeedback(const OperatorFeedback& feedback);
    // The card an upload would announce on: the selected one, with the address it holds.
    SelectedCard Card() const { return m_selectedCard; }
    bool Uploading() const;

    // The steps above on their own.
    void ShowStatus(const std::string& text);
    void LoadAdapterList();
    void UpdateAddressPlan();
    // The card list again as the system's cards are now; the selected card stays selected while
    // it exists, and one that went away during an upload is waited for.
    void FollowSystemCards();
    bool CaptureDeviceMac();
    void LoadImagePaths();
    void SaveImagePaths();
    // Whether the system image in its box fits the recorder with these MAC octets 3 to 5; says
    // its file errors in a box.
    bool CheckSystemImage(std::uint8_t octet3, std::uint8_t octet4, std::uint8_t octet5);

    // The image last accepted per page: its bare name (lower case, as the recorder asks for it)
    // and its path in its real case.
    const std::string& ImageName(ImagePage page) const { return m_images[Slot(page)].name; }
    const std::string& ImagePath(ImagePage page) const { return m_images[Slot(page)].path; }

  private:
    struct Image {
        std::string name, path;
    };
    static std::size_t Slot(ImagePage page) { return page == ImagePage::System ? 0 : 1; }

    std::optional<UploadPlan> PlanUpload();
    void StopUpload();
    void RestoreIdleControls();
    void Accept(ImagePage page, const std::string& path);
    void FocusBrowseButton();
    void ShowBox(const OperatorBox& box);

    PresenterServices m_services;
    WindowView& m_view;

    AdapterList m_adapterInfo;  // the cards behind the entries of the card list
    int m_selected = -1;        // the entry chosen
    // A card that went away during an upload, waited for by name.
    std::optional<AdapterRecord> m_awaitedCard;
    SelectedCard m_selectedCard;

    std::array<Image, 2> m_images;
    StatusLook m_look = StatusLook::Normal;
    UploadButton m_button = UploadButton::Upload;
    bool m_pagesEnabled = true;
};

}  // namespace fk::window
