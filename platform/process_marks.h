#pragma once

// Which boot of the system and which process wrote something, so that a later reader can tell
// whether that writer is gone: the process ids of a system are used again.

#include <cstdint>
#include <optional>
#include <string>

namespace fk::platform {

// This boot of the system; empty where the system names none (a process's start time then tells
// its runs apart alone).
std::string BootId();

// When the process with this id started, as a number a later process under the same id does not
// repeat within a boot; none when there is no such process.
std::optional<std::uint64_t> ProcessStartTime(std::int64_t pid);

}  // namespace fk::platform
