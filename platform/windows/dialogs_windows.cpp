#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <mutex>
#include <set>
#include <thread>

#include "platform/windows/ip_helper.h"
#include "platform/windows/wide_text.h"

// The system's macro of that name would rename the interface's method in this file alone.
#undef GetOpenFileName

#include "platform/file_dialog.h"
#include "platform/message_box.h"

namespace fk::platform {

namespace {

using windows::Utf8;
using windows::Wide;

UINT TypeOf(MessageIcon icon, MessageButtons buttons) {
    UINT type = buttons == MessageButtons::YesNo ? MB_YESNO : MB_OK;
    if (icon == MessageIcon::Stop) type |= MB_ICONSTOP;
    if (icon == MessageIcon::Question) type |= MB_ICONQUESTION;
    return type;
}

class Win32MessageBoxes final : public MessageBoxes {
  public:
    MessageAnswer Show(const std::string& text, const std::string& caption, MessageIcon icon,
                       MessageButtons buttons) override {
        const int answer = MessageBoxW(GetActiveWindow(), Wide(text).c_str(), Wide(caption).c_str(),
                                       TypeOf(icon, buttons));
        if (answer == IDYES) return MessageAnswer::Yes;
        if (answer == IDNO) return MessageAnswer::No;
        return MessageAnswer::Ok;
    }

    // The box runs on a thread of its own, so the caller and the window go on; a box with the
    // same text and caption that is still open is not shown twice.
    void ShowWithoutWaiting(const std::string& text, const std::string& caption,
                            MessageIcon icon) override {
        const std::wstring key = Wide(caption) + L'\n' + Wide(text);
        {
            std::lock_guard lock(m_open->mutex);
            if (!m_open->boxes.insert(key).second) return;
        }
        std::thread([open = m_open, key, text = Wide(text), caption = Wide(caption),
                     type = TypeOf(icon, MessageButtons::Ok)] {
            MessageBoxW(nullptr, text.c_str(), caption.c_str(), type | MB_SETFOREGROUND);
            std::lock_guard lock(open->mutex);
            open->boxes.erase(key);
        }).detach();
    }

  private:
    // Shared with the boxes' threads, which may outlive this object as the program ends.
    struct OpenBoxes {
        std::mutex mutex;
        std::set<std::wstring> boxes;
    };
    std::shared_ptr<OpenBoxes> m_open = std::make_shared<OpenBoxes>();
};

class Win32FileDialogs final : public FileDialogs {
  public:
    std::optional<std::string> GetOpenFileName(const OpenFileRequest& request) override {
        // "Description|pattern" becomes the dialog's "Description\0pattern\0\0".
        std::wstring filter = Wide(request.filter);
        for (wchar_t& c : filter) {
            if (c == L'|') c = L'\0';
        }
        filter.append(2, L'\0');
        std::wstring extension = Wide(request.defaultExt);
        if (const auto dot = extension.rfind(L'.'); dot != std::wstring::npos) {
            extension.erase(0, dot + 1);
        }
        // The initial folder may name a file: it then opens beside it, that file chosen.
        std::wstring folder = Wide(request.initialFolder);
        std::wstring file(MAX_PATH * 8, L'\0');
        const DWORD attributes =
            folder.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(folder.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
            folder.size() < file.size()) {
            folder.copy(file.data(), folder.size());
            folder.clear();
        }
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = GetActiveWindow();
        dialog.lpstrFilter = filter.c_str();
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = static_cast<DWORD>(file.size());
        dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
        dialog.lpstrDefExt = extension.empty() ? nullptr : extension.c_str();
        // The chosen file need not exist: the image check says what is wrong with it.
        dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_EXPLORER;
        if (!::GetOpenFileNameW(&dialog)) return std::nullopt;
        return Utf8(file.c_str());
    }
};

}  // namespace

std::unique_ptr<MessageBoxes> MakeSystemMessageBoxes() {
    return std::make_unique<Win32MessageBoxes>();
}

std::unique_ptr<FileDialogs> MakeSystemFileDialogs() {
    return std::make_unique<Win32FileDialogs>();
}

}  // namespace fk::platform
