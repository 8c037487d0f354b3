#include "Globals.h"

namespace nimbra {

DialogData* const g_mainDialog = new DialogData;

bool g_logViewerFound = false;
std::atomic<int> g_mainResult{0};
std::atomic<int> g_netResult{0};
std::atomic<int> g_netStep{0};
std::atomic<std::uint32_t> g_deviceSerial{0};
std::atomic<std::uint16_t> g_comPort{0};
std::string& g_mainHexPath = *new std::string;
std::string& g_webImagePath = *new std::string;
std::string& g_lastErrorText = *new std::string;

void ResetGlobalsForTest() {
    DialogData& d = *g_mainDialog;
    d.m_updateType = 0;
    d.m_progressTotal = 0;
    d.m_progressDone = 0;
    d.m_updating = false;
    d.m_fileFirmVer.clear();
    d.m_fileNetVerN.clear();
    d.m_fileNetVerP.clear();
    d.m_fileWebFirm.clear();
    d.m_devFirmVer.clear();
    d.m_devNetVer.clear();
    d.m_netImageNo = 0;
    g_logViewerFound = false;
    g_mainResult = 0;
    g_netResult = 0;
    g_netStep = 0;
    g_deviceSerial = 0;
    g_comPort = 0;
    g_mainHexPath.clear();
    g_webImagePath.clear();
    g_lastErrorText.clear();
}

}  // namespace nimbra
