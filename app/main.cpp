#include "app/flashkit_application.h"
#include "app/startup.h"
#include "platform/qt/qt_file_dialogs.h"
#include "platform/qt/qt_message_boxes.h"
#include "platform/qt/qt_sound_output.h"

int main(int argc, char** argv) {
    fk::FlashKitApplication app(argc, argv);
    fk::platform::QtMessageBoxes messageBoxes;
    fk::platform::QtFileDialogs fileDialogs;
    const auto sound = fk::platform::MakeSoundOutput();
    return fk::RunFlashKit(app, {&messageBoxes, &fileDialogs, sound.get()});
}
