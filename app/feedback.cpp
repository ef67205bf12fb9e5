#include "app/kvupgradefrm.h"

void TKVUpgradeFrm::ShowStatus(const QString&) {}
void TKVUpgradeFrm::SetProgress(int) {}
void TKVUpgradeFrm::PlayCue(int) {}
void TKVUpgradeFrm::BlinkStatus(QLineEdit*) {}
void TKVUpgradeFrm::BTimerTimer() {}
