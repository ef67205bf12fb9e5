#pragma once

// What the operator is told of each event of an upload, as the window tells it: the status
// line's text, the progress bar, a cue and a box. The window shows all of it; the terminal
// prints the same texts in its own way.

#include <optional>
#include <string>

#include "platform/message_box.h"
#include "platform/net_privileges.h"
#include "upgrade/session_events.h"

namespace fk {

inline constexpr const char* kUploadingCompletedText = "Uploading Completed";
inline constexpr const char* kUploadingAbortedText = "Uploading Aborted";

enum class Cue : int { Start = 1, Completed = 2, Error = 3 };

struct OperatorBox {
    std::string text;
    std::string caption;  // empty: the plain box, captioned with the application title
    platform::MessageIcon icon = platform::MessageIcon::None;
};

struct OperatorFeedback {
    std::optional<int> progress;
    std::optional<std::string> status;
    std::optional<Cue> cue;
    std::optional<OperatorBox> box;
    bool idle = false;  // the upload is over: the controls take input again
};

OperatorFeedback FeedbackFor(const SessionEvent& event);

// The box shown beside a failed socket step when the network helper could not be asked for a
// reason the operator can act on; none otherwise.
std::optional<OperatorBox> NetHelperProblemBox(platform::NetHelperProblem problem);

}  // namespace fk
