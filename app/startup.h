#pragma once

#include <memory>

#include "app/kvupgradefrm.h"

namespace fk {

class FlashKitApplication;
namespace platform {
class QtMessageBoxes;
}

// Builds the main window and runs FormCreate. An error leaving FormCreate is shown, its
// remaining steps are skipped, and the window is still returned ready to show. The toolkit's
// boxes, when given, belong to the window from then on.
std::unique_ptr<TKVUpgradeFrm> CreateMainWindow(const WindowServices& services,
                                                platform::QtMessageBoxes* ownedBoxes = nullptr);

// Runs FormDestroy (an error there is shown and the destruction goes on), then frees the window.
void DestroyMainWindow(std::unique_ptr<TKVUpgradeFrm> window);

// The program: application title, window, event loop, shut-down. Always returns 0.
int RunFlashKit(FlashKitApplication& app, const WindowServices& services,
                platform::QtMessageBoxes* ownedBoxes = nullptr);

}  // namespace fk
