#pragma once

// The lines of `check` that ask the system itself, one file per system: what an operator runs
// to mend a card, and what on the machine may stop a recorder from being served.

#include <string>
#include <vector>

#include "net/adapter_list.h"

namespace fk::cli {

// One line of the check: what holds or not, and for what does not, what to do about it.
struct Finding {
    bool ok;
    std::string name, text, hint{};
};

// The commands that bring the card up and give it an address.
std::string LinkUpHint(const AdapterRecord& card);
std::string AddressHint(const AdapterRecord& card);
// Of the card, before the recorder's address is checked (who manages the card).
std::vector<Finding> CardFindings(const AdapterRecord& card);
// Of the machine: the ports 67 and 69, the rights to use them, what else may stand between.
std::vector<Finding> HostFindings();

}  // namespace fk::cli
