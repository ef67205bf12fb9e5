#include "platform/system_facts.h"
#include "platform/windows/ip_helper.h"

namespace fk::platform {

// Windows lists a card that is switched off nowhere, so a card it lists counts as up; the
// operational status says whether its link has a carrier.
LinkState ReadLinkState(const std::string& interfaceName) {
    std::vector<windows::Card> cards;
    unsigned long error = 0;
    if (!windows::ReadCards(cards, error)) return {};
    for (const auto& card : cards) {
        if (card.key == interfaceName) return {true, true, card.up};
    }
    return {};
}

}  // namespace fk::platform
