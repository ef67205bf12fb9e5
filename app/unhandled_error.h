#pragma once

#include <exception>
#include <utility>

namespace fk {

namespace platform {
class MessageBoxes;
}

// Shows an error that escaped a handler in a stop box titled with the application title.
// Never throws; without a box service the text goes to the log.
void ReportUnhandledError(platform::MessageBoxes* boxes, std::exception_ptr error);

// Runs one handler; an error that escapes it is shown and the caller goes on.
template <class Action>
void RunGuarded(platform::MessageBoxes* boxes, Action&& action) {
    try {
        std::forward<Action>(action)();
    } catch (...) {
        ReportUnhandledError(boxes, std::current_exception());
    }
}

}  // namespace fk
