#pragma once

#include "app/presenter/window_view.h"

namespace fk::win32 {

// The per-user store in the registry: group G's value N is HKEY_CURRENT_USER
// "Software\Norvale\FlashPilot\G", value N, a string.
class RegistrySettings final : public window::SettingsStore {
  public:
    std::string Read(const std::string& group, const std::string& name) override;
    void Write(const std::string& group, const std::string& name,
               const std::string& value) override;
};

}  // namespace fk::win32
