#include "feedback/refusal_texts.h"

namespace fk {

namespace {

const char* PlaceText(SubnetPlace place) {
    switch (place) {
        case SubnetPlace::OutsideSubnet:
            return "outside the subnet of this network card";
        case SubnetPlace::Network:
            return "the network address of this network card's subnet";
        case SubnetPlace::Broadcast:
            return "the broadcast address of this network card's subnet";
        case SubnetPlace::Inside:
            break;
    }
    return "inside the subnet of this network card";
}

}  // namespace

std::string BootFileNameTooLongText(const std::string& bootFileName) {
    return "The boot file name '" + bootFileName + "' is too long: at most " +
           std::to_string(kMaxBootFileNameLength) + " characters.";
}

std::string ImageTooLargeText() {
    return "The image file is too large: at most " + std::to_string(kMaxImageSize) + " bytes.";
}

std::string RecorderAddressHeldText(Ipv4 recorder, const std::string& holder) {
    return "The recorder would get the address " + FormatDottedQuad(recorder) + ", which " +
           holder +
           " already has, so the upload is not started. Choose another network card or give this "
           "one another address.";
}

RefusalTexts TextsOf(const UploadRefusal& refusal) {
    using Reason = UploadRefusal::Reason;
    switch (refusal.reason) {
        case Reason::ImageMissing:
            return {refusal.fileError, "Image file is invalid", kUploadCheckCaption};
        case Reason::WrongRecorder:
            return {refusal.fileError,
                    "The uploading system file image doesn't agree right with system to upload.",
                    "Check system image file"};
        case Reason::NameTooLong:
            return {refusal.fileError, BootFileNameTooLongText(refusal.bootFileName),
                    kUploadCheckCaption};
        case Reason::TooLarge:
            return {refusal.fileError, ImageTooLargeText(), kUploadCheckCaption};
        case Reason::AddressUnusable:
            return {refusal.fileError,
                    "The recorder would get the address " + FormatDottedQuad(refusal.recorder) +
                        ", which is " + PlaceText(refusal.place) +
                        ", so the upload is not started. Give this network card an address whose "
                        "last octet is from 2 to 253 inside its subnet (the recorder gets the "
                        "next one), or choose another network card.",
                    kRecorderAddressUnusableCaption};
        case Reason::AddressHeld:
            return {refusal.fileError, RecorderAddressHeldText(refusal.recorder, refusal.holder),
                    kRecorderAddressHeldCaption};
    }
    return {refusal.fileError, {}, {}};
}

}  // namespace fk
