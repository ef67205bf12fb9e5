#include "upgrade/upload_checks.h"

#include <algorithm>
#include <filesystem>
#include <set>
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

// The cards as they are now; known stands in when they cannot be read.
AdapterList CardsNow(platform::AdapterSource& adapters, const AdapterList& known) {
    if (auto query = adapters.List(); query.ok) return std::move(query.adapters);
    return known;
}

AdapterRecord CardOf(const AdapterList& cards, int ifindex) {
    const auto card = std::find_if(cards.begin(), cards.end(), [&](const AdapterRecord& card) {
        return static_cast<int>(card.index) == ifindex;
    });
    return card != cards.end() ? *card : AdapterRecord{};
}

// The image checks for an upload to the recorder with mac: the file exists, a system image fits
// the recorder, and its name and size fit the wire. Nothing when the upload may go on.
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

// The address the rule gives the recorder on the card ifindex (host: its address) can be given
// to it and is nobody else's: a host address of the card's subnet (not its network or broadcast
// address, not outside it), not a gateway of the card, not one of this PC's cards, not bound to
// another device in the neighbour table (an entry of a recorder that is not fixed is replaced).
std::optional<UploadRefusal> CheckRecorderAddressFree(platform::AdapterSource& adapters,
                                                      const AdapterList& known, int ifindex,
                                                      Ipv4 host,
                                                      platform::NeighbourTable& neighbours) {
    const AdapterList cards = CardsNow(adapters, known);
    const AdapterRecord card = CardOf(cards, ifindex);
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

// The image checks for every recorder named; with none named, those of the file alone, and a
// system image must fit some recorder.
std::optional<UploadRefusal> CheckImageFor(ImagePage page, const std::string& path,
                                           const std::vector<MacAddress>& macs) {
    for (const MacAddress& mac : macs) {
        if (auto refusal = CheckUploadImage(page, path, mac)) return refusal;
    }
    if (!macs.empty()) return std::nullopt;
    if (auto refusal = CheckUploadImage(ImagePage::Data, path, kRecorderMacPrefix)) return refusal;
    if (page != ImagePage::System) return std::nullopt;
    const TrailerReadResult read = ReadImageTrailer(path);
    if (read.failure == TrailerFailure::None && ImageFitsAnyRecorder(read.trailer)) {
        return std::nullopt;
    }
    UploadRefusal refusal;
    refusal.reason = UploadRefusal::Reason::WrongRecorder;
    refusal.imagePath = path;
    refusal.trailerRead = read;
    return refusal;
}

// The bench's addresses: one for each recorder named, in order, and with none named one left for
// a recorder that asks.
std::variant<BenchPlan, UploadRefusal> PlanBench(const BenchChoices& bench, SelectedCard selected,
                                                 platform::AdapterSource& adapters,
                                                 const AdapterList& known,
                                                 platform::NeighbourTable& neighbours) {
    // Every card of this PC holds its own addresses, whether it carries uploads or not.
    const AdapterList cards = CardsNow(adapters, known);
    const AdapterRecord card = CardOf(cards, selected.ifindex);
    BenchPlan plan{{}, StationAddressRulesFor(card, cards, selected.hostAddress, bench.pool)};
    const NeighbourLookup lookup = [&neighbours, selected](Ipv4 address) {
        return neighbours.Find(selected.ifindex, address);
    };
    UploadRefusal refusal;
    refusal.reason = UploadRefusal::Reason::NoAddressForRecorder;
    refusal.pool = bench.pool;
    refusal.cardName = CardLabel(card);
    std::set<Ipv4> given;
    for (const MacAddress& mac : bench.named) {
        const auto address = NextStationAddress(plan.rules, given, lookup);
        if (!address) {
            refusal.mac = mac;
            return refusal;
        }
        given.insert(*address);
        plan.named.push_back({mac, *address});
    }
    // A pool that holds no address a recorder can be given serves nobody.
    if (plan.named.empty() && !NextStationAddress(plan.rules, given, lookup)) {
        refusal.reason = UploadRefusal::Reason::NoAddressLeft;
        return refusal;
    }
    return plan;
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

std::variant<UploadPlan, UploadRefusal> MakeUploadPlan(const UploadChoices& choices,
                                                       platform::AdapterSource& adapters,
                                                       const AdapterList& known,
                                                       platform::NeighbourTable& neighbours) {
    const auto& bench = choices.bench;
    if (auto refusal = CheckImageFor(choices.page, choices.imagePath,
                                     bench ? bench->named : std::vector{choices.mac})) {
        return std::move(*refusal);
    }
    std::error_code error;
    const auto size = std::filesystem::file_size(choices.imagePath, error);
    UploadPlan plan{{choices.page, BareImageName(choices.imagePath), choices.imagePath},
                    choices.mac,
                    choices.card,
                    error ? 0 : size,
                    {}};
    if (choices.deferAddressCheck) return plan;
    if (!bench) {
        if (auto refusal = CheckRecorderAddressFree(adapters, known, choices.card.ifindex,
                                                    choices.card.hostAddress, neighbours)) {
            return std::move(*refusal);
        }
        return plan;
    }
    auto addresses = PlanBench(*bench, choices.card, adapters, known, neighbours);
    if (auto* refusal = std::get_if<UploadRefusal>(&addresses)) return std::move(*refusal);
    plan.bench = std::move(std::get<BenchPlan>(addresses));
    return plan;
}

}  // namespace fk
