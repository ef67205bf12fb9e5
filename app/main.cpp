#include "app/flashkit_application.h"
#include "app/startup.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/qt/qt_file_dialogs.h"
#include "platform/qt/qt_message_boxes.h"
#include "platform/qt/qt_sound_output.h"
#include "platform/tcpip_config.h"

int main(int argc, char** argv) {
    fk::FlashKitApplication app(argc, argv);
    fk::platform::QtMessageBoxes messageBoxes;
    fk::platform::QtFileDialogs fileDialogs;
    const auto sound = fk::platform::MakeSoundOutput();
    const auto adapters = fk::platform::MakeSystemAdapterSource();
    const auto tcpipConfig = fk::platform::MakeKeyfileTcpipConfig();
    const auto neighbours = fk::platform::MakeSystemNeighbourTable();
    return fk::RunFlashKit(
        app, {messageBoxes, fileDialogs, *sound, *adapters, *tcpipConfig, *neighbours});
}
