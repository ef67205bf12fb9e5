#include "upgrade/upload_checks.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "image/image_files.h"
#include "image/system_image_check.h"
#include "net/address_plan.h"

namespace fk {

namespace {

// Where the recorder address falls in the subnet of the card's address, when no recorder can be
// given it; nullptr when it can (or the card's mask is unknown).
const char* UnusablePlaceText(Ipv4 recorder, Ipv4 host, const AdapterRecord& card) {
    const Ipv4 mask = ParseDottedQuad(card.ipMask);
    if (mask == 0 || (mask == 0xFFFFFFFFu && card.ipMask != "255.255.255.255")) return nullptr;
    switch (SubnetPlaceOf(recorder, host, mask)) {
        case SubnetPlace::OutsideSubnet:
            return "outside the subnet of this network card";
        case SubnetPlace::Network:
            return "the network address of this network card's subnet";
        case SubnetPlace::Broadcast:
            return "the broadcast address of this network card's subnet";
        case SubnetPlace::Inside:
            break;
    }
    return nullptr;
}

}  // namespace

std::optional<std::string> CheckBootFileName(std::string_view bootFileName) {
    if (bootFileName.size() <= kMaxBootFileNameLength) return std::nullopt;
    return "The boot file name '" + std::string(bootFileName) + "' is too long: at most " +
           std::to_string(kMaxBootFileNameLength) + " characters.";
}

std::optional<std::string> CheckImageSize(std::uint64_t imageSize) {
    if (imageSize <= kMaxImageSize) return std::nullopt;
    return "The image file is too large: at most " + std::to_string(kMaxImageSize) + " bytes.";
}

std::optional<std::size_t> ParseRecorderOctets(const std::array<std::string, 3>& texts,
                                               MacAddress& mac) {
    for (std::size_t n = 0; n < texts.size(); ++n) {
        std::uint32_t value = 0;
        if (!ParseHexByte(texts[n], value)) return n;
        mac[3 + n] = static_cast<std::uint8_t>(value);
    }
    return std::nullopt;
}

SystemImageVerdict CheckSystemImageFile(const std::string& path, std::uint8_t octet3,
                                        std::uint8_t octet4, std::uint8_t octet5) {
    const TrailerReadResult read = ReadImageTrailer(path);
    if (read.failure != TrailerFailure::None) return {false, TrailerFailureText(read, path)};
    return {ImageFitsRecorder(read.trailer, octet3, octet4, octet5), {}};
}

std::optional<UploadRefusal> CheckUploadImage(ImagePage page, const std::string& path,
                                              const MacAddress& mac) {
    using Reason = UploadRefusal::Reason;
    if (!IsExistingFile(path)) {
        return UploadRefusal{Reason::ImageMissing, {}, "Image file is invalid", "Image file error"};
    }
    if (page == ImagePage::System) {
        auto verdict = CheckSystemImageFile(path, mac[3], mac[4], mac[5]);
        if (!verdict.fits) {
            return UploadRefusal{
                Reason::WrongRecorder, std::move(verdict.fileError),
                "The uploading system file image doesn't agree right with system to upload.",
                "Check system image file"};
        }
    }
    // The recorder reads a zero-ended name from a 128-byte field and counts 16-bit blocks: a
    // longer name or a larger image would be cut short or end in a failure mid-transfer.
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    auto refusal = CheckBootFileName(BareImageName(path));
    if (!refusal && !error) refusal = CheckImageSize(size);
    if (!refusal) return std::nullopt;
    return UploadRefusal{Reason::NotServable, {}, std::move(*refusal), kUploadCheckCaption};
}

std::optional<UploadRefusal> CheckRecorderAddressFree(platform::AdapterSource& adapters,
                                                      const AdapterList& known, int ifindex,
                                                      Ipv4 host,
                                                      platform::NeighbourTable& neighbours) {
    AdapterList cards = known;
    if (auto query = adapters.List(); query.ok) cards = std::move(query.adapters);
    const auto selected = std::find_if(cards.begin(), cards.end(), [&](const AdapterRecord& card) {
        return static_cast<int>(card.index) == ifindex;
    });
    const AdapterRecord card = selected != cards.end() ? *selected : AdapterRecord{};
    const Ipv4 recorder = DeviceAddressFor(host);
    if (const char* place = UnusablePlaceText(recorder, host, card)) {
        return UploadRefusal{
            UploadRefusal::Reason::AddressUnusable,
            {},
            "The recorder would get the address " + FormatDottedQuad(recorder) + ", which is " +
                place +
                ", so the upload is not started. Give this network card an address whose last "
                "octet is from 2 to 253 inside its subnet (the recorder gets the next one), or "
                "choose another network card.",
            kRecorderAddressUnusableCaption};
    }
    const auto holder =
        RecorderAddressHolder(recorder, card, cards, neighbours.Find(ifindex, recorder));
    if (!holder) return std::nullopt;
    return UploadRefusal{UploadRefusal::Reason::AddressHeld,
                         {},
                         RecorderAddressHeldText(recorder, *holder),
                         kRecorderAddressHeldCaption};
}

std::variant<UploadPlan, UploadRefusal> MakeUploadPlan(const UploadChoices& choices,
                                                       platform::AdapterSource& adapters,
                                                       const AdapterList& known,
                                                       platform::NeighbourTable& neighbours) {
    if (auto refusal = CheckUploadImage(choices.page, choices.imagePath, choices.mac)) {
        return std::move(*refusal);
    }
    if (!choices.deferAddressCheck) {
        if (auto refusal = CheckRecorderAddressFree(adapters, known, choices.card.ifindex,
                                                    choices.card.hostAddress, neighbours)) {
            return std::move(*refusal);
        }
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(choices.imagePath, error);
    return UploadPlan{{choices.page, BareImageName(choices.imagePath), choices.imagePath},
                      choices.mac,
                      choices.card,
                      error ? 0 : size};
}

}  // namespace fk
