#include <windows.h>

#include <atomic>

#include "platform/stop_requests.h"

namespace fk::platform {

namespace {

std::atomic<int> g_requests{0};

// Runs on a thread of the system's own: it only counts, and the program's thread sees it.
BOOL WINAPI CountRequest(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_requests.fetch_add(1);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void HoldStopRequests() {
    SetConsoleCtrlHandler(CountRequest, TRUE);
}

bool StopRequested() {
    int pending = g_requests.load();
    while (pending > 0 && !g_requests.compare_exchange_weak(pending, pending - 1)) {
    }
    return pending > 0;
}

}  // namespace fk::platform
