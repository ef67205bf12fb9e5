#include "cli/exit_codes.h"

#include <algorithm>
#include <iterator>

namespace fk::cli {

namespace {

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

// From the worst to the best.
constexpr ExitCode kSeverity[] = {kExitCannotStart, kExitFailed,      kExitUnconfirmed,
                                  kExitNoRequest,   kExitInterrupted, kExitOk};

int Severity(ExitCode code) {
    return static_cast<int>(std::find(std::begin(kSeverity), std::end(kSeverity), code) -
                            std::begin(kSeverity));
}

}  // namespace

ExitCode ExitCodeForOutcomes(const std::vector<history::Outcome>& outcomes, bool started) {
    ExitCode worst = kExitInterrupted;
    for (std::size_t n = 0; n < outcomes.size(); ++n) {
        const ExitCode code = ExitCodeForOutcome(outcomes[n], started);
        if (n == 0 || Severity(code) < Severity(worst)) worst = code;
    }
    return worst;
}

}  // namespace fk::cli
