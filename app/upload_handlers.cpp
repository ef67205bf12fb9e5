#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::BtnUploadClick() {}
void TKVUpgradeFrm::AckTimeOutTimer() {}
void TKVUpgradeFrm::SendTimeOutTimer() {}

// Also runs at shut-down while an upload runs; it must leave no worker touching the window.
void TKVUpgradeFrm::StopUpload() {}
