// CP210xRuntime: the three calls the flash library makes on the USB-to-UART bridge
// behind an open serial port. On the virtual bus (NIMBRA_VIRTUAL_BUS set) the
// bridge is the simulator's: identity from `COMn.usb`, output lines through the
// `COMn.gpio` socket. Otherwise the real bridge: identity from the tty's USB device
// in sysfs, output lines through the bridge's gpiochip (libgpiod).
//
// Every call reports with its result; none blocks for longer than a few seconds,
// shows anything or aborts. 0 is success.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define CP210XRT_API __attribute__((visibility("default")))

// Results.
#define CP210XRT_OK 0
#define CP210XRT_BAD_HANDLE 1        // not an open tty descriptor
#define CP210XRT_BAD_ARGUMENT 2      // null buffer or length, or an empty mask
#define CP210XRT_NOT_FOUND 3         // no bridge behind the tty (no USB device, no bus entry, no gpiochip)
#define CP210XRT_IO_FAILED 4         // the attribute, socket or line could not be read or written
#define CP210XRT_BUFFER_TOO_SMALL 5  // the text and its terminator do not fit; nothing written

// The bridge's USB product string / serial number of the port open on `handle`
// (a tty descriptor, as the serial layer hands it out).
//   buffer       receives the text
//   lengthInOut  on entry the buffer's size in bytes (1..255); on success the number
//                of bytes written, without the terminator
//   convertToAscii  non-zero: 8-bit text (UTF-8), NUL-terminated;
//                   zero: UTF-16LE code units, terminated by one zero code unit
//                   (lengthInOut then counts bytes, two a unit)
int CP210XRT_API CP210xRT_GetDeviceProductString(int handle, void* buffer, unsigned char* lengthInOut,
                                                 int convertToAscii);
int CP210XRT_API CP210xRT_GetDeviceSerialNumber(int handle, void* buffer, unsigned char* lengthInOut,
                                                int convertToAscii);

// Latch write of the bridge's output lines: every line i whose bit is set in `mask`
// (lines 0..15) is driven to bit i of `latch`; other lines keep their level.
// Line 0 is the target's reset line (0 holds it in reset), line 1 its boot-mode line.
int CP210XRT_API SetBridgeGpio(int handle, unsigned short mask, unsigned short latch);

#ifdef __cplusplus
}
#endif
