// The update state shared by the dialog, the device queries, the timers and the
// network-module worker.
//
// Everything the worker thread touches lives in storage that is never destroyed
// (the dialog data and the strings are allocated once and deliberately leaked), so
// a worker still running while the window closes or the process exits never
// touches a destroyed object. Integers shared with the worker are std::atomic<int>;
// g_netResult is stored last with release ordering and read with acquire ordering,
// which publishes g_lastErrorText and the progress values written before it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace nimbra {

// The dialog's members that the non-window parts read and write.
struct DialogData {
    std::atomic<int> m_updateType{0};     // UpdateType of the current run
    std::atomic<int> m_progressTotal{0};  // network-module progress denominator
    std::atomic<int> m_progressDone{0};   // network-module progress numerator
    bool m_updating = false;              // an update is under way (UI thread only)
    std::string m_fileFirmVer;            // "#F#" of UpDateMng.txt
    std::string m_fileNetVerN;            // "#N#"
    std::string m_fileNetVerP;            // "#P#"
    std::string m_fileWebFirm;            // "#W#"
    std::string m_devFirmVer;             // FWV reported by the logger
    std::string m_devNetVer;              // NETV reported by the logger
    int m_netImageNo = 0;                 // 809 / 810, 0 when not chosen
};

// The one dialog's data; never null, never destroyed.
extern DialogData* const g_mainDialog;

extern bool g_logViewerFound;              // Skelmor lay beside the program at start-up
extern std::atomic<int> g_mainResult;      // 1 running, 0 done, < 0 library error code
extern std::atomic<int> g_netResult;       // 1 running, 0 done, -1 failed (release/acquire)
extern std::atomic<int> g_netStep;         // 0..8
extern std::atomic<std::uint32_t> g_deviceSerial;
extern std::atomic<std::uint16_t> g_comPort;
extern std::string& g_mainHexPath;         // UTF-8 full path of Nimbra.hex
extern std::string& g_webImagePath;        // UTF-8 full path of Nimbra.img
extern std::string& g_lastErrorText;       // text of the last failure (UTF-8)

// Back to the start-of-process state (tests run many sequences in one process).
void ResetGlobalsForTest();

}  // namespace nimbra
