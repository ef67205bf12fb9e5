#include "app/kvupgradefrm.h"

// Remembered image paths: filled by the settings area.
void TKVUpgradeFrm::LoadImagePaths() {}
void TKVUpgradeFrm::SaveImagePaths() {}
