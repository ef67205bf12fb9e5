#pragma once

#include <string>

namespace fk::platform::windows {

// UTF-8 to UTF-16, for the system's wide calls; invalid bytes become U+FFFD.
std::wstring Wide(const std::string& text);

}  // namespace fk::platform::windows
