#include "upgrade/upload_station.h"

namespace fk {

UploadStation::UploadStation(SessionHost& host, DeviceArp& arp, platform::PortOpener& ports,
                             platform::AdapterSource& cards, StationOptions options,
                             StationSession::WatchMaker makeWatch)
    : m_host(host), m_cards(cards), m_station(*this, arp, ports, options, std::move(makeWatch)) {}

void UploadStation::StartUpload(const UploadPlan& plan) {
    m_station.Start(UploadStationPlan(plan, m_cards));
}

StationPlan UploadStationPlan(const UploadPlan& plan, platform::AdapterSource& cards) {
    StationPlan station;
    station.file = plan.file;
    station.card = plan.card;
    if (plan.bench) {
        station.named.assign(plan.bench->named.begin(), plan.bench->named.end());
    } else {
        station.named = {NamedRecorder({plan.mac, 0}, true)};
        station.followCard = &cards;
    }
    return station;
}

}  // namespace fk
