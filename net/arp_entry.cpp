#include "net/arp_entry.h"

#include <cerrno>
#include <cstdio>

namespace fk {

namespace {

void WriteToStderr(const std::string& line) {
    std::fputs(line.c_str(), stderr);
}

}  // namespace

DeviceArpEntry::DeviceArpEntry(platform::NeighbourTable& table, ErrorSink errorSink)
    : m_table(table), m_errorSink(errorSink ? std::move(errorSink) : WriteToStderr) {}

int DeviceArpEntry::Set(int ifindex, Ipv4 address, const MacAddress& mac, bool add) {
    return Take(add, add ? m_table.Add(ifindex, address, mac) : m_table.Remove(ifindex, address));
}

std::vector<int> DeviceArpEntry::AddAll(int ifindex,
                                        std::span<const platform::NeighbourTable::Wanted> entries) {
    std::vector<int> errors;
    for (const auto& result : m_table.AddAll(ifindex, entries))
        errors.push_back(Take(true, result));
    return errors;
}

int DeviceArpEntry::Take(bool add, const platform::NeighbourResult& result) {
    // Deleting an entry that is not there leaves the table as wanted: StopUpload's delete of
    // 0.0.0.0 always meets this, and it is no failure worth a line.
    const bool alreadyGone = !add && result.error == ENOENT;
    if (add) {
        m_cannotMake.store(!result.ok && (result.error == EACCES || result.error == EPERM ||
                                          result.error == ENOSYS));
    }
    const bool held = add && result.error == EADDRINUSE;
    // An address still being asked on the wire is no failure: the entry comes at a later add.
    const bool probing = add && result.error == EINPROGRESS;
    if (!result.ok && !alreadyGone && !held && !probing) Report(result.message);
    return result.ok ? 0 : result.error;
}

void DeviceArpEntry::ResetErrorReport() {
    m_errorReported.store(false);
}

void DeviceArpEntry::Report(const std::string& message) {
    if (m_errorReported.exchange(true)) return;
    m_errorSink("Arp error - " + message + "\n");
}

}  // namespace fk
