// The update-management file "UpDateMng.txt" beside the program, and the policy
// that turns the logger's versions into an UpdateType.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

#include "Globals.h"

namespace nimbra {

inline constexpr const char* kUpDateMngFileName = "UpDateMng.txt";

// UpdateType bits.
inline constexpr int kUpdateMainFirm = 1;
inline constexpr int kUpdateNetFirm = 2;
inline constexpr int kUpdateWeb = 4;

// GetModuleFolder() + "/UpDateMng.txt".
std::string UpDateMngPath();

// The dialog caption: message 500 followed by the last "#T#" value in brackets;
// empty when the file cannot be opened.
std::string ReadUpDateMngTitle();
std::string ReadUpDateMngTitle(const std::string& path);

// Reads "#F#", "#N#", "#P#", "#W#" into the dialog's file values (the first of them
// that a line contains decides; the last such line wins). 0 read, -1 the file
// cannot be opened (nothing changed).
int ReadUpDateMng(DialogData& dlg);
int ReadUpDateMng(DialogData& dlg, const std::string& path);

// The same readers on a stream of the file's bytes.
std::string ReadUpDateMngTitleFrom(std::istream& in);
void ReadUpDateMngFrom(std::istream& in, DialogData& dlg);

// Bits 1/2/4 from the file values against m_devFirmVer / m_devNetVer; sets
// m_netImageNo (809 or 810) when bit 2 is added.
int DecideUpdateType(DialogData& dlg, std::uint32_t serial);

}  // namespace nimbra
