#pragma once

// The operator's requests that a terminal program stop: Ctrl+C, a termination, the terminal
// going away (SIGINT, SIGTERM and SIGHUP on Linux; the console's control events on Windows).
// They are taken synchronously, so that a stop always runs the session's own tidy-up (neighbour
// entry, ports) on the thread that asks.

namespace fk::platform {

// Before any thread starts (on Linux every thread inherits what is held). A write into a pipe
// whose reader has gone no longer ends the program either.
void HoldStopRequests();
// Whether a request has come that was not yet seen.
bool StopRequested();

}  // namespace fk::platform
