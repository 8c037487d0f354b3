// Serial port layer on termios: the operations the boot-loader protocol and the
// network-module link use. A port is a tty descriptor; kInvalidPort when none.
#pragma once

#include <cstdint>

namespace nimbra::serial {

using PortHandle = int;
inline constexpr PortHandle kInvalidPort = -1;

// Result codes of the open operations.
inline constexpr int kOpenOk = 0;
inline constexpr int kOpenOtherFailure = -4;  // no such port, no permission, settings refused, ...
inline constexpr int kOpenHeldElsewhere = -7; // another program holds the port (flock / TIOCEXCL)

// parity: 0 none, 1 odd, 2 even, 3 mark; other values keep the current setting.
// stopBits: 0 one, 1 one and a half (taken as two on Linux), 2 two; other values keep the current setting.
// Queue sizes have no Linux equivalent and are accepted and ignored.
int OpenComPort(std::uint16_t com, int baud, int parity, int stopBits, int dataBits,
                int rxQueue, int txQueue, int writeTimeoutMs, PortHandle* out);

// No parity, two stop bits, 8 data bits, 1000 ms write time-out.
int OpenComPortDefault(std::uint16_t com, int rxQueue, int txQueue, int baud, PortHandle* out);

void CloseComPort(PortHandle h);

// which = 0 discards the transmit side, 1 the receive side.
void PurgeComPort(PortHandle h, int which);

// Writes n bytes, dispatching the calling thread's message pump while it waits for
// room in the transmit queue. Returns the count written, or -6 when the write fails.
int WriteComPort(PortHandle h, const void* data, int n);

// Reads up to `count` bytes. Returns as soon as they are in; gives up after
// `idleTimeoutMs` of silence (bytes arriving reset nothing but are not silence),
// each wait bounded by `pollMs`. Never an error code: 0..count.
int ReadComPort(PortHandle h, int idleTimeoutMs, void* buffer, int count, int pollMs);

// The calling thread's message pump (DESIGN: dispatched before every serial write and
// at every synchronisation attempt). nullptr: nothing is dispatched.
using MessagePump = void (*)(void* context);
void SetThreadMessagePump(MessagePump pump, void* context);
void DispatchThreadMessages();

}  // namespace nimbra::serial
