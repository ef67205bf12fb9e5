#include "cli/system_texts.h"

namespace fk::cli {

const char* const kHistoryFileHelp =
    "the upload history database (default: %LOCALAPPDATA%\\FlashKit\\history.sqlite3)";

const char* const kInterruptedStatusHelp =
    "  130  interrupted (Ctrl-C, Ctrl-Break or the console closed); the neighbour entry is\n"
    "       removed, the ports closed";

// The program runs with the prompt's rights: only a prompt opened with Run as administrator
// may make the entry.
const char* const kBroadcastFallbackText =
    "The recorder's neighbour entry needs an administrator's rights: open the command prompt "
    "with Run as administrator (flashkit-cli check says more). Meanwhile the boot replies go out "
    "by broadcast, which a recorder that answers no ARP request never takes.";

}  // namespace fk::cli
