// KorvatSarnUpdate: reprograms the main microcontroller of a Nimbra logger through its
// serial boot loader, reached over the logger's USB-to-UART bridge (a COM port).
//
// Text arguments are 8-bit strings in the locale's code page (UTF-8 here).
// COM port n is the tty `/dev/ttyUSB(n-1)`, or `COMn` in the virtual bus directory
// when NIMBRA_VIRTUAL_BUS is set. No export throws, prints or shows anything: every
// outcome is in the result.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define KORVATSARNUPDATE_API __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// KorvatSarnUpdate: one complete main-firmware update; blocks until it has ended.
//
//   firmwarePath  the firmware file, at most 260 bytes. A name ending in "hex" (any
//                 case) is Intel HEX and is first converted into a flat image written
//                 beside it (its last three characters replaced by "bin"); a name
//                 ending in "bin" is used as the flat image directly.
//   port          COM port number; only its low 16 bits count, 1..255.
//   productString the bridge's expected USB product string (exact, case-sensitive).
//   serialNumber  the bridge's expected USB serial number (exact, case-sensitive).
//   flashSizeKB   the target's flash size; the image may hold flashSizeKB / 2 blocks
//                 of 2 KiB at most.
//   verify        non-zero: read the flash back for comparison after programming.
//
// While it waits on the line the call runs the calling thread's message pump (see
// KorvatSarnUpdate_SetMessagePump), so that handlers of that thread can read the
// progress (KorvatSarnUpdate_GetStatus) and ask it to stop (KorvatSarnUpdate_Cancel).
// A run log is written to "FlightMsg_<port>.txt" in the running program's folder,
// except for results -1, -2 and a failure of the first port open.
//
// Results:
//     0  written (and verified when asked); the target is held in reset in normal
//        mode until KorvatSarnUpdate_Reset releases it
//    -1  bad argument: null or empty path, path longer than 260 bytes, port above
//        255, null or empty product string or serial number (also: no memory for the
//        thread's status record)
//    -2  the file name ends neither in "hex" nor in "bin"
//    -3  the Intel HEX file could not be converted; the target is not touched. The
//        log holds "INTEL HEX FILE CONVERT ERR(n)": n = -1 file unreadable, -2 bad
//        checksum, -3 data outside the 2 MiB image, -4..-7 an address or start record
//        of the wrong length, -8 unknown record type, -9 image file not writable,
//        -10 malformed record (a character that is not a hex digit, a line too short
//        for a record, a byte count beyond the line), -11 no data byte at all
//    -4  the COM port is held by another program (at 9600 or at 115200 baud)
//    -5  the COM port cannot be opened or configured (at 9600 or at 115200 baud)
//    -6  the bridge's USB product string could not be read
//    -7  the bridge's USB serial number could not be read
//    -8  the bridge's product string or serial number is not the expected one
//   -10  the target could not be put into boot mode
//   -11  no synchronisation with the boot loader (at 9600 or at 115200 baud)
//   -12  the baud-rate change command could not be sent
//   -13  the silicon-signature step failed
//   -14  the erase step failed
//   -15  programming failed or was cancelled (the flash is erased or partly written)
//   -16  verify failed or was cancelled
//   -17  taking the target out of boot mode failed after a successful update
// (-9 and -18 are never returned.) After every failure from -11 on, except a failed
// reopen at 115200 baud, the target has been taken out of boot mode.
int KORVATSARNUPDATE_API KorvatSarnUpdate(const char* firmwarePath, int port, const char* productString,
                                          const char* serialNumber, int flashSizeKB, int verify);

// Copies the calling thread's progress: *step is the step under way or, after the
// run, the last one (0 checks/convert/open, 1 boot mode, 2 sync at 9600, 3 baud
// change, 4 sync at 115200, 5 signature, 6 erase, 7 programming, 8 verify,
// 9 leaving boot mode, 10 finished successfully); *percent the progress of
// programming or verify (from 0; may exceed 100 while trailing blank blocks are
// skipped; kept from the previous run until programming writes it).
// A thread that never ran an update has no status: nothing is written.
void KORVATSARNUPDATE_API KorvatSarnUpdate_GetStatus(int* step, int* percent);

// Asks the calling thread's running update to stop at the next 2 KiB block of
// programming or verify (result -15 or -16). Each run clears the request at its
// start; a thread without status is left alone.
void KORVATSARNUPDATE_API KorvatSarnUpdate_Cancel(void);

// Fills table[0..255] (indexed by COM number): entry n is 1 when COMn belongs to a
// bridge with vendor 0x2a7c and product 0x0d3b and could be opened just now, else 0;
// entry 0 is always 0. Returns the number of entries set to 1, or -1 when no bridge
// of that identity is known at all (the table is then left untouched).
int KORVATSARNUPDATE_API KorvatSarnUpdate_ComTable(unsigned short* table);

// As KorvatSarnUpdate_ComTable for the bridge product id given (low 16 bits used).
int KORVATSARNUPDATE_API KorvatSarnUpdate_ComTable_PID(int productId, unsigned short* table);

// Pulses one bridge output line: drives the lines of `mask` to (level ? 1 : 0) for
// 50 ms, then to the opposite value. The low byte of mask must be 1, 2, 4 or 8
// (line 0 = target reset, line 1 = boot mode). The latch value is 0 or 1 whatever
// the mask. With mask 1 and level 0 the logger restarts in normal mode.
// Results: 0 done; -1 mask not 1, 2, 4 or 8 (the port is not touched); -4 the port
// is held by another program; -5 the port cannot be opened or configured; -18 a
// bridge line write failed.
int KORVATSARNUPDATE_API KorvatSarnUpdate_Reset(int port, int mask, int level);

// Registers the calling thread's message pump: `callback(context)` is called before
// every serial write and at every synchronisation attempt of an update on this
// thread, so that the caller's timers and handlers run inside the blocking call.
// nullptr: nothing is dispatched (the default).
typedef void (*KorvatSarnUpdate_MessagePump)(void* context);
void KORVATSARNUPDATE_API KorvatSarnUpdate_SetMessagePump(KorvatSarnUpdate_MessagePump callback, void* context);

#ifdef __cplusplus
}
#endif
