#pragma once

// The exit statuses of flashkit-cli, as its manual page lists them.

#include <vector>

#include "history/upload_history.h"

namespace fk::cli {

enum ExitCode : int {
    kExitOk = 0,            // upload: the recorder acknowledged the whole image; check: all hold
    kExitProblem = 1,       // check: something does not hold; history: the record cannot be read
    kExitBadInput = 2,      // a wrong option, an unknown card, a refused MAC, image or address
    kExitCannotStart = 3,   // the ports could not be opened (in use, no privileges)
    kExitNoRequest = 4,     // the recorder did not ask for its image within --wait
    kExitFailed = 5,        // the transfer began and failed
    kExitUnconfirmed = 6,   // every block was sent, the last one was never acknowledged
    kExitInterrupted = 130  // stopped by SIGINT, SIGTERM or SIGHUP
};

// The exit status a run ends with, from the outcome of each upload it answers for (a failure of
// its ports counted as one): the worst of theirs, a start that could not be made first, then a
// failure, an unconfirmed end, no request, an interruption; with none, it was interrupted.
// started: the ports opened.
ExitCode ExitCodeForOutcomes(const std::vector<history::Outcome>& outcomes, bool started);

}  // namespace fk::cli
