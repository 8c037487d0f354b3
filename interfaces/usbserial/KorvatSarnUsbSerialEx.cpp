#include "KorvatSarnUsbSerialEx.h"

#include <new>

#include <termios.h>
#include <unistd.h>

#include "SerialPort.h"

namespace serial = nimbra::serial;

struct KorvatSarnUsbSerialExLink {
    serial::PortHandle port = serial::kInvalidPort;
};

namespace {

// A record (header and up to 2048 data bytes) takes about 180 ms at 115200 baud;
// the limit only matters when the other end stops taking bytes.
constexpr int kWriteTimeoutMs = 2000;
constexpr int kParityNone = 0;
constexpr int kStopBitsOne = 0;
constexpr int kDataBits = 8;

bool Valid(KorvatSarnUsbSerialEx_Handle h) { return h && h->port != serial::kInvalidPort; }

}  // namespace

extern "C" {

int KorvatSarnUsbSerialEx_OpenComm(int port, int rxSize, int txSize, int baud,
                                   KorvatSarnUsbSerialEx_Handle* handleOut) {
    if (!handleOut) return KORVATSARN_USBSERIALEX_BAD_ARGUMENT;
    *handleOut = nullptr;
    if (port < 1 || port > 255 || baud <= 0) return KORVATSARN_USBSERIALEX_BAD_ARGUMENT;

    auto* link = new (std::nothrow) KorvatSarnUsbSerialExLink;
    if (!link) return KORVATSARN_USBSERIALEX_OPEN_FAILED;
    int rc = serial::OpenComPort(static_cast<std::uint16_t>(port), baud, kParityNone, kStopBitsOne, kDataBits,
                                 rxSize, txSize, kWriteTimeoutMs, &link->port);
    if (rc != serial::kOpenOk) {
        delete link;
        return rc == serial::kOpenHeldElsewhere ? KORVATSARN_USBSERIALEX_PORT_HELD
                                                : KORVATSARN_USBSERIALEX_OPEN_FAILED;
    }
    *handleOut = link;
    return KORVATSARN_USBSERIALEX_OK;
}

int KorvatSarnUsbSerialEx_ReadCommWait(KorvatSarnUsbSerialEx_Handle handle, int waitMs, unsigned char* buffer,
                                       int count, int pollMs) {
    if (!Valid(handle) || !buffer || count <= 0) return 0;
    if (pollMs <= 0) pollMs = 1;
    if (waitMs < 0) waitMs = 0;
    return serial::ReadComPort(handle->port, waitMs, buffer, count, pollMs);
}

int KorvatSarnUsbSerialEx_WriteComm(KorvatSarnUsbSerialEx_Handle handle, const unsigned char* buffer, int length) {
    if (!Valid(handle) || (!buffer && length > 0) || length < 0) return KORVATSARN_USBSERIALEX_BAD_ARGUMENT;
    int done = 0;
    // The layer may stop short when its write time-out runs out; carry on with the
    // rest until the line takes nothing more.
    while (done < length) {
        int n = serial::WriteComPort(handle->port, buffer + done, length - done);
        if (n < 0) return done > 0 ? done : KORVATSARN_USBSERIALEX_WRITE_FAILED;
        if (n == 0) break;
        done += n;
    }
    // A write is finished when its bytes have left, as on the logger's USB link,
    // so a later flush of the output never cuts into a record already written.
    ::tcdrain(handle->port);
    return done;
}

int KorvatSarnUsbSerialEx_FlushComm(KorvatSarnUsbSerialEx_Handle handle, int which) {
    if (!Valid(handle) || (which != 0 && which != 1)) return KORVATSARN_USBSERIALEX_BAD_ARGUMENT;
    // Output: every write has drained before it returned, so nothing of ours is
    // left to discard. Clearing the tty's output queue anyway would, on a
    // pseudo-terminal, drop bytes already written that the other side has not
    // picked up yet (a record, a poke).
    if (which == 1) serial::PurgeComPort(handle->port, 1);
    return KORVATSARN_USBSERIALEX_OK;
}

int KorvatSarnUsbSerialEx_CloseComm(KorvatSarnUsbSerialEx_Handle handle) {
    if (!Valid(handle)) return KORVATSARN_USBSERIALEX_BAD_ARGUMENT;
    // The closing command goes out just before the close and must still arrive.
    // The layer's own close discards unsent output (on a pseudo-terminal that also
    // drops bytes the other side has not picked up yet), so this close only waits
    // for the output, drops unread input and lets go of the descriptor and its lock.
    ::tcdrain(handle->port);
    ::tcflush(handle->port, TCIFLUSH);
    ::close(handle->port);
    handle->port = serial::kInvalidPort;
    delete handle;
    return KORVATSARN_USBSERIALEX_OK;
}

}  // extern "C"
