// The core bound to the real device side.
#include <chrono>
#include <thread>

#include "DeviceQueries.h"
#include "KorvatSarnComm.h"
#include "KorvatSarnUpdate.h"
#include "NetModule.h"
#include "UpDateMng.h"
#include "UpdateCore.h"

namespace nimbra {

UpdateServices RealUpdateServices() {
    UpdateServices s;
    s.comTablePid = [](int pid, std::uint16_t* table) {
        return KorvatSarnUpdate_ComTable_PID(pid, reinterpret_cast<unsigned short*>(table));
    };
    s.flashUpdate = [](const char* path, int port, const char* product, const char* serial, int kb, int verify) {
        return KorvatSarnUpdate(path, port, product, serial, kb, verify);
    };
    s.getStatus = [](int* step, int* percent) { KorvatSarnUpdate_GetStatus(step, percent); };
    s.resetLogger = [](int port, int mask, int level) { return KorvatSarnUpdate_Reset(port, mask, level); };
    s.setMessagePump = [](void (*pump)(void*), void* context) { KorvatSarnUpdate_SetMessagePump(pump, context); };
    s.getSerial = [](std::uint32_t* list, int capacity, int pid, int mode) {
        return KorvatSarn_GetSerial(list, capacity, static_cast<std::uint16_t>(pid), mode);
    };
    s.getNimbraStatus = [] { return GetNimbraStatus(); };
    s.getFirmVer = [](DialogData& d) { return GetFirmVer(d); };
    s.confirmStandby = [] { return Sb_Confirm_Standby(); };
    s.readUpDateMng = [](DialogData& d) { return ReadUpDateMng(d); };
    s.readUpDateMngTitle = [] { return ReadUpDateMngTitle(); };
    s.startNetWorker = [](int imageNo) { StartIChipWorker(imageNo); };
    s.sleepMs = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    return s;
}

}  // namespace nimbra
