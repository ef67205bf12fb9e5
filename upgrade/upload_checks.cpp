#include "upgrade/upload_checks.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "image/image_files.h"
#include "image/system_image_check.h"
#include "net/address_plan.h"

namespace fk {

namespace {

// Where the recorder address falls in the subnet of the card's address; Inside also when the
// card's mask is unknown.
SubnetPlace RecorderPlace(Ipv4 recorder, Ipv4 host, const AdapterRecord& card) {
    const Ipv4 mask = ParseDottedQuad(card.ipMask);
    if (mask == 0 || (mask == 0xFFFFFFFFu && card.ipMask != "255.255.255.255")) {
        return SubnetPlace::Inside;
    }
    return SubnetPlaceOf(recorder, host, mask);
}

}  // namespace

bool BootFileNameFits(std::string_view bootFileName) {
    return bootFileName.size() <= kMaxBootFileNameLength;
}

bool ImageSizeFits(std::uint64_t imageSize) {
    return imageSize <= kMaxImageSize;
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
    if (read.failure != TrailerFailure::None) return {false, read};
    return {ImageFitsRecorder(read.trailer, octet3, octet4, octet5), read};
}

std::optional<UploadRefusal> CheckUploadImage(ImagePage page, const std::string& path,
                                              const MacAddress& mac) {
    using Reason = UploadRefusal::Reason;
    UploadRefusal refusal;
    refusal.imagePath = path;
    if (!IsExistingFile(path)) return refusal;
    if (page == ImagePage::System) {
        auto verdict = CheckSystemImageFile(path, mac[3], mac[4], mac[5]);
        if (!verdict.fits) {
            refusal.reason = Reason::WrongRecorder;
            refusal.trailerRead = verdict.read;
            return refusal;
        }
    }
    // The recorder reads a zero-ended name from a 128-byte field and counts 16-bit blocks: a
    // longer name or a larger image would be cut short or end in a failure mid-transfer.
    if (std::string name = BareImageName(path); !BootFileNameFits(name)) {
        refusal.reason = Reason::NameTooLong;
        refusal.bootFileName = std::move(name);
        return refusal;
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error || ImageSizeFits(size)) return std::nullopt;
    refusal.reason = Reason::TooLarge;
    return refusal;
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
    UploadRefusal refusal;
    refusal.recorder = recorder;
    refusal.place = RecorderPlace(recorder, host, card);
    if (refusal.place != SubnetPlace::Inside) {
        refusal.reason = UploadRefusal::Reason::AddressUnusable;
        return refusal;
    }
    auto holder = RecorderAddressHolder(recorder, card, cards, neighbours.Find(ifindex, recorder));
    if (!holder) return std::nullopt;
    refusal.reason = UploadRefusal::Reason::AddressHeld;
    refusal.holder = std::move(*holder);
    return refusal;
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
