#include "cli/system_texts.h"

namespace fk::cli {

const char* const kHistoryFileHelp =
    "the upload history database (default: $XDG_STATE_HOME/flashkit/history.sqlite3)";

const char* const kInterruptedStatusHelp =
    "  130  interrupted (SIGINT, SIGTERM or SIGHUP); the neighbour entry is removed, the ports\n"
    "       closed";

const char* const kBroadcastFallbackText =
    "The recorder's neighbour entry cannot be made here (flashkit-cli check says why): the boot "
    "replies go out by broadcast instead, which a recorder that answers no ARP request never "
    "takes.";

}  // namespace fk::cli
