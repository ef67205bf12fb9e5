#include "app/startup.h"

#include "app/flashkit_application.h"
#include "app/unhandled_error.h"

namespace fk {

std::unique_ptr<TKVUpgradeFrm> CreateMainWindow(const WindowServices& services,
                                                platform::QtMessageBoxes* ownedBoxes) {
    auto window = std::make_unique<TKVUpgradeFrm>(services);
    // Before FormCreate, whose boxes belong to the window too.
    if (ownedBoxes) ownedBoxes->SetOwner(window.get());
    RunGuarded(&services.messageBoxes, [&] { window->FormCreate(); });
    return window;
}

void DestroyMainWindow(std::unique_ptr<TKVUpgradeFrm> window) {
    if (!window) return;
    RunGuarded(&window->Services().messageBoxes, [&] { window->FormDestroy(); });
    window.reset();
}

int RunFlashKit(FlashKitApplication& app, const WindowServices& services,
                platform::QtMessageBoxes* ownedBoxes) {
    app.SetErrorBoxes(&services.messageBoxes);
    RunGuarded(&services.messageBoxes, [&] {
        // The application's name, not its display name: X11 and Wayland append a display name to
        // every window title, and the window's own caption must stay as it is.
        QApplication::setApplicationName(kApplicationTitle);
        auto window = CreateMainWindow(services, ownedBoxes);
        window->show();
        QApplication::exec();
        DestroyMainWindow(std::move(window));
    });
    return 0;
}

}  // namespace fk
