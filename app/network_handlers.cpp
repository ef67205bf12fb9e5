#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::m_cbNetinfoChange() {}
void TKVUpgradeFrm::editMac3Change() {}
void TKVUpgradeFrm::editMac4Change() {}
void TKVUpgradeFrm::editMac5Change() {}
