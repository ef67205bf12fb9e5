#include <windows.h>

#include "platform/process_marks.h"

namespace fk::platform {

// A process's creation time is a moment of the calendar: it tells runs apart across boots too.
std::string BootId() {
    return {};
}

std::optional<std::uint64_t> ProcessStartTime(std::int64_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return std::nullopt;
    FILETIME created{}, exited{}, kernel{}, user{};
    DWORD exitCode = 0;
    // A handle still open elsewhere keeps an ended process's object alive.
    const bool running = GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
    const bool timed = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    if (!running || !timed) return std::nullopt;
    return std::uint64_t{created.dwHighDateTime} << 32 | created.dwLowDateTime;
}

}  // namespace fk::platform
