// One command exchange: open the port, send one command text, receive one reply, close.
#pragma once

namespace morva {

inline constexpr int kReplyString = 0;  // reply ends with a carriage return
inline constexpr int kReplyByte = 1;    // reply is one byte

inline constexpr int kReplyCapacity = 256;                  // longest reply string
inline constexpr int kReplyPlaceSize = kReplyCapacity + 1;  // callers' buffers: reply + NUL
inline constexpr int kCommandTextMax = 257;  // joined text of 256 and the carriage return

// Sends `command` (NUL-terminated, ending in a carriage return, at most kCommandTextMax
// bytes are sent) on `port` and receives the reply in `mode`.
// Reply-string mode: `reply` may be null; otherwise it must hold kReplyPlaceSize bytes and
// receives the reply string or a failure text without line end.
// Reply-byte mode: `reply` must be given; it receives the byte in reply[0] (no terminator),
// or "Cannot open COM<n>" when the port does not open.
// Returns 0, kExitPortOpen (3), or 100 minus the link code (101..105). The port is closed on
// every path.
int TransactCommand(int port, int mode, const char* command, char* reply);

}  // namespace morva
