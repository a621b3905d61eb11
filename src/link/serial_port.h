// Platform primitives of one serial port: serial_posix.cpp and serial_win.cpp implement them
// side by side, in the same order; tests link a scripted fake instead. Nothing here prints.
#pragma once

#include <array>
#include <cstdint>

namespace morva {

struct CommPort {
    std::intptr_t handle = -1;
    // Windows: a named mutex held for the exchange, so that two morva processes never hold
    // one port even where the system does not enforce exclusive opens of devices (Wine).
    std::intptr_t guard = 0;
    // Line-error counters seen at the previous status query (POSIX only).
    std::array<std::uint64_t, 5> errorCounts{};
    bool hasErrorCounts = false;
};

// Opens COM port `port` exclusively and applies 9600 baud 8N1, no flow control, DTR and RTS
// off. Returns 1 when open and configured; 0 otherwise, with nothing left open.
int SerialOpen(int port, CommPort* commPort);

// Closes the port and gives up the exclusive hold.
void SerialClose(CommPort* commPort);

// Tells whether a line error happened since the previous query (non-zero *errorWord) and how
// many received bytes wait. Returns 1, or 0 when the query itself failed.
int SerialQueryStatus(CommPort* commPort, std::uint32_t* errorWord, std::uint32_t* waiting);

// Reads up to `count` bytes that already wait, never blocking. Returns 1 with *got set, or 0.
int SerialRead(CommPort* commPort, char* buffer, int count, int* got);

// Writes `count` bytes in one call. Returns 1, or 0 when the write call failed.
int SerialWrite(CommPort* commPort, const char* bytes, int count);

// The wait before every poll of the input queue.
void SerialSleep(int milliseconds);

}  // namespace morva
