#pragma once

// The words of a refused upload, as every front end tells them: a box's text and caption in the
// window, an error line in the terminal.

#include <string>

#include "net/ipv4.h"
#include "upgrade/upload_checks.h"

namespace fk {

inline constexpr const char* kUploadCheckCaption = "Image file error";
inline constexpr const char* kMacRefusalText = "MAC address is invalid";
inline constexpr const char* kMacRefusalCaption = "MAC address error";
inline constexpr const char* kRecorderAddressUnusableCaption = "Recorder address unusable";
inline constexpr const char* kRecorderAddressHeldCaption = "Recorder address in use";
// The holder of an address that a device which is no recorder answered for as the recorder's
// entry was made.
inline constexpr const char* kAnsweringDeviceHolder =
    "a device that answered for it on this network card";

struct RefusalTexts {
    std::string fileError;  // told first, when not empty: the image could not be read
    std::string text;
    std::string caption;  // none for a bench's addresses, which only the terminal plans
};

RefusalTexts TextsOf(const UploadRefusal& refusal);

// Who holds an address, in words: "the gateway of this network card" and the like.
std::string HolderText(const AddressHolder& holder);

// The refusal of a boot file name too long for the BOOTP file field, of an image with more
// blocks than block numbers, and of a recorder address somebody (holder, in words) has.
std::string BootFileNameTooLongText(const std::string& bootFileName);
std::string ImageTooLargeText();
std::string RecorderAddressHeldText(Ipv4 recorder, const std::string& holder);
// The file error box text for a failed read of an image's trailer; empty when nothing failed.
std::string TrailerFailureText(const TrailerReadResult& result, const std::string& path);

}  // namespace fk
