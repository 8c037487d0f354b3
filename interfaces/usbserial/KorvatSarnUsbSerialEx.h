/* The logger's USB virtual serial link: the five calls the network-module
 * transfer makes. A link is named by an opaque handle. Counts and sizes are
 * 32-bit signed integers; buffers are byte arrays. */
#ifndef KORVATSARN_USBSERIALEX_H
#define KORVATSARN_USBSERIALEX_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVATSARN_USBSERIALEX_BUILD)
#define KORVATSARN_USBSERIALEX_API __attribute__((visibility("default")))
#else
#define KORVATSARN_USBSERIALEX_API
#endif

typedef struct KorvatSarnUsbSerialExLink* KorvatSarnUsbSerialEx_Handle;

/* Result codes. */
#define KORVATSARN_USBSERIALEX_OK 0
#define KORVATSARN_USBSERIALEX_BAD_ARGUMENT (-1)
#define KORVATSARN_USBSERIALEX_OPEN_FAILED (-4) /* no such port, no permission, settings refused */
#define KORVATSARN_USBSERIALEX_WRITE_FAILED (-6)
#define KORVATSARN_USBSERIALEX_PORT_HELD (-7)   /* another program holds the port */

/* Opens COM port `port` (1..255) at `baud`, 8 data bits, no parity, one stop bit,
 * no flow control. Buffer sizes are accepted and ignored. 0 and *handleOut set,
 * or a negative code and *handleOut set to null. */
KORVATSARN_USBSERIALEX_API int KorvatSarnUsbSerialEx_OpenComm(int port, int rxSize, int txSize, int baud,
                                                              KorvatSarnUsbSerialEx_Handle* handleOut);

/* Reads up to `count` bytes into `buffer`. Returns as soon as `count` bytes are in,
 * or once the line has been silent for `waitMs`, each wait at most `pollMs`.
 * Returns the number of bytes read (0..count); bytes land at the start of the
 * buffer, the rest of it is left untouched. */
KORVATSARN_USBSERIALEX_API int KorvatSarnUsbSerialEx_ReadCommWait(KorvatSarnUsbSerialEx_Handle handle, int waitMs,
                                                                  unsigned char* buffer, int count, int pollMs);

/* Writes `length` bytes in order and returns once they have left (the output has
 * drained). The number written, or a negative code. */
KORVATSARN_USBSERIALEX_API int KorvatSarnUsbSerialEx_WriteComm(KorvatSarnUsbSerialEx_Handle handle,
                                                               const unsigned char* buffer, int length);

/* which = 0 discards output not yet sent (writes drain before they return, so
 * there is none of this library's); 1 discards input received and not yet read,
 * leaving output alone. 0, or a negative code. */
KORVATSARN_USBSERIALEX_API int KorvatSarnUsbSerialEx_FlushComm(KorvatSarnUsbSerialEx_Handle handle, int which);

/* Releases the port; bytes written before the call still reach the other end.
 * The handle is invalid afterwards. 0, or a negative code. */
KORVATSARN_USBSERIALEX_API int KorvatSarnUsbSerialEx_CloseComm(KorvatSarnUsbSerialEx_Handle handle);

#ifdef __cplusplus
}
#endif

#endif
