#include "DeviceQueries.h"

#include <string>

#include "AppHelpers.h"
#include "CommandExchange.h"
#include "KorvatSarnComm.h"
#include "UpDateMng.h"

namespace nimbra {

namespace {

constexpr std::uint16_t kProductId = 0x0d5e;
constexpr int kSerialListSize = 256;

void SetLastError(const std::string& text) {
    g_lastErrorText = text;
    WriteLog(text);
}

// The steps every query shares: title line, exchange, the four failures.
// True when the answer was accepted; `r` then holds it.
bool RunQuery(const char* title, const char* tag, std::string_view command, int capacity, int wait,
              ExchangeResult& r) {
    WriteLog(title);
    r = RunExchange(command, capacity, wait);
    const std::string prefix = std::string(tag) + " ";
    switch (r.outcome) {
    case ExchangeOutcome::OpenFailure:
        SetLastError(prefix + "USB Open Error");
        return false;
    case ExchangeOutcome::RecvFailure:
        SetLastError(prefix + "Recv Error");
        return false;
    case ExchangeOutcome::Answer:
        break;
    }
    switch (CheckStatus(r.answer.data(), r.n)) {
    case StatusCheck::Error1:
        SetLastError(prefix + "Status Error1");
        return false;
    case StatusCheck::Error2:
        SetLastError(prefix + "Status Error2");
        return false;
    case StatusCheck::Accepted:
        break;
    }
    return true;
}

}  // namespace

int GetFirmVer(DialogData& dlg) {
    ExchangeResult r;
    if (!RunQuery("Get Firmware Version", "[GetFirmVer]", RuinfCommandData(), 256, 0, r)) return -1;
    dlg.m_devFirmVer = GetResponseValue(r.answer.data(), r.n, "FWV");
    if (dlg.m_devFirmVer.empty()) WriteLog("Get Firm Version Error");
    dlg.m_devNetVer = GetResponseValue(r.answer.data(), r.n, "NETV");
    if (dlg.m_devNetVer.empty()) {
        WriteLog("Get iChip Version Error");
        return -2;
    }
    return DecideUpdateType(dlg, g_deviceSerial.load());
}

int Sb_Confirm_Standby() {
    if (g_deviceSerial.load() == 0) {
        std::uint32_t serials[kSerialListSize] = {};
        KorvatSarn_GetSerial(serials, kSerialListSize, kProductId, 1);
        if (serials[0] == 0) return -1;
        g_deviceSerial = serials[0];
    }
    ExchangeResult r;
    if (!RunQuery("Sb_Confirm_Standby", "[Confirm]", RuinfCommandData(), 256, 0, r)) return -1;
    return 0;
}

int GetNimbraStatus() {
    ExchangeResult r;
    if (!RunQuery("Get Nimbra Status", "[GetStatus]", EbstsCommandData(), 512, 0, r)) return -1;
    const std::string ac = GetResponseValue(r.answer.data(), r.n, "AC");
    if (ac.empty()) {
        WriteLog("AC Status Error");
        return -1;
    }
    if (ac == "1") return 1;
    if (ac == "0") return 0;
    return -1;
}

int SendIChipUpdateRequest() {
    ExchangeResult r;
    if (!RunQuery("Send iChip Update Request", "[iChipReq]", IchipCommandData(), 256, 3, r)) return -1;
    return 0;
}

}  // namespace nimbra
