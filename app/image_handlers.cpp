#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::m_strSysFileChange() {}
void TKVUpgradeFrm::m_strDataFileChange() {}
void TKVUpgradeFrm::BtnBrowseSysClick() {}
void TKVUpgradeFrm::BtnBrowseDataClick() {}
