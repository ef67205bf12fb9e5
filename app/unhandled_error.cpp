#include "app/unhandled_error.h"

#include <QtGlobal>
#include <stdexcept>
#include <string>

#include "app/kvupgradefrm.h"
#include "platform/message_box.h"

namespace fk {

namespace {

std::string MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace

void ReportUnhandledError(platform::MessageBoxes* boxes, std::exception_ptr error) {
    const std::string text = MessageOf(error);
    if (boxes) {
        try {
            boxes->Show(text, kApplicationTitle, platform::MessageIcon::Stop,
                        platform::MessageButtons::Ok);
            return;
        } catch (...) {
            // The box itself failed: fall through to the log so the error is not lost.
        }
    }
    qCritical("%s: %s", kApplicationTitle, text.c_str());
}

}  // namespace fk
