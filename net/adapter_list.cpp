#include "net/adapter_list.h"

#include <algorithm>
#include <iterator>

namespace fk {

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

AdapterRecord SelectedAdapter(const AdapterList& list, int index) {
    if (list.empty()) return {};
    const auto last = static_cast<int>(list.size()) - 1;
    return list[static_cast<std::size_t>(std::clamp(index, 0, last))];
}

}  // namespace fk
