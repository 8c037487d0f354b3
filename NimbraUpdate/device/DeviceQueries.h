// The four questions the program asks a logger over its command link.
#pragma once

#include "Globals.h"
#include "UpDateMng.h"  // ReadUpDateMngTitle, ReadUpDateMng, DecideUpdateType

namespace nimbra {

// UpdateType (>= 0); -1 query failed; -2 no network-module version reported.
int GetFirmVer(DialogData& dlg);
// 0 the logger answered and is ready; -1 otherwise.
int Sb_Confirm_Standby();
// 1 on AC adapter, 0 on battery, -1 not reported or query failed.
int GetNimbraStatus();
// 0 the logger switched its network module to update mode; -1 otherwise.
int SendIChipUpdateRequest();

}  // namespace nimbra
