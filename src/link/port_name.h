// The device behind a COM port number, as the run record names it (port_name_posix.cpp,
// port_name_win.cpp).
#pragma once

namespace morva {

inline constexpr int kPortNameSize = 1024;

// Writes the path of port n's device into `device` (kPortNameSize bytes; on Linux resolved
// through its links) and, where a /dev/serial/by-id name leads to the same device, that name
// into `byId`; returns true then, false when there is none.
bool NamePortDevice(int port, char* device, char* byId);

inline constexpr int kAdapterTextSize = 256;

// The USB adapter behind COM<port> as the system lists it (Windows): its device instance ID,
// "VID:PID" and serial (empty when it has none). False where there is none (a UART on the
// board, a virtual port) and on Linux, where the by-id name says it.
bool NamePortAdapter(int port, char* instanceId, char* usbId, char* serial);

}  // namespace morva
