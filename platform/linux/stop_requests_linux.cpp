#include <signal.h>

#include "platform/stop_requests.h"

namespace fk::platform {

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void HoldStopRequests() {
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
    static const sigset_t set = StopSignals();
    const timespec now{0, 0};
    return sigtimedwait(&set, nullptr, &now) > 0;
}

}  // namespace fk::platform
