#include <QApplication>

#include "app/kvupgradefrm.h"
#include "platform/adapter_source.h"
#include "platform/neighbour_table.h"
#include "platform/tcpip_config.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(kApplicationTitle);
    WindowServices services;
    const auto adapters = fk::platform::MakeSystemAdapterSource();
    const auto tcpipConfig = fk::platform::MakeKeyfileTcpipConfig();
    const auto neighbours = fk::platform::MakeSystemNeighbourTable();
    services.adapters = adapters.get();
    services.tcpipConfig = tcpipConfig.get();
    services.neighbours = neighbours.get();
    TKVUpgradeFrm window(services);
    window.FormCreate();
    window.show();
    QApplication::exec();
    window.FormDestroy();
    return 0;
}
