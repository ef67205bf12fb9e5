#include "upgrade/upload_checks.h"

namespace fk {

std::optional<std::string> CheckBootFileName(std::string_view bootFileName) {
    if (bootFileName.size() <= kMaxBootFileNameLength) return std::nullopt;
    return "The boot file name '" + std::string(bootFileName) + "' is too long: at most " +
           std::to_string(kMaxBootFileNameLength) + " characters.";
}

std::optional<std::string> CheckImageSize(std::uint64_t imageSize) {
    if (imageSize <= kMaxImageSize) return std::nullopt;
    return "The image file is too large: at most " + std::to_string(kMaxImageSize) + " bytes.";
}

}  // namespace fk
