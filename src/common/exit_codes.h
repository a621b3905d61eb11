// Process exit codes. Scripts rely on these values; never renumber them.
#pragma once

namespace morva {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoPort = 1;      // no usable port in -c or the settings file
inline constexpr int kExitBadPortArg = 2;  // -c without value, port 0, SCOM outside 1..256
inline constexpr int kExitPortOpen = 3;    // port cannot be opened or configured
inline constexpr int kExitCommand = 4;     // bad command line, bad firmware file, pass refused
inline constexpr int kExitFileOpen = 5;    // a transfer pass could not open the firmware file
inline constexpr int kExitBadReply = 6;    // reply byte not allowed by the handshake
inline constexpr int kExitLinkBase = 100;  // 100 - link code gives 101..105

}  // namespace morva
