#pragma once

// What the operator is told of each event of an upload, as the window tells it: the status
// line's text, the progress bar, a cue and a box. The window shows all of it; the terminal
// prints the same texts in its own way.

#include <optional>
#include <span>
#include <string>

#include "platform/net_privileges.h"
#include "platform/sound.h"
#include "upgrade/session_events.h"

namespace fk {

inline constexpr const char* kUploadingCompletedText = "Uploading Completed";
inline constexpr const char* kUploadingAbortedText = "Uploading Aborted";

enum class Cue : int { Start = 1, Completed = 2, Error = 3 };

// A plain box says what happened; a stop box says that something stopped the operator. Each
// front end draws them its own way.
enum class BoxKind { Plain, Stop };

struct OperatorBox {
    std::string text;
    std::string caption;  // empty: the plain box, captioned with the application title
    BoxKind kind = BoxKind::Plain;
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

// The final text the history keeps of an upload: the status text of the fact that ended it, the
// words for its recorder asking again or its address held, or, stopped, the window's abort.
std::string FinalTextOf(const event::RecorderEnded& ended);

// How a cue sounds: its wave file, looked up by bare name in the working directory, or its tones
// when the file is missing; whether a worker that plays it waits for its end, so that an error's
// text follows its sound.
struct CueSound {
    const char* fileName;
    bool waitForEnd;
    std::span<const platform::ToneStep> tones;
};
std::optional<CueSound> SoundOf(Cue cue);

}  // namespace fk
