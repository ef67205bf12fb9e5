#pragma once

#include <cstdint>
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

// A card as texts name it to the operator: "Ethernet 2 (Intel(R) I219-V)" where the system gives
// cards a name of their own, else the interface name.
std::string CardLabel(const AdapterRecord& card);

// The cards a name given on the command line stands for. An exact interface name, entry or
// system-given name wins; failing that, where the system gives cards a name of their own (as
// Windows does, whose names ignore letter case), a name, entry or GUID in any case, braces
// optional, or the interface index. More than one card means the name is ambiguous.
std::vector<AdapterRecord> CardsNamed(const AdapterList& cards, const std::string& name);

// What keeps a card of a given interface type (IANA ifType) from carrying an upload: only an
// Ethernet or Wi-Fi card with a six-byte address and IPv4 resolves the recorder by ARP.
nethelper::CardUnfit UnfitnessOfInterface(std::uint32_t ifType, std::size_t linkAddressLength,
                                          bool ipv4Enabled);

// The record of a selection index: -1 (nothing selected) gives the first record, an index past
// the end the last one; an empty list gives a record with empty texts and index 0.
AdapterRecord SelectedAdapter(const AdapterList& list, int index);

}  // namespace fk
