#pragma once

#include <string>
#include <vector>

#include "platform/adapter_source.h"

namespace fk {

using AdapterRecord = platform::AdapterRecord;

// The cards behind the entries of the card list: entry i belongs to record i.
using AdapterList = std::vector<AdapterRecord>;

// The list kept for the window and offered by the terminal: the system's records of the cards
// that can carry an upload, in the system's order; none when the query failed.
AdapterList BuildAdapterList(const platform::AdapterQuery& query);

// The texts of the card list, one per record, exactly the descriptions.
std::vector<std::string> AdapterEntries(const AdapterList& list);

// The record of a selection index: -1 (nothing selected) gives the first record, an index past
// the end the last one; an empty list gives a record with empty texts and index 0.
AdapterRecord SelectedAdapter(const AdapterList& list, int index);

}  // namespace fk
