#include "upgrade/upload_checks.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "image/image_files.h"
#include "image/system_image_check.h"
#include "net/address_plan.h"

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
                                                      Ipv4 host, const MacAddress& mac,
                                                      platform::NeighbourTable& neighbours) {
    AdapterList cards = known;
    if (auto query = adapters.List(); query.ok) cards = std::move(query.adapters);
    const auto selected = std::find_if(cards.begin(), cards.end(), [&](const AdapterRecord& card) {
        return static_cast<int>(card.index) == ifindex;
    });
    const Ipv4 recorder = DeviceAddressFor(host);
    const auto holder =
        RecorderAddressHolder(recorder, mac, selected != cards.end() ? *selected : AdapterRecord{},
                              cards, neighbours.Find(ifindex, recorder));
    if (!holder) return std::nullopt;
    return UploadRefusal{UploadRefusal::Reason::AddressHeld,
                         {},
                         RecorderAddressHeldText(recorder, *holder),
                         kRecorderAddressHeldCaption};
}

}  // namespace fk
