#include "cli/exit_codes.h"

namespace fk::cli {

ExitCode ExitCodeForOutcome(history::Outcome outcome, bool started) {
    using history::Outcome;
    switch (outcome) {
        case Outcome::Completed:
            return kExitOk;
        case Outcome::Interrupted:
            return kExitInterrupted;
        case Outcome::NoRequest:
            return kExitNoRequest;
        case Outcome::Unconfirmed:
            return kExitUnconfirmed;
        case Outcome::Failed:
        case Outcome::Aborted:
        case Outcome::Restarted:
            break;
    }
    // A failure before the sockets opened is a start that could not be made.
    return started ? kExitFailed : kExitCannotStart;
}

}  // namespace fk::cli
