#include "net/adapter_list.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace fk {

namespace {

// IANA interface types, as Windows reports them.
constexpr std::uint32_t kIfEthernet = 6;
constexpr std::uint32_t kIfPpp = 23;
constexpr std::uint32_t kIfLoopback = 24;
constexpr std::uint32_t kIfWifi = 71;
constexpr std::uint32_t kIfTunnel = 131;

// Windows compares its card names without regard to case; the names are ASCII in practice, and
// a letter beyond it must then match exactly.
std::string Folded(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string WithoutBraces(const std::string& text) {
    if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

bool IsIndex(const std::string& text, std::uint32_t index) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value == index;
}

}  // namespace

AdapterList BuildAdapterList(const platform::AdapterQuery& query) {
    if (!query.ok) return {};
    AdapterList cards;
    std::copy_if(
        query.adapters.begin(), query.adapters.end(), std::back_inserter(cards),
        [](const AdapterRecord& card) { return card.unfit == nethelper::CardUnfit::None; });
    return cards;
}

std::vector<std::string> AdapterEntries(const AdapterList& list) {
    std::vector<std::string> entries;
    entries.reserve(list.size());
    for (const auto& record : list) entries.push_back(record.description);
    return entries;
}

std::string CardLabel(const AdapterRecord& card) {
    if (card.friendlyName.empty()) return card.adapterName;
    if (card.description.empty() || card.description == card.friendlyName) {
        return card.friendlyName;
    }
    return card.friendlyName + " (" + card.description + ")";
}

std::vector<AdapterRecord> CardsNamed(const AdapterList& cards, const std::string& name) {
    std::vector<AdapterRecord> named;
    for (const auto& card : cards) {
        if (card.adapterName == name || card.description == name ||
            (!card.friendlyName.empty() && card.friendlyName == name)) {
            named.push_back(card);
        }
    }
    if (!named.empty() || name.empty()) return named;
    const std::string folded = Folded(name);
    for (const auto& card : cards) {
        if (card.friendlyName.empty()) continue;
        if (Folded(card.friendlyName) == folded || Folded(card.description) == folded ||
            Folded(WithoutBraces(card.adapterName)) == Folded(WithoutBraces(name)) ||
            IsIndex(name, card.index)) {
            named.push_back(card);
        }
    }
    return named;
}

nethelper::CardUnfit UnfitnessOfInterface(std::uint32_t ifType, std::size_t linkAddressLength,
                                          bool ipv4Enabled) {
    switch (ifType) {
        case kIfLoopback:
            return nethelper::CardUnfit::Loopback;
        case kIfPpp:
        case kIfTunnel:
            return nethelper::CardUnfit::PointToPoint;
        case kIfEthernet:
        case kIfWifi:
            break;
        default:
            return nethelper::CardUnfit::NotEthernet;
    }
    if (linkAddressLength != 6) return nethelper::CardUnfit::NotEthernet;
    // Without IPv4 the card has no ARP to resolve the recorder with.
    return ipv4Enabled ? nethelper::CardUnfit::None : nethelper::CardUnfit::NoArp;
}

AdapterRecord SelectedAdapter(const AdapterList& list, int index) {
    if (list.empty()) return {};
    const auto last = static_cast<int>(list.size()) - 1;
    return list[static_cast<std::size_t>(std::clamp(index, 0, last))];
}

}  // namespace fk
