#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::BtnUploadClick() {}
void TKVUpgradeFrm::AckTimeOutTimer() {}
void TKVUpgradeFrm::SendTimeOutTimer() {}
