// The USB command-link library: the five functions the program calls, with C
// linkage and their plain names (libKorvatSarnComm.so).
//
// A logger is addressed by its 32-bit serial number. One exchange is
// KorvatSarn_OpenUSBComm, KorvatSarn_SendComm, KorvatSarn_RecvComm,
// KorvatSarn_CloseComm; the link is opened and closed per exchange.
//
// On the virtual bus (NIMBRA_VIRTUAL_BUS set) each logger is the Unix socket
// `link-PPPP-S` in the bus directory (simulator/README.md). Without a virtual bus
// this build knows no USB transport: no logger is found and every open fails.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define KORVATSARN_API __attribute__((visibility("default")))
#else
#define KORVATSARN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Writes the serial numbers of the connected loggers of USB product `productId`
// (ascending) to serials[0..capacity-1]; entries beyond the loggers found are
// left as they are, so a zero-filled array keeps entry 0 at 0 when none is
// found. `mode` is accepted and ignored. Returns the number of entries written
// (0 when none), -1 for a null array or a negative capacity.
KORVATSARN_API int KorvatSarn_GetSerial(uint32_t* serials, int capacity, uint16_t productId, int mode);

// Opens the command link of logger `serial`. 0: open; -1: no such logger or it
// cannot be reached; -2: the logger refused the link. A link still open for
// the same serial is closed first.
KORVATSARN_API int KorvatSarn_OpenUSBComm(uint32_t serial);

// Sends one command frame of `length` bytes over the open link.
// 0 sent; -1 link not open, bad arguments, or the bytes could not be written.
KORVATSARN_API int KorvatSarn_SendComm(uint32_t serial, const unsigned char* frame, int length);

// Waits for the answer to the frame just sent, for 2000 ms plus one second per
// unit of `wait` (negative counts as 0). Writes at most `capacity` answer bytes
// at the start of `buffer` and returns their number (0..capacity); a longer
// answer is cut at the capacity. -1: link not open, bad arguments, silence,
// a refused or incomplete answer.
KORVATSARN_API int KorvatSarn_RecvComm(uint32_t serial, unsigned char* buffer, int capacity, int wait);

// Closes the link of `serial`. 0 closed; -1 it was not open.
KORVATSARN_API int KorvatSarn_CloseComm(uint32_t serial);

#ifdef __cplusplus
}
#endif
