#pragma once

// Scriptable stand-ins for the card list and the stored network configuration.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/adapter_source.h"
#include "platform/tcpip_config.h"

namespace fk::testing {

class FakeAdapterSource final : public platform::AdapterSource {
  public:
    platform::AdapterQuery List() override {
        ++queries;
        return query;
    }

    platform::AdapterQuery query;
    int queries = 0;
};

// Answers from a table keyed by adapter key; records every key asked for.
class FakeTcpipConfig final : public platform::TcpipConfig {
  public:
    platform::TcpipSettings Read(const std::string& adapterKey) override {
        askedFor.push_back(adapterKey);
        const auto found = settings.find(adapterKey);
        return found == settings.end() ? platform::TcpipSettings{} : found->second;
    }

    std::map<std::string, platform::TcpipSettings> settings;
    std::vector<std::string> askedFor;
};

inline platform::AdapterRecord Card(std::string name, std::string description, std::uint32_t index,
                                    std::string address, std::string mask = "255.255.255.0",
                                    std::string gateway = "0.0.0.0") {
    platform::AdapterRecord card;
    card.adapterName = std::move(name);
    card.description = std::move(description);
    card.index = index;
    card.ipAddress = std::move(address);
    card.ipMask = std::move(mask);
    card.gateway = std::move(gateway);
    return card;
}

}  // namespace fk::testing
