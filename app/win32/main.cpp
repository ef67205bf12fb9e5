// flashkit.exe: the FlashKit window as a native Windows program over the window's presenter.

#include <windows.h>

#include "app/presenter/system_network.h"
#include "app/win32/main_window.h"
#include "app/win32/registry_settings.h"
#include "history/upload_history.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "platform/sound.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    fk::history::UploadHistory history(fk::history::DefaultHistoryPath());
    const auto messageBoxes = fk::platform::MakeSystemMessageBoxes();
    const auto fileDialogs = fk::platform::MakeSystemFileDialogs();
    const auto sound = fk::platform::MakeSystemSoundOutput();
    const fk::window::SystemNetwork network;
    fk::win32::RegistrySettings settings;
    fk::win32::MainWindow window(network.Services(*messageBoxes, *fileDialogs, *sound, &history),
                                 settings);
    if (!window.Create(showCommand)) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab between the controls, Enter for Upload, Alt and a letter for a button.
        if (window.Navigate(message) || IsDialogMessageW(window.Handle(), &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
