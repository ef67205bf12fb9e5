#include <algorithm>

#include "net/adapter_list.h"
#include "net/ipv4.h"
#include "platform/adapter_source.h"
#include "platform/windows/ip_helper.h"

namespace fk::platform {

namespace {

class WindowsAdapterSource final : public AdapterSource {
  public:
    AdapterQuery List() override {
        AdapterQuery query;
        std::vector<windows::Card> cards;
        unsigned long error = 0;
        if (!windows::ReadCards(cards, error)) {
            query.ok = false;
            query.error = static_cast<int>(error);
            return query;
        }
        const auto routes = windows::RouteGateways();
        for (const auto& card : cards) {
            AdapterRecord record;
            record.adapterName = card.key;
            record.description = card.description.empty() ? card.name : card.description;
            record.friendlyName = card.name;
            record.index = card.index;
            record.unfit =
                UnfitnessOfInterface(card.ifType, card.linkAddressLength, card.ipv4Enabled);
            const bool addressed = !card.addresses.empty();
            record.ipAddress = FormatDottedQuad(addressed ? card.addresses.front() : 0);
            record.ipMask =
                FormatDottedQuad(addressed ? windows::MaskOfPrefix(card.prefixLengths.front()) : 0);
            record.gateway = FormatDottedQuad(card.gateways.empty() ? 0 : card.gateways.front());
            record.gateways = card.gateways;
            for (const auto& [ifindex, hop] : routes) {
                if (ifindex == card.index &&
                    std::find(record.gateways.begin(), record.gateways.end(), hop) ==
                        record.gateways.end()) {
                    record.gateways.push_back(hop);
                }
            }
            query.adapters.push_back(std::move(record));
        }
        return query;
    }
};

}  // namespace

std::unique_ptr<AdapterSource> MakeSystemAdapterSource() {
    return std::make_unique<WindowsAdapterSource>();
}

}  // namespace fk::platform
