#pragma once

#include <memory>
#include <string>

namespace fk::platform {

enum class MessageIcon { None, Stop, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// Modal message boxes, shown on the GUI thread. Tests replace this with scripted answers.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual MessageAnswer Show(const std::string& text, const std::string& caption,
                               MessageIcon icon, MessageButtons buttons) = 0;
    // An OK box that leaves the caller running; the toolkit's version shows it non-modally.
    virtual void ShowWithoutWaiting(const std::string& text, const std::string& caption,
                                    MessageIcon icon) {
        Show(text, caption, icon, MessageButtons::Ok);
    }
};

#ifdef _WIN32
// The system's message boxes, owned by the active window; on Linux they are the toolkit's.
std::unique_ptr<MessageBoxes> MakeSystemMessageBoxes();
#endif

}  // namespace fk::platform
