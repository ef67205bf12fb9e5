#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::m_cbNetinfoChange() {}
void TKVUpgradeFrm::editMac3Change() {}
void TKVUpgradeFrm::editMac4Change() {}
void TKVUpgradeFrm::editMac5Change() {}

// Start-up hooks of the network area.
void TKVUpgradeFrm::LoadAdapterList() {}
void TKVUpgradeFrm::UpdateAddressPlan() {}
