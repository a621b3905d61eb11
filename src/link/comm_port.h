// The five operations on one COM port that the command exchange uses. Receiving polls the
// input queue: 10 ms sleep before each poll, at most 200 polls, reads only waiting bytes.
#pragma once

#include "link/serial_port.h"

namespace morva {

// Link codes: 0 or more is success (for the receives, the number of bytes received).
inline constexpr int kLinkLineError = -1;    // the status query reported a line error
inline constexpr int kLinkReadFailed = -2;   // the read call failed
inline constexpr int kLinkWriteFailed = -3;  // the write call failed
inline constexpr int kLinkTimeout = -4;      // 200 polls passed without the reply
inline constexpr int kLinkBufferFull = -5;   // the buffer filled without a carriage return

inline constexpr int kPollIntervalMs = 10;
inline constexpr int kPollLimit = 200;

// While this process holds the port (HoldCommPort), an open that the system refuses as busy is
// tried again this often, after a wait of this long each time: a driver still closing the port
// after the previous exchange usually lets go within tens of milliseconds, some only after more
// than a second; all the waits together make 5 seconds before the exchange fails. Waiting
// costs nothing there, since the hold keeps every other morva away, while an update that gives
// up in its flash pass leaves the device half written.
inline constexpr int kBusyOpenWaitMs = 50;
inline constexpr int kBusyOpenRetries = 100;

// Opens port n and writes the fixed line settings. Returns 1 with *commPort set, else 0 and
// nothing is left open. A refusal as busy is tried again (see above) only while this process
// holds the port; every other failure, and every refusal outside a hold, fails at once.
int OpenCommPort(int port, CommPort* commPort);

// Holds port n for a whole command (HoldPort) and remembers it for OpenCommPort. Returns what
// HoldPort returns; the port counts as held only when that is 1.
int HoldCommPort(int port);

// Gives up the hold of HoldCommPort, if any.
void ReleaseCommPortHold();

// Closes the port. Always returns 0.
int CloseCommPort(CommPort* commPort);

// Sends `length` bytes with one SerialWrite after a status query; prints the TX trace at verbose
// level 1. Returns 0, kLinkLineError (nothing sent, no trace) or kLinkWriteFailed.
int WriteComm(CommPort* commPort, const char* bytes, int length);

// Receives until a read brings a carriage return. Capacity is at least 1, and the buffer needs
// capacity + 1 bytes: a NUL is written after the bytes read. Returns the reply length (the carriage
// return and any bytes after it in the same read included), or kLinkLineError, kLinkReadFailed,
// kLinkTimeout, kLinkBufferFull. Prints the RX trace at verbose level 1 on success.
int ReadCommString(CommPort* commPort, char* buffer, int capacity);

// Receives one byte into buffer[0] and a NUL after it (buffer needs 2 bytes; a capacity below 1
// reads nothing and times out). Returns the
// number of bytes read (1, or 0 when the read call returned none), or kLinkLineError,
// kLinkReadFailed, kLinkTimeout. Further waiting bytes stay queued.
int ReadCommByte(CommPort* commPort, char* buffer, int capacity);

}  // namespace morva
