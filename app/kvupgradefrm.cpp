#include "app/kvupgradefrm.h"

fk::MacAddress deviceMac = fk::kRecorderMacPrefix;

TKVUpgradeFrm::TKVUpgradeFrm(const WindowServices& services, QWidget* parent)
    : QWidget(parent), m_services(services) {
    BuildLayout();
}

TKVUpgradeFrm::~TKVUpgradeFrm() = default;

void TKVUpgradeFrm::BuildLayout() {}

void TKVUpgradeFrm::FormCreate() {}

void TKVUpgradeFrm::FormDestroy() {}
