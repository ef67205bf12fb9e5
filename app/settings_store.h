#pragma once

#include <string>

class QSettings;

namespace fk {

// The per-user store of this program: ~/.config/Norvale/FlashPilot.conf on Linux.
inline constexpr const char* kSettingsOrganisation = "Norvale";
inline constexpr const char* kSettingsApplication = "FlashPilot";

// The string value name in group, as the bytes of a file name; empty when the group or value is
// missing or empty. Text and bytes are both strings here; any other kind of value throws
// std::runtime_error "Invalid data type for '<name>'".
std::string ReadSettingString(const std::string& group, const std::string& name);
// The same from the given settings.
std::string ReadSettingString(const QSettings& settings, const std::string& group,
                              const std::string& name);

// Stores value as the string value name in group, creating the group when needed, so that
// ReadSettingString gives back the same bytes. The store
// replaces the settings file as a whole, so a failed write leaves the earlier file as it was.
// Throws std::runtime_error "Failed to set data for '<name>'" when the value was not stored.
void WriteSettingString(const std::string& group, const std::string& name,
                        const std::string& value);

}  // namespace fk
