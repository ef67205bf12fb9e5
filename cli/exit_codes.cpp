#include "cli/exit_codes.h"

#include "history/upload_history.h"

namespace fk::cli {

ExitCode ExitCodeForOutcome(std::string_view outcome, bool started) {
    if (outcome == history::kCompleted) return kExitOk;
    if (outcome == history::kInterrupted) return kExitInterrupted;
    if (outcome == history::kNoRequest) return kExitNoRequest;
    // A failure before the sockets opened is a start that could not be made.
    return started ? kExitFailed : kExitCannotStart;
}

}  // namespace fk::cli
