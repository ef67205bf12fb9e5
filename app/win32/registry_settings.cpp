#include "app/win32/registry_settings.h"

#include <windows.h>

#include <stdexcept>

#include "platform/format_text.h"
#include "platform/windows/ip_helper.h"
#include "platform/windows/wide_text.h"

namespace fk::win32 {

namespace {

std::wstring KeyOf(const std::string& group) {
    return L"Software\\Norvale\\FlashPilot\\" + platform::windows::Wide(group);
}

}  // namespace

std::string RegistrySettings::Read(const std::string& group, const std::string& name) {
    const std::wstring key = KeyOf(group), value = platform::windows::Wide(name);
    DWORD type = 0, size = 0;
    LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value.c_str(), RRF_RT_ANY, &type,
                                  nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
        throw std::runtime_error(FormatText("Invalid data type for '%s'", name.c_str()));
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    status = RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value.c_str(),
                          RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text.data(),
                          &size);
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(FormatText("Invalid data type for '%s'", name.c_str()));
    }
    // A stored string ends at its first zero.
    return platform::windows::Utf8(text.c_str());
}

void RegistrySettings::Write(const std::string& group, const std::string& name,
                             const std::string& value) {
    const std::wstring text = platform::windows::Wide(value);
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, KeyOf(group).c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, platform::windows::Wide(name).c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) {
        throw std::runtime_error(FormatText("Failed to set data for '%s'", name.c_str()));
    }
}

}  // namespace fk::win32
