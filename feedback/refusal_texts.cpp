#include "feedback/refusal_texts.h"

#include "platform/format_text.h"

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

// Where a bench's addresses were sought.
std::string WhereSought(const UploadRefusal& refusal) {
    if (!refusal.pool) return " in the subnet of " + refusal.cardName;
    return " in the pool " + FormatDottedQuad(refusal.pool->first) + "-" +
           FormatDottedQuad(refusal.pool->last);
}

}  // namespace

std::string HolderText(const AddressHolder& holder) {
    switch (holder.kind) {
        case AddressHolder::Kind::Gateway:
            return "the gateway of this network card";
        case AddressHolder::Kind::OwnCard:
            return "this PC's network card " + holder.cardName;
        case AddressHolder::Kind::AnsweringDevice:
            return kAnsweringDeviceHolder;
        case AddressHolder::Kind::Device:
            break;
    }
    return "the device " + FormatMac(holder.mac) +
           (holder.fixed ? " (a fixed neighbour entry)" : "");
}

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

std::string TrailerFailureText(const TrailerReadResult& result, const std::string& path) {
    switch (result.failure) {
        case TrailerFailure::None:
            return {};
        case TrailerFailure::Open:
            return FormatText("File (%s) Open Error (Error Code = %d)", path.c_str(),
                              result.errorCode);
        case TrailerFailure::Seek:
            return FormatText("File (%s) Seek Error (Error Code = %d)", path.c_str(),
                              result.errorCode);
        case TrailerFailure::Read:
            return FormatText("File (%s) Read Error (Error Code = %d)", path.c_str(),
                              result.errorCode);
    }
    return {};
}

RefusalTexts TextsOf(const UploadRefusal& refusal) {
    using Reason = UploadRefusal::Reason;
    const std::string fileError = TrailerFailureText(refusal.trailerRead, refusal.imagePath);
    switch (refusal.reason) {
        case Reason::ImageMissing:
            return {fileError, "Image file is invalid", kUploadCheckCaption};
        case Reason::WrongRecorder:
            return {fileError,
                    "The uploading system file image doesn't agree right with system to upload.",
                    "Check system image file"};
        case Reason::NameTooLong:
            return {fileError, BootFileNameTooLongText(refusal.bootFileName), kUploadCheckCaption};
        case Reason::TooLarge:
            return {fileError, ImageTooLargeText(), kUploadCheckCaption};
        case Reason::AddressUnusable:
            return {fileError,
                    "The recorder would get the address " + FormatDottedQuad(refusal.recorder) +
                        ", which is " + PlaceText(refusal.place) +
                        ", so the upload is not started. Give this network card an address whose "
                        "last octet is from 2 to 253 inside its subnet (the recorder gets the "
                        "next one), or choose another network card.",
                    kRecorderAddressUnusableCaption};
        case Reason::AddressHeld:
            return {fileError,
                    RecorderAddressHeldText(refusal.recorder, HolderText(refusal.holder)),
                    kRecorderAddressHeldCaption};
        case Reason::NoAddressForRecorder:
            return {fileError,
                    "No free address is left for the recorder " + FormatMac(refusal.mac) +
                        WhereSought(refusal) + ".",
                    {}};
        case Reason::NoAddressLeft:
            return {
                fileError, "No address is left for any recorder" + WhereSought(refusal) + ".", {}};
    }
    return {fileError, {}, {}};
}

}  // namespace fk
