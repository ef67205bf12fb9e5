#pragma once

// What the window presenter needs of a window and of the system around it: a small interface per
// toolkit (the Qt window, a native one), in plain values: UTF-8 or file-name bytes, ints, enums.

#include <optional>
#include <string>
#include <vector>

#include "feedback/operator_feedback.h"
#include "platform/message_box.h"
#include "upgrade/session_events.h"

namespace fk {
struct UploadPlan;
}

namespace fk::window {

// The status line: black on white; red text on the background it has (an error); red on white
// and blue on red (the two phases of an error's blinking).
enum class StatusLook { Normal, Error, ErrorOnWhite, ErrorInverted };
enum class UploadButton { Upload, Abort };
enum class Control { MacBox3, MacBox4, MacBox5, BrowseSystem, BrowseData, Upload };

// The MAC box (0 to 2) a control is; none for a button.
inline std::optional<int> MacBoxOf(Control control) {
    const int box = static_cast<int>(control) - static_cast<int>(Control::MacBox3);
    return box >= 0 && box < 3 ? std::optional<int>(box) : std::nullopt;
}

class WindowView {
  public:
    virtual ~WindowView() = default;

    virtual void SetStatus(const std::string& text, StatusLook look) = 0;
    virtual void SetStatusLook(StatusLook look) = 0;  // the text stays
    virtual void SetProgress(int percent) = 0;        // 0 to 100
    virtual void SetUploadButton(UploadButton button) = 0;
    virtual void EnableImagePages(bool enabled) = 0;
    virtual void Focus(Control control) = 0;  // a MAC box is selected whole as it takes the focus
    virtual platform::MessageAnswer ShowBox(const std::string& text, const std::string& caption,
                                            platform::MessageIcon icon,
                                            platform::MessageButtons buttons) = 0;
    // An OK box that leaves the caller running.
    virtual void ShowBoxWithoutWaiting(const std::string& text, const std::string& caption,
                                       platform::MessageIcon icon) = 0;

    // The card list (the operator's choice comes back through CardChosen) and the address shown.
    virtual void SetCards(const std::vector<std::string>& entries, int selected) = 0;
    virtual void SetHostAddressText(const std::string& text) = 0;

    // The three MAC boxes, octets 3 to 5 (box 0 to 2).
    virtual std::string MacText(int box) const = 0;
    virtual void ClearMac(int box) = 0;

    // The image pages: which one is shown, and their path boxes as file-name bytes.
    virtual ImagePage CurrentPage() const = 0;
    virtual std::string PathText(ImagePage page) const = 0;
    virtual void SetPathText(ImagePage page, const std::string& path) = 0;
    // The open-file dialog of the page: the folder it opens in (also where a default image is
    // looked for), and the path chosen in it, or nothing.
    virtual std::string DialogDir(ImagePage page) const = 0;
    virtual void SetDialogDir(ImagePage page, const std::string& dir) = 0;
    virtual std::optional<std::string> ChooseImageFile(ImagePage page) = 0;
};

// The cues of an upload; they never hold the caller.
class CuePlayer {
  public:
    virtual ~CuePlayer() = default;
    virtual void Play(Cue cue) = 0;
    // Ends what sounds and what waits its turn.
    virtual void Silence() = 0;
};

// The status line's blink period (500 ms): each period ends in BlinkTick.
class BlinkTimer {
  public:
    virtual ~BlinkTimer() = default;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;
};

// The per-user store. Both throw std::runtime_error with the text to show when it refuses.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    virtual std::string Read(const std::string& group, const std::string& name) = 0;
    virtual void Write(const std::string& group, const std::string& name,
                       const std::string& value) = 0;
};

// The upload session as the window drives it; its events come back through OnEvent.
class SessionControl {
  public:
    virtual ~SessionControl() = default;
    virtual void Start(const UploadPlan& plan) = 0;
    virtual void Stop() = 0;
    // The operator picked the card with this index while an upload runs.
    virtual void PickCard(int ifindex) = 0;
    virtual void Shutdown() = 0;
    // Its ports are open (announcing or transferring).
    virtual bool Running() const = 0;
};

}  // namespace fk::window
