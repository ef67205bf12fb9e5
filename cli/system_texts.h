#pragma once

// The texts of flashkit-cli that name the system's own things (folders, keys, prompts), one file
// per system.

namespace fk::cli {

// --history-file's help: where the history is kept when no file is named.
extern const char* const kHistoryFileHelp;
// The exit status of an interrupted run, as --help lists it.
extern const char* const kInterruptedStatusHelp;
// Said once an upload or station finds that the recorder's entry cannot be made here.
extern const char* const kBroadcastFallbackText;

}  // namespace fk::cli
