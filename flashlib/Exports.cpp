// The library's C interface. Nothing escapes as an exception: a failure that would
// throw (memory) becomes a result.
#include "KorvatSarnUpdate.h"

#include "FlashCore.h"

using namespace nimbra::flash;

extern "C" {

int KorvatSarnUpdate(const char* firmwarePath, int port, const char* productString, const char* serialNumber,
                     int flashSizeKB, int verify) {
    try {
        return RunUpdate(firmwarePath, port, productString, serialNumber, flashSizeKB, verify);
    } catch (...) {
        return -5;
    }
}

void KorvatSarnUpdate_GetStatus(int* step, int* percent) {
    const UpdateStatus* s = ThreadStatus(false);
    if (!s) return;
    if (step) *step = s->step;
    if (percent) *percent = s->percent;
}

void KorvatSarnUpdate_Cancel(void) {
    if (UpdateStatus* s = ThreadStatus(false)) s->cancel = 1;
}

int KorvatSarnUpdate_ComTable(unsigned short* table) {
    try {
        return ComTable(kDefaultProductId, table);
    } catch (...) {
        return -1;
    }
}

int KorvatSarnUpdate_ComTable_PID(int productId, unsigned short* table) {
    try {
        return ComTable(static_cast<std::uint16_t>(productId & 0xFFFF), table);
    } catch (...) {
        return -1;
    }
}

int KorvatSarnUpdate_Reset(int port, int mask, int level) {
    try {
        return ResetLine(port, mask, level);
    } catch (...) {
        return -5;
    }
}

void KorvatSarnUpdate_SetMessagePump(KorvatSarnUpdate_MessagePump callback, void* context) {
    nimbra::serial::SetThreadMessagePump(callback, context);
}

}  // extern "C"
