#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/bench_window.h"
#include "app/flashkit_application.h"
#include "app/presenter/system_network.h"
#include "app/startup.h"
#include "flashkit_version.h"
#include "history/upload_history.h"
#include "platform/qt/qt_file_dialogs.h"
#include "platform/qt/qt_message_boxes.h"
#include "platform/qt/qt_sound_output.h"

namespace {

// The window takes no options of its own but --bench; the toolkit's (such as -platform) still
// work.
bool AnsweredFromTheCommandLine(int argc, char** argv) {
    for (int n = 1; n < argc; ++n) {
        if (std::strcmp(argv[n], "--version") == 0) {
            std::printf("flashkit %s\n", FLASHKIT_VERSION);
            return true;
        }
        if (std::strcmp(argv[n], "--help") == 0) {
            std::printf(
                "Usage: flashkit [--help] [--version] [--bench]\n\n"
                "Opens the FlashKit window, which loads a system or data image into a network\n"
                "video recorder in network-boot mode (BOOTP announcer and TFTP server).\n"
                "--bench opens FlashKit Bench instead, which serves a bench of recorders at once.\n"
                "Every upload is recorded in %s.\n"
                "flashkit-cli does the same from a terminal; see flashkit(1) and "
                "flashkit-cli(1).\n",
                fk::history::DefaultHistoryPath().c_str());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnsweredFromTheCommandLine(argc, argv)) return 0;
    fk::history::UploadHistory history(fk::history::DefaultHistoryPath());
    fk::FlashKitApplication app(argc, argv);
    fk::platform::QtMessageBoxes messageBoxes;
    fk::platform::QtFileDialogs fileDialogs;
    const auto sound = fk::platform::MakeSoundOutput();
    const fk::window::SystemNetwork network;
    const fk::WindowServices services =
        network.Services(messageBoxes, fileDialogs, *sound, &history);
    const bool bench = std::any_of(
        argv + 1, argv + argc, [](const char* arg) { return std::strcmp(arg, "--bench") == 0; });
    if (bench) return fk::RunFlashKitBench(app, services);
    return fk::RunFlashKit(app, services, &messageBoxes);
}
