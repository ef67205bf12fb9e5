#include <cctype>
#include <cstdlib>
#include <sstream>

#include "platform/process_marks.h"
#include "platform/system_facts.h"

namespace fk::platform {

std::string BootId() {
    std::string text = ReadKernelText("/proc/sys/kernel/random/boot_id");
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

// In clock ticks after boot: field 22 of the process's stat file, counted past the command name,
// which may hold spaces and parentheses.
std::optional<std::uint64_t> ProcessStartTime(std::int64_t pid) {
    const std::string stat = ReadKernelText("/proc/" + std::to_string(pid) + "/stat");
    const auto nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    for (int n = 3; n <= 22 && fields >> field; ++n) {
        if (n == 22) return std::strtoull(field.c_str(), nullptr, 10);
    }
    return std::nullopt;
}

}  // namespace fk::platform
